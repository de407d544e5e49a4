#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/FakeHost.h"
#include "devices/StatusDialog.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSLostData.h"
#include "ntfs/NtfsImageBuilder.h"
#include "support/Fixtures.h"
#include "recovery/Browse.h"
#include "recovery/SaveNames.h"
#include "support/Save.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// Every item below `folder` by its '/'-separated path.
void Collect(TCustomDirectory& folder, const std::string& prefix, std::map<std::string, TItem*>& out) {
  if (!folder.Children) return;
  for (auto& child : *folder.Children) {
    if (auto* d = dynamic_cast<TCustomDirectory*>(child.get())) {
      out[prefix + d->Name] = d;
      Collect(*d, prefix + d->Name + "/", out);
    } else if (auto* f = dynamic_cast<TCustomFile*>(child.get())) {
      out[prefix + f->Name] = f;
    }
  }
}

std::map<std::string, TItem*> SearchLost(TNTFSdrive& drive) {
  FakeHost host;
  ScopedHost scope(host);
  TStatusDialog status;
  EXPECT_TRUE(FindNTFSLostData(drive, &status));
  std::map<std::string, TItem*> tree;
  Collect(*drive.LostFolder, "", tree);
  return tree;
}

std::string Sha256OfSaved(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  return Sha256OfBytes(bytes);
}

struct FormerFixture {
  const char* Image;
  const char* Manifest;
  uint64_t MinLost;  // files the manifest says come back whole, at least
};

class NtfsFormerTree : public ::testing::TestWithParam<FormerFixture> {};

// A volume filled, formatted again with mkntfs -Q, then given two new files (see the fixtures'
// scripts): the manifest says, from The Sleuth Kit's view before and after, where each former file
// must be found and whether its bytes can still be right. Lost files come back byte-exact at their
// paths, below "MFT N" where a folder's record was taken by the new MFT; files whose clusters the
// new volume uses are listed poor and not counted as saved; files and folders whose records are gone
// are not listed. A named stream is an entry "owner:stream" of its own, saved as "owner_stream".
TEST_P(NtfsFormerTree, QuickFormattedVolumeGivesBackItsFiles) {
  std::ifstream in(UnpackedImage(GetParam().Image), std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  TMemNTFSdrive drive(image);
  ASSERT_TRUE(drive.Mount(true)) << drive.MountText();
  auto tree = SearchLost(drive);
  const auto manifest = ReadManifest(FixturePath(GetParam().Manifest));

  // One folder per fixture: ctest runs the cases side by side.
  const fs::path target = fs::path(::testing::TempDir()) / (std::string("ntfs-former-tree-") + GetParam().Image);
  fs::remove_all(target);
  fs::create_directories(target);
  const TSaveReport report = SaveInto(ChildrenOf(*drive.LostFolder), target);
  std::map<std::string, std::string> failures;
  for (const TSaveFailure& f : report.Failures) failures[fs::path(f.Path).lexically_relative(target).string()] = f.Error.Why;

  // Deleted records in free clusters are listed flat with their resident data, and saved too.
  uint64_t lostFiles = std::count_if(tree.begin(), tree.end(),
                                     [](const auto& entry) { return dynamic_cast<TNTFSMFTFile*>(entry.second); });
  for (const auto& [path, e] : manifest) {
    SCOPED_TRACE(e.State + " " + path);
    std::string at = path.substr(1);
    if (auto found = e.Notes.find("found="); found != std::string::npos) {
      at = e.Notes.substr(found + 6);
      at = at.substr(0, at.find(" runs="));
    }
    if (e.State == "orphan" || e.State == "deleted") {
      EXPECT_FALSE(tree.count(at)) << "its record is gone or was free before the format";
      continue;
    }
    ASSERT_TRUE(tree.count(at)) << "not listed at " << at;
    if (e.IsDirectory()) {
      EXPECT_NE(dynamic_cast<TNTFSDirectory*>(tree.at(at)), nullptr);
      continue;
    }
    auto* file = dynamic_cast<TNTFSFile*>(tree.at(at));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size, e.Size);
    const size_t slash = at.rfind('/') + 1;
    const std::string saved = at.substr(0, slash) + SavedName(at.substr(slash), target);
    if (e.State == "lost") {
      ++lostFiles;
      EXPECT_NE(file->Condition, 2);
      EXPECT_FALSE(failures.count(saved)) << failures[saved];
      EXPECT_EQ(Sha256OfSaved(target / saved), e.Sha256);
    } else {
      ASSERT_EQ(e.State, "overwritten");
      EXPECT_EQ(file->Condition, 2);
      ASSERT_TRUE(failures.count(saved));
      // The row gives the reason the save fails with.
      const std::string why = RowOf(*file).ConditionWhy;
      EXPECT_NE(why.find("now belong to the volume formatted over it"), std::string::npos) << why;
      EXPECT_TRUE(failures[saved].starts_with(why)) << failures[saved];
    }
  }
  EXPECT_GE(lostFiles, GetParam().MinLost);
  EXPECT_EQ(report.Files, lostFiles);
  // The files lie where the former records say: not found a second time by content.
  for (const auto& [path, item] : tree) EXPECT_EQ(path.rfind("cluster ", 0), std::string::npos) << path;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsFormerTree,
                         ::testing::Values(FormerFixture{"ntfs-quickformat.img.gz", "ntfs-quickformat-manifest.txt", 30},
                                           FormerFixture{"ntfs-streams-quickformat.img.gz",
                                                         "ntfs-streams-quickformat-manifest.txt", 24}));

