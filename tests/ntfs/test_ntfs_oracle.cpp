// The NTFS volumes of every fixture against The Sleuth Kit: the Root tree lists what `fls -r -p`
// lists (without the system records 0-15 and what lies below them), named data streams among them,
// every deleted entry `fls -r -d -p` names is in the Deleted tree under its former path, and saved
// files are byte-identical to `icat`. A folder's stream is listed in the folder's parent only; fls
// shows it once more inside the folder as ".:stream".

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/CodePage.h"
#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSStreamFile.h"
#include "support/Save.h"
#include "ntfs/NTFSdrive.h"
#include "recovery/Browse.h"
#include "support/Fixtures.h"
#include "support/SleuthKit.h"
#include "support/Volumes.h"

namespace salvex {
namespace {

namespace fs = std::filesystem;
using test::FlsEntry;
using test::ParseFls;
using test::RunCommand;

std::string NormalisedPath(const std::string& path) {
  std::string out, part;
  std::istringstream in(path);
  while (std::getline(in, part, '/')) out += (out.empty() ? "" : "/") + part;
  return out;
}

struct Node {
  std::string Path;
  TItem* Item;
  int64_t Number;
  bool Directory;
};

// Every item below `dir`, reading children as needed and keeping them.
void Walk(TNTFSDirectory& dir, const std::string& prefix, std::vector<Node>& out, int depth = 0) {
  if (!dir.Children) dir.ReadChildren();
  if (!dir.Children || depth > 64) return;
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TNTFSFile*>(c.get()))
      out.push_back({prefix + f->Name, f, f->MFTNumber, false});
    if (auto* d = dynamic_cast<TNTFSDirectory*>(c.get())) {
      out.push_back({prefix + d->Name, d, d->MFTNumber, true});
      Walk(*d, prefix + d->Name + "/", out, depth + 1);
    }
  }
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct Fixture {
  std::string Gz;
  uint64_t Offset;
};

class NtfsOracle : public ::testing::TestWithParam<Fixture> {};

TNTFSdrive* OpenVolume(const fs::path& image, uint64_t offset, TDeviceList& devices, TDriveList& drives) {
  return dynamic_cast<TNTFSdrive*>(test::OpenImageVolume(image, offset, devices, drives));
}

TEST_P(NtfsOracle, RootDeletedAndSavedBytesMatchTheSleuthKit) {
  if (!test::HaveTool("fls") || !test::HaveTool("icat")) GTEST_SKIP() << "fls/icat (sleuthkit) not installed";
  const Fixture& fx = GetParam();
  fs::path image = test::UnpackedImage(fx.Gz);
  const std::string off = std::to_string(fx.Offset);
  test::FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  TNTFSdrive* drive = OpenVolume(image, fx.Offset, devices, drives);
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders()) << drive->MountText();

  // Root against fls -u (undeleted names only).
  auto live = RunCommand({"fls", "-r", "-p", "-u", "-o", off, image.string()});
  ASSERT_EQ(live.ExitCode, 0) << live.Err;
  std::set<std::string> expected;
  std::set<std::string> hidden;  // system folders and what lies below them
  std::map<std::string, std::string> address;  // icat's address of each path listed
  for (const auto& e : ParseFls(live.Out)) {
    std::string leaf = e.Path.substr(e.Path.rfind('/') == std::string::npos ? 0 : e.Path.rfind('/') + 1);
    if (leaf.starts_with(".:") || e.Path.starts_with("$OrphanFiles")) continue;
    address[NormalisedPath(e.Path)] = e.Address;
    bool below = false;
    for (const auto& h : hidden) below = below || e.Path.starts_with(h + "/");
    if (e.Inode < 16 || below) {
      if ((e.MetaType == 'd')) hidden.insert(e.Path);
      continue;
    }
    expected.insert(NormalisedPath(e.Path) + ((e.MetaType == 'd') ? "/" : ""));
  }
  std::vector<Node> ours;
  Walk(*drive->Root(), "", ours);
  std::set<std::string> listed;
  for (const auto& n : ours) listed.insert(n.Path + (n.Directory ? "/" : ""));
  for (const auto& p : expected) EXPECT_TRUE(listed.count(p)) << "missing from Root: " << p;
  for (const auto& p : listed) EXPECT_TRUE(expected.count(p)) << "not listed by fls: " << p;

