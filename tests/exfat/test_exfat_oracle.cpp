// The exFAT reader against The Sleuth Kit on images made by mkfs.exfat and the FUSE exfat driver:
// the Root tree equals fls's live entries, the Deleted tree holds every deleted entry fls shows,
// and saved bytes equal icat's and the manifests' checksums.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "recovery/Browse.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/SleuthKit.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::vector<FlsEntry> ExFATEntries(const std::string& out) {
  std::vector<FlsEntry> entries;
  for (auto& e : ParseFls(out)) {
    if (e.Virtual() || e.Path.rfind("$OrphanFiles", 0) == 0) continue;
    if (e.Path == "$ALLOC_BITMAP" || e.Path == "$UPCASE_TABLE") continue;
    if (e.Path.find("(Volume Label Entry)") != std::string::npos) continue;
    entries.push_back(std::move(e));
  }
  return entries;
}

struct Node {
  std::string Path;
  TItem* Item;
};

void Walk(TExFATDirectory& dir, bool deleted, const std::string& prefix, std::vector<Node>& out) {
  dir.LoadChildren(deleted);
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TExFATFile*>(c.get())) out.push_back({prefix + f->Name, f});
    if (auto* d = dynamic_cast<TExFATDirectory*>(c.get())) {
      out.push_back({prefix + d->Name, d});
      Walk(*d, deleted, prefix + d->Name + "/", out);
    }
  }
}

std::string ReadAll(TCustomFile& f, TReadChoice choice = {}) {
  auto data = f.OpenData(choice);
  std::string out;
  if (!data) return out;
  std::vector<uint8_t> buf(8192);
  for (size_t n; (n = data->Read(buf.data(), buf.size())) > 0;) out.append(reinterpret_cast<char*>(buf.data()), n);
  EXPECT_EQ(data->Failure, "") << f.Name;
  EXPECT_EQ(out.size(), data->Size()) << f.Name;
  return out;
}

class ExFATOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(ExFATOracle, TreesAndBytesMatchTheSleuthKitAndTheManifest) {
  if (!HaveTool("fls") || !HaveTool("icat")) GTEST_SKIP() << "fls/icat (sleuthkit) not installed";
  const std::string name = GetParam();
  const fs::path image = UnpackedImage(name + ".img.gz");
  auto manifest = ReadManifest(FixturePath(name + "-manifest.txt"));
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto* drive = dynamic_cast<TExFATdrive*>(OpenImageVolume(image, 0, devices, drives));
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders());
  EXPECT_EQ(drive->FileSystemName(), "exFAT");
  EXPECT_EQ(drive->Name, "SALVEXFAT");
  EXPECT_FALSE(drive->UsedBackupBoot);
  EXPECT_TRUE(drive->BitmapRead);
  EXPECT_TRUE(drive->UpcaseOk);
  EXPECT_TRUE(host.messages.empty());

  auto fls = RunCommand({"fls", "-r", "-p", image.string()});
  ASSERT_EQ(fls.ExitCode, 0) << fls.Err;
  std::set<std::string> live, deletedFls;
  std::map<std::string, uint64_t> inodes;
  for (const auto& e : ExFATEntries(fls.Out)) {
    inodes[e.Path] = e.Inode;
    (e.Deleted ? deletedFls : live).insert(e.Path);
  }
  std::vector<Node> root;
  Walk(*drive->Root(), false, "", root);
  std::set<std::string> ours;
  for (const auto& n : root) ours.insert(n.Path);
  EXPECT_EQ(ours, live);

  size_t compared = 0;
  for (const auto& n : root) {
    auto* f = dynamic_cast<TExFATFile*>(n.Item);
    if (!f) continue;
    auto cat = RunCommand({"icat", image.string(), std::to_string(inodes[n.Path])});
    ASSERT_EQ(cat.ExitCode, 0) << n.Path;
    const std::string bytes = ReadAll(*f);
    EXPECT_EQ(bytes, cat.Out) << n.Path;
    EXPECT_EQ(Sha256OfBytes(bytes), manifest.at("/" + n.Path).Sha256) << n.Path;
    EXPECT_FALSE(f->Flags & ItemDeleted);
    ++compared;
  }
  EXPECT_EQ(compared, 15u);

  std::vector<Node> deleted;
  Walk(*drive->DeletedRoot(), true, "", deleted);
  std::map<std::string, TItem*> ourDeleted;
  for (const auto& n : deleted) ourDeleted[n.Path] = n.Item;
  size_t recovered = 0;
  for (const auto& path : deletedFls) {
    ASSERT_TRUE(ourDeleted.count(path)) << "deleted entry missing from the Deleted tree: " << path;
    auto* f = dynamic_cast<TExFATFile*>(ourDeleted[path]);
    if (!f) continue;
    EXPECT_TRUE(f->Flags & ItemDeleted) << path;
    EXPECT_EQ(f->Condition, 1) << path;
    auto cat = RunCommand({"icat", image.string(), std::to_string(inodes[path])});
    const std::string bytes = ReadAll(*f);
    EXPECT_EQ(bytes, cat.Out) << path;
    EXPECT_EQ(Sha256OfBytes(bytes), manifest.at("/" + path).Sha256) << path;
    ++recovered;
  }
  EXPECT_EQ(recovered, 6u);
  // The Deleted tree lists deleted files and every folder, never a live file.
  for (const auto& n : deleted) {
    if (auto* f = dynamic_cast<TExFATFile*>(n.Item)) {
      EXPECT_TRUE(f->Flags & ItemDeleted) << n.Path;
    }
  }

  // The save engine writes the whole tree with names and times as stored.
  char tmpl[] = "/tmp/salvex-exfat-XXXXXX";
  const fs::path target = mkdtemp(tmpl);
  auto report = SaveInto(ChildrenOf(*drive->Root()), target);
  EXPECT_TRUE(report.Ok());
  EXPECT_EQ(report.Files, 15u);
  for (const auto& [path, e] : manifest) {
    if (e.Kind != "file" || e.State != "live") continue;
    EXPECT_EQ(Sha256OfFile(target / path.substr(1)), e.Sha256) << path;
  }
  // The fixture script stamps its first file at 1600000000 + 90061 seconds; exFAT keeps the odd second.
  struct stat st{};
  ASSERT_EQ(::stat((target / "tiny.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600090061);
  fs::remove_all(target);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExFATOracle, ::testing::Values("exfat", "exfat-4k"));

TEST(ExFATFixtures, QuickFormatLeavesAnEmptyRootAndACleanBitmap) {
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto* drive = dynamic_cast<TExFATdrive*>(OpenImageVolume(UnpackedImage("exfat-quickformat.img.gz"), 0, devices, drives));
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(drive->Name, "AFTER");
  EXPECT_TRUE(ListFolder(*drive->RootFolder).empty());
  EXPECT_TRUE(ListFolder(*drive->DeletedFolder).empty());
  EXPECT_TRUE(drive->IsClusterFree(drive->Boot.RootCluster + 10));
}

// Properties: a deleted folder whose entry names the wrong cluster is read from the one the user
// gives; a cluster outside the volume, or an ancestor's, is refused and the folder stays as it was.
TEST(ClusterFolders, AFolderGivenAnotherFirstClusterListsWhatIsThere) {
  for (const char* image : {"exfat.img.gz", "fat16.img.gz", "fat32.img.gz"}) {
    SCOPED_TRACE(image);
    FakeHost host;
    ScopedHost scope(host);
    TDeviceList devices;
    TDriveList drives;
    auto* drive = dynamic_cast<TClusterVolume*>(OpenImageVolume(UnpackedImage(image), 0, devices, drives));
    ASSERT_NE(drive, nullptr);
    auto folder = [&](const char* path) {
      TResult<TItem*> item = ResolvePath(*drive, TTreeKind::Deleted, path);
      return item ? dynamic_cast<TClusterFolder*>(item.Value()) : nullptr;
    };
    auto names = [](TCustomDirectory& d) {
      std::vector<std::string> out;
      for (const TItemRow& row : ListFolder(d)) out.push_back(row.Name);
      return out;
    };
    TClusterFolder* trash = folder("Trash");
    TClusterFolder* docs = folder("Docs");
    ASSERT_TRUE(trash && docs);
    ASSERT_TRUE(trash->Flags & ItemDeleted);
    const std::vector<std::string> own = names(*trash), docsNames = names(*docs);
    ASSERT_EQ(own.size(), 2u);
    ASSERT_NE(docsNames, own);
    const uint32_t first = trash->FirstCluster;
    ASSERT_TRUE(trash->ClusterField().has_value());
    EXPECT_TRUE(trash->ClusterField()->Editable);
    EXPECT_EQ(trash->ClusterField()->Cluster, first);

    const TCustomDirectory* root = trash;
    while (root->Parent) root = root->Parent;
    const uint32_t rootCluster = dynamic_cast<const TClusterFolder&>(*root).FirstCluster;
    for (uint32_t refused : {0u, 1u, drive->ClusterCount + 2, rootCluster}) {
      trash->SetClusterField(refused);
      EXPECT_EQ(trash->ClusterField()->Cluster, first) << refused;
      EXPECT_EQ(names(*trash), own) << refused;
    }

    trash->SetClusterField(docs->FirstCluster);
    EXPECT_EQ(trash->ClusterField()->Cluster, docs->FirstCluster);
    EXPECT_EQ(names(*trash), docsNames);
    trash->SetClusterField(first);
    EXPECT_EQ(names(*trash), own);
  }
}

}  // namespace
}  // namespace salvex::test
