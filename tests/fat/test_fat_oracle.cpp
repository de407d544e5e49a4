// The FAT reader against The Sleuth Kit on real images: the Root tree equals fls's live entries,
// the Deleted tree holds every deleted entry fls shows in a folder it can reach, and saved bytes
// equal icat's (and the manifests' checksums where the fixture has one).
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "common/CodePage.h"
#include "common/Unicode.h"
#include "common/FakeHost.h"
#include "common/Options.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "support/Fixtures.h"
#include "support/SleuthKit.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// fls entries as the FAT listing shows them: no virtual files, labels or orphan folders.
std::vector<FlsEntry> FatEntries(const std::string& out) {
  std::vector<FlsEntry> entries;
  for (auto& e : ParseFls(out)) {
    if (e.Virtual()) continue;  // $MBR, $FAT1, $OrphanFiles
    if (e.Path.find("(Volume Label Entry)") != std::string::npos) continue;
    if (e.Path.rfind("$OrphanFiles", 0) == 0) continue;
    entries.push_back(std::move(e));
  }
  return entries;
}

// Names compared as both tools show them: fls shows short-name bytes it cannot convert as '^'; the
// listing decodes them from the OEM code page and shows '_' for the deleted mark. Everything else,
// the letter case that the lower-case bits of a short name give included, must agree.
std::string Normal(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '^' || c == '?' || c == '_' ? '?' : c;
  return out;
}

// Whether the normalised fls path `theirs` names `ours`, a '?' of theirs standing for one character.
bool SameName(const std::string& theirs, const std::string& ours) {
  size_t i = 0, j = 0;
  while (i < theirs.size() && j < ours.size()) {
    if (theirs[i] == '?') {
      NextCodePoint(ours, j);
      ++i;
    } else if (theirs[i++] != ours[j++]) {
      return false;
    }
  }
  return i == theirs.size() && j == ours.size();
}

// The entry of `set` that `theirs` names: itself, or one whose '?' characters fls could not show.
std::string Match(const std::set<std::string>& set, const std::string& theirs) {
  if (set.count(theirs)) return theirs;
  for (const auto& p : set)
    if (SameName(theirs, p)) return p;
  return theirs;
}

struct Node {
  std::string Path;
  TItem* Item;
  bool Directory;
};

void Walk(TFATDirectory& dir, bool deleted, const std::string& prefix, std::vector<Node>& out) {
  if (!dir.Children) dir.ReadChildren(deleted, true);
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TFATFile*>(c.get())) out.push_back({prefix + DisplayName(f->Name), f, false});
    if (auto* d = dynamic_cast<TFATDirectory*>(c.get())) {
      std::string p = prefix + DisplayName(d->Name);
      out.push_back({p, d, true});
      Walk(*d, deleted, p + "/", out);
    }
  }
}

std::string ReadFileBytes(TFATdrive& drive, TFATFile& f, uint8_t fat) {
  TFATFilePos pos;
  drive.OpenFilePos(f.FirstCluster, f.Size, pos);
  std::string data(f.Size, '\0');
  uint64_t got = 0;
  EXPECT_TRUE(drive.ReadFileData(pos, f.Size, got, fat, reinterpret_cast<uint8_t*>(data.data())));
  EXPECT_EQ(got, f.Size);
  return data;
}

struct Fixture {
  const char* Gz;
  uint64_t Offset;
  const char* Manifest;  // nullptr: none
};

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.Gz << "@" << f.Offset; }

TFATdrive* OpenVolume(const fs::path& image, uint64_t offset, TDeviceList& devices, TDriveList& drives) {
  return dynamic_cast<TFATdrive*>(OpenImageVolume(image, offset, devices, drives));
}

class FatOracle : public ::testing::TestWithParam<Fixture> {};