  // Live files save byte-identical to icat.
  fs::path out = fs::temp_directory_path() / ("ntfs-oracle-" + std::to_string(getpid()));
  fs::create_directories(out);
  int fd = open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  size_t identical = 0, liveFiles = 0;
  for (const auto& n : ours) {
    auto* f = dynamic_cast<TNTFSFile*>(n.Item);
    if (!f) continue;
    ++liveFiles;
    EXPECT_TRUE(test::SaveInto({f}, out).Ok()) << n.Path;
    auto cat = RunCommand({"icat", "-o", off, image.string(),
                           address.count(n.Path) ? address[n.Path] : std::to_string(n.Number)});
    std::string saved = ReadAll(out / test::SavedName(ShownName(*f), out));
    EXPECT_EQ(saved.size(), cat.Out.size()) << n.Path;
    if (saved == cat.Out) ++identical;
    else ADD_FAILURE() << "bytes differ from icat: " << n.Path;
  }
  EXPECT_EQ(identical, liveFiles);

  // Deleted: every named deleted entry of fls is found by its record, under its former path.
  drive->DeletedFolder->Children.emplace();
  drive->FindDeleted(nullptr);
  std::vector<Node> deleted;
  Walk(*drive->Deleted(), "", deleted);
  // By record and stream name: a record's streams are entries of their own.
  auto streamOf = [](const std::string& leaf) {
    return leaf.find(':') == std::string::npos ? std::string() : leaf.substr(leaf.find(':'));
  };
  std::map<std::pair<int64_t, std::string>, const Node*> byRecord;
  for (const auto& n : deleted) {
    auto* f = dynamic_cast<TCustomFile*>(n.Item);
    auto* d = dynamic_cast<TCustomDirectory*>(n.Item);
    if ((f && (f->Flags & ItemDeleted)) || (d && (d->Flags & ItemDeleted) && !d->Name.starts_with("MFT ")))
      byRecord[{n.Number, dynamic_cast<TNTFSStreamFile*>(n.Item) ? streamOf(f->Name) : ""}] = &n;
  }
  auto gone = RunCommand({"fls", "-r", "-d", "-p", "-o", off, image.string()});
  ASSERT_EQ(gone.ExitCode, 0) << gone.Err;
  size_t checkedDeleted = 0, deletedIdentical = 0;
  for (const auto& e : ParseFls(gone.Out)) {
    std::string leaf = e.Path.substr(e.Path.rfind('/') == std::string::npos ? 0 : e.Path.rfind('/') + 1);
    if (e.Reallocated || leaf.starts_with(".:") || leaf.starts_with("OrphanFile-")) continue;
    ++checkedDeleted;
    auto it = byRecord.find({int64_t(e.Inode), streamOf(leaf)});
    if (it == byRecord.end()) {
      ADD_FAILURE() << "deleted entry missing: " << e.Path << " (" << e.Inode << ")";
      continue;
    }
    const Node& n = *it->second;
    if (!e.Path.starts_with("$OrphanFiles/") && !n.Path.starts_with("MFT ")) {
      EXPECT_EQ(n.Path, NormalisedPath(e.Path));
    }
    // A file whose folder's record went to another is kept with its siblings under the folder's
    // number, not mixed into the files deleted from the root.
    if (e.Path.starts_with("$OrphanFiles/")) {
      EXPECT_TRUE(n.Path.starts_with("MFT ")) << e.Path << " listed as " << n.Path;
    }
    auto* f = dynamic_cast<TNTFSFile*>(n.Item);
    if (!f || f->Condition != 1) continue;
    test::SaveInto({f}, out);
    auto cat = RunCommand({"icat", "-o", off, image.string(), e.Address});
    if (ReadAll(out / test::SavedName(ShownName(*f), out)) == cat.Out) ++deletedIdentical;
    else ADD_FAILURE() << "deleted file differs from icat: " << e.Path;
  }
  close(fd);
  fs::remove_all(out);
  std::cout << "[ oracle ] " << fx.Gz << ": root " << listed.size() << "/" << expected.size() << " entries, "
            << identical << "/" << liveFiles << " live files identical, " << checkedDeleted
            << " deleted entries found, " << deletedIdentical << " good deleted files identical\n";
}