// Folders whose records are gone, and two whose parents loop: the paths stay whole, or are filed
// below "MFT N" instead of walking round.
TEST(NtfsFormerTree, GoneAndLoopingFoldersKeepTheirFilesOnce) {
  std::ifstream in(UnpackedImage("ntfs-quickformat.img.gz"), std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  TMemNTFSdrive drive(image);
  ASSERT_TRUE(drive.Mount(true)) << drive.MountText();
  auto tree = SearchLost(drive);

  // Level2's parent made Level3, its own child: the chain is cut below "MFT N" for one of the two.
  ASSERT_NE(drive.FoundRecords, nullptr);
  const TFoundMFT& found = *drive.FoundRecords;
  // name -> record (a copy: the next search replaces the found records), parent field offset
  std::map<std::string, std::pair<TFoundRecord, size_t>> folders;
  std::vector<uint8_t> record;
  for (const TFoundRecord& r : found.Records()) {
    if (!found.ReadAt(drive, r.Offset, record)) continue;
    if (auto name = ntfs::FindFileNameInRecord(record))
      folders[ntfs::NameToUtf8(name->NameBytes())] = {r, size_t(name->Value.data() - record.data())};
  }
  ASSERT_TRUE(folders.count("Level2") && folders.count("Level3") && folders.count("Old"));

  // Folder records gone, as if the new MFT had taken them: their names and places come back from
  // the index of the folder above, so the paths stay whole.
  const std::vector<uint8_t> pristine = image;
  for (const char* name : {"Old", "Level2"}) std::memset(image.data() + folders.at(name).first.Offset, 0, 4);
  const std::string oldFolder = "MFT " + std::to_string(folders.at("Old").first.Number);
  tree = SearchLost(drive);
  for (const char* path : {"Papers/Old/draft-1.txt", "Docs/Level2/tiny.txt", "Docs/Level2/Level3/deep.txt"})
    EXPECT_TRUE(tree.count(path)) << path;
  EXPECT_FALSE(tree.count(oldFolder));
  image = pristine;

  const auto [level2, parentField] = folders.at("Level2");
  const TFoundRecord level3 = folders.at("Level3").first;
  ASSERT_LT(parentField % 512, 502u) << "the field must not cross a stride's fixed-up end";
  const uint64_t reference = level3.Number | uint64_t(level3.Sequence) << 48;
  std::memcpy(image.data() + level2.Offset + parentField, &reference, 8);
  const std::string cut2 = "MFT " + std::to_string(level2.Number) + "/";
  const std::string cut3 = "MFT " + std::to_string(level3.Number) + "/";
  tree = SearchLost(drive);
  for (const std::string name : {"/tiny.txt", "/deep.txt"}) {
    std::vector<std::string> places;
    for (const auto& [path, item] : tree)
      if (path.size() > name.size() && path.ends_with(name)) places.push_back(path);
    ASSERT_EQ(places.size(), 1u) << name;
    EXPECT_TRUE(places[0].starts_with(cut2) || places[0].starts_with(cut3)) << places[0];
  }
  EXPECT_FALSE(tree.count("Docs/Level2"));
}

}  // namespace
}  // namespace salvex::test