TEST_P(FatOracle, TreesAndBytesMatchTheSleuthKit) {
  if (!HaveTool("fls") || !HaveTool("icat")) GTEST_SKIP() << "fls/icat (sleuthkit) not installed";
  const Fixture& fx = GetParam();
  const fs::path image = UnpackedImage(fx.Gz);
  const std::string off = std::to_string(fx.Offset);
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  TFATdrive* drive = OpenVolume(image, fx.Offset, devices, drives);
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders());

  auto fls = RunCommand({"fls", "-r", "-p", "-o", off, image.string()});
  ASSERT_EQ(fls.ExitCode, 0) << fls.Err;
  std::set<std::string> expectedLive, flsUnallocated;
  std::map<std::string, uint64_t> inodes;
  std::vector<Node> root;
  Walk(*drive->Root(), false, "", root);
  std::set<std::string> ours;
  for (const auto& n : root) ours.insert(Normal(n.Path));
  // fls's path in our spelling where it could not show a short name's characters ('^').
  auto spelled = [&](const FlsEntry& e, const std::set<std::string>& in) {
    return e.Path.find('^') == std::string::npos ? Normal(e.Path) : Match(in, Normal(e.Path));
  };
  for (const auto& e : FatEntries(fls.Out)) {
    inodes[spelled(e, ours)] = e.Inode;
    (e.Deleted ? flsUnallocated : expectedLive).insert(spelled(e, ours));
  }
  // fls also calls a live record unallocated when FAT 1 marks its first cluster free (fatcat's
  // repair.img); the listing goes by the record. Those are the only extra rows allowed.
  std::set<std::string> extra;
  for (const auto& p : ours)
    if (!expectedLive.count(p)) extra.insert(p);
  for (const auto& p : expectedLive) EXPECT_TRUE(ours.count(p)) << "live entry missing from the Root tree: " << p;
  for (const auto& p : extra) EXPECT_TRUE(flsUnallocated.count(p)) << "Root tree lists what fls does not: " << p;

  // Live files along FAT 1 are icat's bytes.
  size_t compared = 0;
  for (const auto& n : root) {
    auto* f = dynamic_cast<TFATFile*>(n.Item);
    auto it = inodes.find(Normal(n.Path));
    if (!f || it == inodes.end()) continue;
    auto cat = RunCommand({"icat", "-o", off, image.string(), std::to_string(it->second)});
    ASSERT_EQ(cat.ExitCode, 0) << n.Path << ": " << cat.Err;
    EXPECT_EQ(ReadFileBytes(*drive, *f, 1), cat.Out) << n.Path;
    ++compared;
  }

  // Deleted entries fls shows in a folder our Deleted tree reaches are in it.
  auto flsDeleted = RunCommand({"fls", "-r", "-d", "-p", "-o", off, image.string()});
  ASSERT_EQ(flsDeleted.ExitCode, 0) << flsDeleted.Err;
  std::vector<Node> deleted;
  Walk(*drive->DeletedRoot(), true, "", deleted);
  std::set<std::string> ourDeleted, ourFolders{""};
  for (const auto& n : deleted) {
    ourDeleted.insert(Normal(n.Path));
    if (n.Directory) ourFolders.insert(Normal(n.Path));
  }
  size_t reachable = 0;
  for (const auto& e : FatEntries(flsDeleted.Out)) {
    std::string path = spelled(e, ourDeleted);
    auto slash = path.rfind('/');
    if (!ourFolders.count(slash == std::string::npos ? "" : path.substr(0, slash))) continue;
    if (extra.count(path)) continue;  // a live record in the Root tree (see above)
    ++reachable;
    EXPECT_TRUE(ourDeleted.count(path)) << "deleted entry missing from the Deleted tree: " << e.Path;
  }

  // Deleted files whose clusters are intact (per the manifest) read with no FAT as icat and the manifest say.
  std::map<std::string, ManifestEntry> manifest;
  if (fx.Manifest) manifest = ReadManifest(FixturePath(fx.Manifest));
  size_t recovered = 0;
  for (const auto& n : deleted) {
    auto* f = dynamic_cast<TFATFile*>(n.Item);
    if (!f || !(f->Flags & ItemDeleted)) continue;
    // A poor deleted file says why (shown beside the row and in the save report).
    const TFileMeta meta = f->Meta();
    EXPECT_EQ(f->Condition == 2, !meta.Warning.empty() || !meta.Damage.empty()) << n.Path << ": " << meta.Warning;
    const ManifestEntry* m = nullptr;
    for (const auto& [path, entry] : manifest)
      if (Normal(path.substr(1)) == Normal(n.Path)) m = &entry;
    if (fx.Manifest && (!m || m->State != "deleted")) continue;
    auto it = inodes.find(Normal(n.Path));
    if (it == inodes.end()) continue;
    auto cat = RunCommand({"icat", "-o", off, image.string(), std::to_string(it->second)});
    if (cat.ExitCode != 0) continue;
    std::string ours = ReadFileBytes(*drive, *f, 0);
    EXPECT_EQ(ours, cat.Out) << n.Path;
    if (m) {
      EXPECT_EQ(Sha256OfBytes(ours), m->Sha256) << n.Path;
    }
    ++recovered;
  }
  // Live files also match the manifest's checksums.
  for (const auto& n : root) {
    auto* f = dynamic_cast<TFATFile*>(n.Item);
    if (!f) continue;
    for (const auto& [path, entry] : manifest) {
      if (entry.State == "live" && Normal(path.substr(1)) == Normal(n.Path)) {
        EXPECT_EQ(Sha256OfBytes(ReadFileBytes(*drive, *f, 1)), entry.Sha256) << n.Path;
      }
    }
  }
  std::cout << "[oracle] " << fx.Gz << "@" << fx.Offset << ": " << root.size() << " live entries = fls ("
            << extra.size() << " fls calls unallocated), " << compared
            << " files = icat; " << reachable << " deleted entries of fls in the Deleted tree (" << deleted.size()
            << " listed), " << recovered << " deleted files = icat\n";
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FatOracle,
    ::testing::Values(Fixture{"fat12.img.gz", 0, "fat12-manifest.txt"}, Fixture{"fat16.img.gz", 0, "fat16-manifest.txt"},
                      Fixture{"fat32.img.gz", 0, "fat32-manifest.txt"},
                      Fixture{"names-fat.img.gz", 0, "names-fat-manifest.txt"},
                      Fixture{"fat16-quickformat.img.gz", 0, "fat16-quickformat-manifest.txt"},
                      Fixture{"fat32-quickformat.img.gz", 0, "fat32-quickformat-manifest.txt"},
                      Fixture{"mbr-extended.img.gz", 2048, "mbr-extended-p2048-manifest.txt"},
                      Fixture{"mbr-extended.img.gz", 28672, "mbr-extended-p28672-manifest.txt"},
                      Fixture{"mbr-extended.img.gz", 100352, "mbr-extended-p100352-manifest.txt"},
                      Fixture{"demo.img.gz", 2048, "demo-fat-manifest.txt"},
                      Fixture{"third-party/fatcat/hello-world.img.gz", 0, nullptr},
                      Fixture{"third-party/fatcat/deleted.img.gz", 0, nullptr},
                      Fixture{"third-party/fatcat/repair.img.gz", 0, nullptr},
                      Fixture{"third-party/fatcat/two-file-same-cluster.img.gz", 0, nullptr},
                      Fixture{"third-party/fatcat/empty.img.gz", 0, nullptr},
                      Fixture{"third-party/fatcat/full-fat.img.gz", 0, nullptr}),
    [](const ::testing::TestParamInfo<Fixture>& info) {
      std::string name = std::filesystem::path(info.param.Gz).stem().stem().string();
      if (info.param.Offset) name += "_p" + std::to_string(info.param.Offset);
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

}  // namespace
}  // namespace salvex::test