INSTANTIATE_TEST_SUITE_P(NtfsFixtures, NtfsOracle,
                         ::testing::Values(Fixture{"ntfs.img.gz", 0}, Fixture{"ntfs-reused.img.gz", 0},
                                           Fixture{"ntfs-compressed.img.gz", 0}, Fixture{"names-ntfs.img.gz", 0},
                                           Fixture{"ntfs-reallocated.img.gz", 0}, Fixture{"ntfs-orphans.img.gz", 0},
                                           Fixture{"ntfs-streams.img.gz", 0},
                                           Fixture{"demo.img.gz", 26624}, Fixture{"mbr-extended.img.gz", 18432},
                                           Fixture{"third-party/ntfs-samples/ntfs-lastaccess.raw.gz", 128},
                                           Fixture{"third-party/ntfs-samples/ntfs-ptrn.raw.gz", 128}),
                         [](const auto& info) {
                           std::string n = fs::path(info.param.Gz).stem().stem().string();
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

// Deleted files whose clusters were given to new files after the deletion, the first cluster of
// one still free: good exactly where the bytes are the file's own (the manifest's checksum).
TEST(NtfsDeletedCondition, EveryReallocatedClusterMakesADeletedFilePoor) {
  test::FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  TNTFSdrive* drive = OpenVolume(test::UnpackedImage("ntfs-reallocated.img.gz"), 0, devices, drives);
  ASSERT_NE(drive, nullptr);
  drive->DeletedFolder->Children.emplace();
  drive->FindDeleted(nullptr);
  std::vector<Node> deleted;
  Walk(*drive->Deleted(), "", deleted);
  const auto manifest = test::ReadManifest(test::FixturePath("ntfs-reallocated-manifest.txt"));
  fs::path out = fs::temp_directory_path() / ("ntfs-reallocated-" + std::to_string(getpid()));
  fs::create_directories(out);
  size_t seen = 0;
  for (const auto& n : deleted) {
    auto* f = dynamic_cast<TNTFSFile*>(n.Item);
    auto m = manifest.find("/" + n.Path);
    if (!f || m == manifest.end()) continue;
    ++seen;
    const TSaveReport report = test::SaveInto({f}, out);
    const bool own = test::Sha256OfBytes(ReadAll(out / test::SavedName(ShownName(*f), out))) == m->second.Sha256;
    EXPECT_EQ(f->Condition == 1, own) << n.Path << " (" << m->second.State << ")";
    // Bytes known to be other files' are no success, though every byte was written.
    EXPECT_EQ(report.Ok(), own) << n.Path;
    EXPECT_EQ(report.Files, own ? 1u : 0u) << n.Path;
  }
  fs::remove_all(out);
  EXPECT_EQ(seen, 12u);
}

// A volume Windows formatted with 2 MiB clusters (The Sleuth Kit 4.11 cannot read it) mounts and
// lists its root.
TEST(NtfsOracleLimits, TwoMegabyteClustersFromWindowsMount) {
  fs::path image = test::UnpackedImage("third-party/ntfs-samples/ntfs-2m.raw.gz");
  test::FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  TNTFSdrive* drive = OpenVolume(image, 128, devices, drives);
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders()) << drive->MountText();
  EXPECT_EQ(drive->ClusterSize, 2u << 20);
  EXPECT_TRUE(host.messages.empty());
  bool listed = false;
  for (const TItemRow& row : ListFolder(*drive->RootFolder)) listed |= row.Name == "System Volume Information";
  EXPECT_TRUE(listed);
}

}  // namespace
}  // namespace salvex
