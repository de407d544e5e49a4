// The tree a mount serves, without the kernel: names, bytes and attributes against what a save of
// the same trees writes, on one image per file system, with a listing bound small enough that
// folders are dropped and read again during the walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "common/FakeHost.h"
#include "mount/MountTree.h"
#include "recovery/Browse.h"
#include "support/Cli.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/Volumes.h"

namespace fs = std::filesystem;
using namespace salvex;
using namespace salvex::test;

namespace {

struct Walked {
  std::map<std::string, uint64_t> Inos;      // path -> ino, folders with a trailing '/'
  std::map<std::string, std::string> Files;  // path -> SHA-256 of the bytes read in order
  std::string LargestPath;
  uint64_t LargestIno = 0, LargestSize = 0;
};

std::string ReadAll(TMountTree& tree, uint64_t ino, uint64_t size) {
  uint64_t handle = 0;
  EXPECT_EQ(tree.Open(ino, handle), 0);
  std::string bytes;
  std::vector<uint8_t> chunk;
  // Odd-sized requests, so that no read starts on a sector or cluster boundary by luck.
  for (uint64_t offset = 0; offset < size; offset += chunk.size()) {
    EXPECT_EQ(tree.Read(handle, offset, 12345, chunk), 0) << ino;
    if (chunk.empty()) break;
    bytes.append(chunk.begin(), chunk.end());
  }
  tree.Release(handle);
  return bytes;
}

void Walk(TMountTree& tree, uint64_t ino, const std::string& path, Walked& out, int depth = 0) {
  std::vector<TMountTree::TEntry> entries;
  ASSERT_EQ(tree.List(ino, entries), 0) << path;
  ASSERT_LT(depth, 64);
  std::set<std::string> names;
  for (const auto& e : entries) {
    EXPECT_TRUE(names.insert(e.Name).second) << "two entries named " << path << e.Name;
    const std::string p = path + e.Name;
    if (e.Folder) {
      out.Inos[p + "/"] = e.Ino;
      Walk(tree, e.Ino, p + "/", out, depth + 1);
      continue;
    }
    out.Inos[p] = e.Ino;
    TMountTree::TAttr attr;
    ASSERT_EQ(tree.Lookup(ino, e.Name, attr), 0) << p;
    EXPECT_EQ(attr.Ino, e.Ino);
    const std::string bytes = ReadAll(tree, e.Ino, attr.Size);
    ASSERT_EQ(tree.GetAttr(e.Ino, attr), 0);
    EXPECT_EQ(bytes.size(), attr.Size) << p;
    out.Files[p] = Sha256OfBytes(bytes);
    if (attr.Size > out.LargestSize) {
      out.LargestSize = attr.Size;
      out.LargestIno = e.Ino;
      out.LargestPath = p;
    }
  }
}

std::map<std::string, std::string> SavedFiles(const fs::path& top) {
  std::map<std::string, std::string> files;
  if (!fs::exists(top)) return files;
  for (const auto& e : fs::recursive_directory_iterator(top))
    if (e.is_regular_file()) files[fs::relative(e.path(), top).string()] = Sha256OfFile(e.path());
  return files;
}

class MountTreeTest : public TempFolderTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MountTreeTest, ShowsWhatASaveWritesUnderTheSameNamesAndReadsAnywhere) {
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  // ext4 rather than the table's ext2 image: it has deleted files.
  const std::string image = GetParam() == "ext" ? "ext4.img.gz" : VolumeFixtures().at(GetParam()).Image;
  TCustomDrive* drive = OpenImageVolume(UnpackedImage(image), 0, devices, drives);
  ASSERT_TRUE(drive && PrepareVolume(*drive, nullptr));
  const size_t bound = 2;
  TMountTree tree({{drive, ""}}, {}, bound);

  Walked first;
  Walk(tree, TMountTree::kTopIno, "", first);
  // Three pinned trees, the bound, and the folders on the path in use.
  EXPECT_LE(tree.CachedListings(), 3 + bound + 2);

  for (const char* top : {"Root", "Deleted"}) {
    TCustomDirectory* folder = TopFolder(*drive, std::string(top) == "Root" ? TTreeKind::Root : TTreeKind::Deleted);
    fs::create_directories(dir / top);
    SaveInto(ChildrenOf(*folder), dir / top);
    std::map<std::string, std::string> shown;
    for (const auto& [path, hash] : first.Files)
      if (path.rfind(std::string(top) + "/", 0) == 0) shown[path.substr(std::string(top).size() + 1)] = hash;
    // A file the save left partial is kept as NAME.partial; the mount shows it under its name and
    // fails its unreadable range instead.
    std::map<std::string, std::string> saved = SavedFiles(dir / top);
    for (auto it = saved.begin(); it != saved.end();)
      it = it->first.ends_with(".partial") ? saved.erase(it) : std::next(it);
    for (const auto& [path, hash] : saved) EXPECT_EQ(shown[path], hash) << top << "/" << path;
    EXPECT_GE(shown.size(), saved.size()) << top;
    if (std::string(top) == "Root") {
      EXPECT_GT(saved.size(), 0u);
    }
  }

  // Walked again after the evictions: the same names and inode numbers.
  Walked second;
  Walk(tree, TMountTree::kTopIno, "", second);
  EXPECT_EQ(second.Inos, first.Inos);
  EXPECT_EQ(second.Files, first.Files);

  // Random access: the largest file read back to front equals its bytes read in order, and no
  // read opens the data again.
  ASSERT_GT(first.LargestSize, 0u);
  uint64_t handle = 0;
  ASSERT_EQ(tree.Open(first.LargestIno, handle), 0);
  const uint64_t reopens = tree.Reopens();
  std::string backwards(first.LargestSize, '\0');
  const uint64_t step = 4096 + 7;
  for (uint64_t end = first.LargestSize; end > 0;) {
    const uint64_t start = end > step ? end - step : 0;
    std::vector<uint8_t> chunk;
    ASSERT_EQ(tree.Read(handle, start, size_t(end - start), chunk), 0);
    ASSERT_EQ(chunk.size(), end - start);
    std::copy(chunk.begin(), chunk.end(), backwards.begin() + long(start));
    end = start;
  }
  tree.Release(handle);
  EXPECT_EQ(Sha256OfBytes(backwards), first.Files[first.LargestPath]) << first.LargestPath;
  EXPECT_EQ(tree.Reopens(), reopens);

  // Attributes of a deleted file; a write is never possible through names either.
  bool sawDeleted = false;
  for (const auto& [path, ino] : first.Inos) {
    if (path.rfind("Deleted/", 0) != 0 || path.back() == '/') continue;
    std::string state, location;
    ASSERT_EQ(tree.GetXattr(ino, "user.salvex.state", state), 0);
    const auto names = tree.XattrNames(ino);
    EXPECT_TRUE(std::count(names.begin(), names.end(), "user.salvex.cluster") +
                    std::count(names.begin(), names.end(), "user.salvex.inode") ==
                1)
        << path;
    std::string condition;
    ASSERT_EQ(tree.GetXattr(ino, "user.salvex.condition", condition), 0);
    EXPECT_TRUE(condition.rfind("good", 0) == 0 || condition.rfind("poor", 0) == 0) << condition;
    sawDeleted = sawDeleted || state == "deleted";
  }
  EXPECT_TRUE(sawDeleted);
  TMountTree::TAttr attr;
  EXPECT_EQ(tree.Lookup(TMountTree::kTopIno, "nothing-here", attr), ENOENT);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, MountTreeTest, ::testing::Values("FAT", "exFAT", "NTFS", "ext"),
                         [](const auto& info) { return info.param; });

}  // namespace