namespace salvex::test {
namespace {

struct FatcatImage : ::testing::Test {
  FakeHost host;
  ScopedHost scope{host};
  TDeviceList devices;
  TDriveList drives;
  TFATdrive* Open(const char* name) {
    TFATdrive* d = OpenVolume(UnpackedImage(std::string("third-party/fatcat/") + name), 0, devices, drives);
    EXPECT_NE(d, nullptr);
    return d;
  }
  static TFATFile* FindFile(TFATDirectory& dir, bool deleted, const std::string& path) {
    std::vector<Node> nodes;
    Walk(dir, deleted, "", nodes);
    for (auto& n : nodes)
      if (n.Path == path) return dynamic_cast<TFATFile*>(n.Item);
    return nullptr;
  }
};

TEST_F(FatcatImage, DeletedFolderAndItsFileRecoverByteExact) {
  TFATdrive* d = Open("deleted.img.gz");
  ASSERT_NE(d, nullptr);
  d->Root()->ReadChildren(false, true);
  EXPECT_TRUE(d->Root()->Children->empty());
  TFATFile* f = FindFile(*d->DeletedRoot(), true, "_ELETED/_ILE.TXT");
  if (!f) f = FindFile(*d->DeletedRoot(), true, "deleted/file.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadFileBytes(*d, *f, 0), "This file was deleted!\n");
}

TEST_F(FatcatImage, DirectoryLoopEndsEveryWalk) {
  TFATdrive* d = Open("directory-loop.img.gz");
  ASSERT_NE(d, nullptr);
  size_t items = 0;
  EXPECT_TRUE(d->Root()->Search([&](TItem&) { return ++items < 100000; }, false, true, false));
  EXPECT_LT(items, 10u);
  items = 0;
  EXPECT_TRUE(d->DeletedRoot()->Search([&](TItem&) { return ++items < 100000; }, true, true, true));
  EXPECT_LT(items, 10u);
}

TEST_F(FatcatImage, LoopingFileChainEndsWithoutHanging) {
  TFATdrive* d = Open("infinite-file.img.gz");
  ASSERT_NE(d, nullptr);
  TFATFile* f = FindFile(*d->Root(), false, "BigMamma");
  ASSERT_NE(f, nullptr);
  // The record claims 4 GiB; the chain loops long before. Reading ends once the walk has gone
  // round more clusters than the volume has, instead of inventing the rest.
  TFATFilePos pos;
  d->OpenFilePos(f->FirstCluster, f->Size, pos);
  std::vector<uint8_t> buf(1 << 20);
  uint64_t total = 0, got = 0;
  bool ok = true;
  while (ok) {
    ok = d->ReadFileData(pos, buf.size(), got, 1, buf.data());
    total += got;
    if (got == 0) break;
  }
  EXPECT_FALSE(ok);
  EXPECT_LE(total, (uint64_t(d->ClusterCount) + 1) * d->ClusterSize);
  // A seek past that point lands nowhere, and reading from there delivers nothing.
  TFATFilePos far;
  d->OpenFilePos(f->FirstCluster, f->Size, far);
  ASSERT_TRUE(d->SeekFilePos(far, f->Size - 100000, 1));
  EXPECT_FALSE(d->ReadFileData(far, buf.size(), got, 1, buf.data()));
  EXPECT_EQ(got, 0u);
}

TEST_F(FatcatImage, SecondFatRecoversWhatTheFirstLoses) {
  TFATdrive* d = Open("repair.img.gz");
  ASSERT_NE(d, nullptr);
  ASSERT_GE(d->NumberOfFATs, 2u);
  TFATFile* f = FindFile(*d->Root(), false, "fat1_broken/file.txt");
  ASSERT_NE(f, nullptr);
  const std::string viaFat2 = ReadFileBytes(*d, *f, 2);
  EXPECT_EQ(viaFat2.rfind("This directory first cluster is", 0), 0u) << viaFat2;
  EXPECT_EQ(ReadFileBytes(*d, *f, 0), viaFat2);
}

TEST_F(FatcatImage, BootSectorClaimingATerabyteMountsAndReadsFailCleanly) {
  TFATdrive* d = Open("fake-big-disk-1T.img.gz");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->HasSpecialFolders());
  d->Root()->ReadChildren(false, true);
  std::vector<uint8_t> sector(d->BytesPerSector());
  EXPECT_FALSE(d->ReadSectors(uint64_t(d->TotalSectors) - 1, 1, false, sector.data()));
}

}  // namespace
}  // namespace salvex::test

namespace salvex::test {
namespace {

TEST(FatFixtures, QuickFormattedVolumesReadWithoutAFatAndLiveOnesWithFat1) {
  FakeHost host;
  ScopedHost scope(host);
  for (const char* gz : {"fat16-quickformat.img.gz", "fat32-quickformat.img.gz", "fat12.img.gz", "fat32.img.gz"}) {
    TDeviceList devices;
    TDriveList drives;
    TFATdrive* d = OpenVolume(UnpackedImage(gz), 0, devices, drives);
    ASSERT_NE(d, nullptr) << gz;
    const bool quick = std::string(gz).find("quickformat") != std::string::npos;
    EXPECT_EQ(d->FATCopy, quick ? 0 : 1) << gz;
    EXPECT_EQ(bool(d->Lost & DriveNoFAT), quick) << gz;
  }
  EXPECT_TRUE(host.messages.empty());
}

// FAT32 with fewer than 65525 clusters (what `mkfs.fat -F 32` makes on a small card): The Sleuth Kit
// refuses it, so the manifest is the oracle for its tree and bytes.
TEST(FatFixtures, SmallFat32ReadsItsTreeAsFat32) {
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  TFATdrive* d = OpenVolume(UnpackedImage("fat32-small.img.gz"), 0, devices, drives);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->FATType, FAT32);
  EXPECT_LT(d->ClusterCount, 65525u);
  const auto manifest = ReadManifest(FixturePath("fat32-small-manifest.txt"));
  std::vector<Node> live, deleted;
  Walk(*d->Root(), false, "", live);
  Walk(*d->DeletedRoot(), true, "", deleted);
  // A deleted short name has lost its first letter.
  auto key = [](std::string path, bool deleted) {
    if (deleted) path[path.rfind('/') + 1] = '?';
    return path;
  };
  std::map<std::string, Node> byPath;
  for (const auto& n : live) byPath.emplace("/" + n.Path, n);
  for (const auto& n : deleted)
    if (auto* f = dynamic_cast<TFATFile*>(n.Item); f && (f->Flags & ItemDeleted)) byPath.emplace(key("/" + n.Path, true), n);
  for (const auto& [path, entry] : manifest) {
    auto it = byPath.find(key(path, entry.State == "deleted"));
    ASSERT_NE(it, byPath.end()) << entry.State << " entry missing: " << path;
    if (entry.Kind != "file") continue;
    auto* f = dynamic_cast<TFATFile*>(it->second.Item);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(Sha256OfBytes(ReadFileBytes(*d, *f, entry.State == "live" ? 1 : 0)), entry.Sha256) << path;
  }
}

}  // namespace
}  // namespace salvex::test
