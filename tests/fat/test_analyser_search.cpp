// The lost-drive search end to end: FindLostDrives with the FAT analyser over the lost-drive
// fixtures (made with mkfs.fat, mtools, mkntfs and ntfs-3g, then damaged) and over small disks
// built in memory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/ByteReader.h"
#include "common/FakeHost.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "devices/LostDrives.h"
#include "devices/StatusDialog.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "disk/PhysicalDisk.h"
#include "fat/FATAnalyser.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "support/Save.h"
#include "ntfs/NTFSdrive.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// A status dialog whose clock moves a second per look, so every sector is an update point.
uint32_t FastClock() {
  static uint32_t t = 1;
  return t += 1000;
}

// A committed fixture as physical disk 0x80, read through the block cache like a real search.
struct FixtureDisk {
  TDevice device;
  fs::path copy;  // the unpacked image with sectors zeroed, when any are
  // `zeroed`: sectors to wipe in a private copy of the image first.
  explicit FixtureDisk(std::string_view gz, std::initializer_list<uint64_t> zeroed = {}) {
    Reset();
    fs::path path = UnpackedImage(gz);
    if (zeroed.size()) {
      copy = fs::temp_directory_path() / ("salvex-zeroed-" + std::to_string(getpid()) + ".img");
      fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      const std::string zeros(512, '\0');
      for (uint64_t s : zeroed) f.seekp(std::streamoff(s * 512)).write(zeros.data(), 512);
      path = copy;
    }
    device.Number = TDeviceRegistry::Instance().AddImage(path.string(), TImageKind::Disk).Number;
    device.TotalSectors = fs::file_size(path) / 512;
    device.Name = path.filename().string();
    device.CacheBlockSectors = 2048;
    blockcache::SetEnabled(true);
  }
  ~FixtureDisk() {
    Reset();
    if (!copy.empty()) fs::remove(copy);
  }
  static void Reset() {
    ClosePhysicalDrive();
    TDeviceRegistry::Instance().Clear();
    blockcache::Reset();
    blockcache::SetEnabled(false);
  }
};

struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "salvex-lost-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

TFATDirectory* AsDir(TItem* item) { return dynamic_cast<TFATDirectory*>(item); }

// Names compared without case: mtools stores short lower-case names as 8.3 upper case with
// case flags, which the listing does not apply.
bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// The child of `dir` with that name, reading the folder from the disk when needed.
TItem* Child(TCustomDirectory& dir, const std::string& name) {
  auto* fat = dynamic_cast<TFATDirectory*>(&dir);
  if (!dir.Children && fat) fat->ReadChildren(false, false);
  if (!dir.Children) return nullptr;
  for (auto& c : *dir.Children) {
    if (auto* d = dynamic_cast<TCustomDirectory*>(c.get()); d && SameName(d->Name, name)) return c.get();
    if (auto* f = dynamic_cast<TCustomFile*>(c.get()); f && SameName(f->Name, name)) return c.get();
  }
  return nullptr;
}

TItem* Find(TCustomDirectory& root, const std::string& path) {
  TCustomDirectory* dir = &root;
  TItem* item = nullptr;
  size_t start = 1;
  while (dir && start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    item = Child(*dir, part);
    if (!item || slash == std::string::npos) return item;
    dir = dynamic_cast<TCustomDirectory*>(item);
    start = slash + 1;
  }
  return nullptr;
}

// Saves one file with the volume's own save into an empty folder and hashes what was written.
std::string SavedSha(TFATFile& file) {
  TempFolder out;
  auto* drive = dynamic_cast<TFATdrive*>(file.Drive);
  if (!drive) return "no drive";
  SaveInto({&file}, out.path, TReadChoice{drive->FATCopy});
  for (auto& entry : fs::directory_iterator(out.path))
    if (entry.is_regular_file()) return Sha256OfFile(entry.path());
  return "not saved";
}

// Every live file of a manifest, found below `root` by its path, saves byte-identical.
void ExpectLiveFilesSave(TCustomDirectory& root, const std::string& manifest, size_t& checked) {
  for (const auto& [path, entry] : ReadManifest(FixturePath(manifest))) {
    if (entry.State != "live") continue;
    TItem* item = Find(root, path);
    ASSERT_NE(item, nullptr) << path << " not found";
    if (entry.IsDirectory()) {
      EXPECT_NE(dynamic_cast<TFATDirectory*>(item), nullptr) << path;
      continue;
    }
    auto* file = dynamic_cast<TFATFile*>(item);
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(file->Size, entry.Size) << path;
    EXPECT_EQ(SavedSha(*file), entry.Sha256) << path;
    ++checked;
  }
}

std::vector<TCustomDrive*> DrivesNamed(const TDriveList& drives, const std::string& prefix) {
  std::vector<TCustomDrive*> out;
  for (size_t i = 0; i < drives.Count(); ++i)
    if (drives.Items(i)->Name.rfind(prefix, 0) == 0) out.push_back(drives.Items(i));
  return out;
}

uint64_t HeaderNumber(const std::string& manifest, const std::string& key) {
  return std::stoull(ReadManifestHeader(FixturePath(manifest)).at(key));
}

struct FatAnalyserSearchFixtures : ::testing::Test {
  FakeHost host;
  ScopedHost hostScope{host};
  TStatusDialog status{nullptr, FastClock};
  TDriveList drives;
};

TEST_F(FatAnalyserSearchFixtures, ZeroedMBREntriesLeaveBothVolumesFoundAtTheirSectors) {
  FixtureDisk disk("lost-mbr-zeroed.img.gz");
  FindLostDrives(disk.device, 0, disk.device.TotalSectors - 1, drives, status);
  TFATdrive* fat = nullptr;
  for (size_t i = 0; i < drives.Count(); ++i) {
    TCustomDrive* d = drives.Items(i);
    if (d->FirstSector == 2048 && d->Lost == DriveLost) fat = dynamic_cast<TFATdrive*>(d);
  }
  ASSERT_NE(fat, nullptr);
  EXPECT_EQ(fat->Name, "LOSTFAT16 (lost)");
  EXPECT_EQ(fat->FATType, FAT16);
  // Sizes as the boot sectors give them (mmls of the image before its table was zeroed).
  EXPECT_EQ(fat->SectorCount, 20480u);
  size_t checked = 0;
  ExpectLiveFilesSave(*fat->RootFolder, "lost-mbr-zeroed-p2048-manifest.txt", checked);
  EXPECT_EQ(checked, 11u);

  int ntfsFound = 0;
  for (size_t i = 0; i < drives.Count(); ++i) {
    TCustomDrive* d = drives.Items(i);
    if (!dynamic_cast<TNTFSdrive*>(d)) continue;
    // Once: the backup boot sector at the volume's last sector is not a second volume.
    ++ntfsFound;
    EXPECT_EQ(d->FirstSector, 22528u);
    EXPECT_EQ(d->SectorCount, 18432u);  // 18431 counted sectors and the backup boot sector
    EXPECT_TRUE(d->Lost & DriveLost);
    EXPECT_TRUE(d->HasSpecialFolders());
  }
  EXPECT_EQ(ntfsFound, 1);
  // The intact FAT16 is also recognised from its structures; that copy is marked as rebuilt.
  for (TCustomDrive* d : DrivesNamed(drives, "DRIVE (without BootSec)")) {
    EXPECT_EQ(d->Lost & DriveRebuilt, DriveRebuilt);
    EXPECT_EQ(d->FirstSector, 2048u + 4 - 1);
  }
}

TEST_F(FatAnalyserSearchFixtures, FAT16WithZeroedBootSectorIsRebuiltAndItsFilesSave) {
  const std::string manifest = "lost-fat16-nobootsec-manifest.txt";
  FixtureDisk disk("lost-fat16-nobootsec.img.gz");
  FindLostDrives(disk.device, 0, disk.device.TotalSectors - 1, drives, status);
  EXPECT_TRUE(DrivesNamed(drives, "NOBOOTSEC").empty());  // no boot sector anywhere
  auto rebuilt = DrivesNamed(drives, "DRIVE (without BootSec)");
  ASSERT_EQ(rebuilt.size(), 1u);
  auto* d = dynamic_cast<TFATdrive*>(rebuilt[0]);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Lost, DriveLost | DriveRebuilt);
  EXPECT_EQ(d->FirstSector, HeaderNumber(manifest, "fat-start") - 1);
  EXPECT_EQ(d->FATType, FAT16);
  EXPECT_EQ(d->SectorsPerCluster, 4u);
  EXPECT_EQ(d->NumberOfFATs, HeaderNumber(manifest, "fats"));
  EXPECT_EQ(d->SectorsPerFAT, HeaderNumber(manifest, "sectors-per-fat"));
  EXPECT_EQ(d->FATCopy, 1);
  size_t checked = 0;
  ExpectLiveFilesSave(*d->RootFolder, manifest, checked);
  EXPECT_EQ(checked, 11u);

  // Deleted view: the deleted root file lists with its long name.
  auto* deleted = dynamic_cast<TFATDirectory*>(d->DeletedFolder.get());
  deleted->ReadChildren(true, true);
  bool sawDeleted = false;
  for (auto& c : *deleted->Children)
    if (auto* f = dynamic_cast<TFATFile*>(c.get()); f && f->Name.ends_with("eleted-Later.txt")) sawDeleted = true;
  EXPECT_TRUE(sawDeleted);

  // The folders with "." records make one more volume: Documents and Music at the top, Archive
  // linked inside Documents under its listed name.
  auto fromFolders = DrivesNamed(drives, "DRIVE (rebuilt)");
  ASSERT_EQ(fromFolders.size(), 1u);
  auto* r = dynamic_cast<TFATdrive*>(fromFolders[0]);
  EXPECT_EQ(r->Name, "DRIVE (rebuilt), root entries:2");
  EXPECT_EQ(r->FirstSector + r->FirstDataSector, d->FirstSector + d->FirstDataSector);
  TFATDirectory* documents = nullptr;
  for (auto& c : *r->RootFolder->Children)
    if (Child(*AsDir(c.get()), "Letter-To-Bank.txt")) documents = AsDir(c.get());
  ASSERT_NE(documents, nullptr);
  auto* archive = AsDir(Child(*documents, "Archive"));
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->Parent, documents);
  auto* contract = dynamic_cast<TFATFile*>(Child(*archive, "Old-Contract.txt"));
  ASSERT_NE(contract, nullptr);
  EXPECT_EQ(SavedSha(*contract), ReadManifest(FixturePath(manifest)).at("/Documents/Archive/Old-Contract.txt").Sha256);
}

TEST_F(FatAnalyserSearchFixtures, FAT32WithZeroedMBRAndBootSectorIsFoundAgain) {
  const std::string manifest = "lost-fat32-zeroed-manifest.txt";
  FixtureDisk disk("lost-fat32-zeroed.img.gz");
  FindLostDrives(disk.device, 0, disk.device.TotalSectors - 1, drives, status);
  // The backup boot sector names the volume's real start: the volume opens from it with its
  // FAT and data where they are, and no second volume starts at the backup itself.
  const uint64_t backupAt = HeaderNumber(manifest, "backup-boot");
  TFATdrive* lost = nullptr;
  for (size_t i = 0; i < drives.Count(); ++i) {
    EXPECT_NE(drives.Items(i)->FirstSector, backupAt);
    if ((drives.Items(i)->Lost & (DriveLost | DriveRebuilt)) == DriveLost)
      lost = dynamic_cast<TFATdrive*>(drives.Items(i));
  }
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(lost->BootSector, backupAt);
  EXPECT_EQ(lost->FirstSector + 6, backupAt);
  size_t fromBackup = 0;
  ExpectLiveFilesSave(*lost->RootFolder, manifest, fromBackup);
  EXPECT_EQ(fromBackup, 11u);

  // The FATs belong to the volume just found: rebuilding them again would list its files twice.
  EXPECT_TRUE(DrivesNamed(drives, "DRIVE (without BootSec)").empty());
  EXPECT_TRUE(DrivesNamed(drives, "DRIVE (rebuilt)").empty());
}

TEST_F(FatAnalyserSearchFixtures, FAT32WithoutAnyBootSectorIsRebuiltFromItsFats) {
  const std::string manifest = "lost-fat32-zeroed-manifest.txt";
  FixtureDisk disk("lost-fat32-zeroed.img.gz", {HeaderNumber(manifest, "backup-boot")});
  FindLostDrives(disk.device, 0, disk.device.TotalSectors - 1, drives, status);
  auto rebuilt = DrivesNamed(drives, "DRIVE (without BootSec)");
  ASSERT_EQ(rebuilt.size(), 1u);
  auto* d = dynamic_cast<TFATdrive*>(rebuilt[0]);
  EXPECT_EQ(d->FirstSector, HeaderNumber(manifest, "fat-start") - 1);
  EXPECT_EQ(d->FATType, FAT32);
  EXPECT_EQ(d->SectorsPerCluster, 1u);
  EXPECT_EQ(d->RootCluster, 2u);
  EXPECT_EQ(d->SectorsPerFAT, HeaderNumber(manifest, "sectors-per-fat"));
  size_t checked = 0;
  ExpectLiveFilesSave(*d->RootFolder, manifest, checked);
  EXPECT_EQ(checked, 11u);
  // One sector per cluster is not a size that folders alone may fix.
  EXPECT_TRUE(DrivesNamed(drives, "DRIVE (rebuilt)").empty());
}

// A disk whose volumes are all whole: their own folders and FATs make no second, rebuilt volume.
TEST_F(FatAnalyserSearchFixtures, WholeVolumesAreNotRebuiltAgainFromTheirFolders) {
  FixtureDisk disk("demo.img.gz");
  TDriveList known;
  known.DetectDrives(disk.device);
  ASSERT_GE(known.Count(), 1u);
  FindLostDrives(disk.device, 0, disk.device.TotalSectors - 1, known, status);
  for (size_t i = 0; i < known.Count(); ++i) EXPECT_FALSE(known.Items(i)->Lost & DriveRebuilt) << known.Items(i)->Name;
}

// Small disks in memory for the search's own rules.
struct FatAnalyserSearch : ::testing::Test {
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost hostScope{host};
  TStatusDialog status{nullptr, FastClock};
  TDriveList drives;
  TDevice device;

  std::vector<uint8_t>& MakeDisk(size_t sectors) {
    auto& bytes = fake.io.images["/disk"].bytes;
    bytes.assign(sectors * 512, 0);
    device.Number = TDeviceRegistry::Instance().AddImage("/disk", TImageKind::Disk).Number;
    device.TotalSectors = sectors;
    return bytes;
  }
  // A FAT boot sector: jump, OEM name, BPB of a small FAT12 volume, signature.
  static void PutBootSector(uint8_t* p, uint16_t bytesPerSector, const char* oem = "MSDOS5.0") {
    p[0] = 0xEB, p[1] = 0x3C, p[2] = 0x90;
    std::memcpy(p + 3, oem, 8);
    PutU16(p + 11, bytesPerSector);
    p[13] = 1;
    PutU16(p + 14, 1);
    p[16] = 2;
    PutU16(p + 17, 16);
    PutU16(p + 19, 40);
    p[21] = 0xF8;
    PutU16(p + 22, 1);
    p[510] = 0x55, p[511] = 0xAA;
  }
  size_t CountAt(uint64_t sector) const {
    size_t n = 0;
    for (size_t i = 0; i < drives.Count(); ++i)
      if (drives.Items(i)->FirstSector == sector && !(drives.Items(i)->Lost & DriveRebuilt)) ++n;
    return n;
  }
};

TEST_F(FatAnalyserSearch, PartitionListedAt63IsNotAddedTwice) {
  const fs::path fat16 = UnpackedImage("fat16.img.gz");
  std::ifstream in(fat16, std::ios::binary);
  std::vector<uint8_t> volume((std::istreambuf_iterator<char>(in)), {});
  auto& disk = MakeDisk(63 + volume.size() / 512);
  std::memcpy(&disk[63 * 512], volume.data(), volume.size());
  uint8_t* entry = &disk[0x1BE];
  entry[4] = 0x06;
  PutU32(entry + 8, 63);
  PutU32(entry + 12, uint32_t(volume.size() / 512));
  disk[510] = 0x55, disk[511] = 0xAA;
  device.Partitioned = true;
  drives.DetectDrives(device);
  ASSERT_EQ(CountAt(63), 1u);
  FindLostDrives(device, 0, 100, drives, status);
  EXPECT_EQ(CountAt(63), 1u);
  EXPECT_EQ(drives.Items(0)->Name, "FAT16IMAGE ");
}

TEST_F(FatAnalyserSearch, BootSectorTestsBySectorSize) {
  auto& disk = MakeDisk(64);
  PutBootSector(&disk[5 * 512], 4096);         // not NTFS: taken as FAT whatever its sector size
  PutBootSector(&disk[9 * 512], 256);          // no supported sector size
  PutBootSector(&disk[12 * 512], 512, "NTFS    ");
  FindLostDrives(device, 0, 63, drives, status);
  ASSERT_EQ(CountAt(5), 1u);
  EXPECT_NE(dynamic_cast<TFATdrive*>(drives.Items(0)), nullptr);
  EXPECT_EQ(drives.Items(0)->Lost & DriveLost, DriveLost);
  EXPECT_EQ(CountAt(9), 0u);
  ASSERT_EQ(CountAt(12), 1u);
  EXPECT_NE(dynamic_cast<TNTFSdrive*>(drives.Items(1)), nullptr);
}

TEST_F(FatAnalyserSearch, LastSectorOfTheDeviceIsExamined) {
  auto& disk = MakeDisk(40);
  PutBootSector(&disk[39 * 512], 512);
  FindLostDrives(device, 30, 39, drives, status);
  EXPECT_EQ(CountAt(39), 1u);
}

// A 64 KiB unreadable region between two boot sectors, read through the block cache as a real
// search is: the operator hears of the region once, with its range, and the answer decides.
TEST_F(FatAnalyserSearch, UnreadableRegionIsAskedForOnceAndSkippedOrEndsTheSearch) {
  struct Case {
    const char* name;
    std::vector<TMsgResult> answers;
    bool aborted;
    size_t volumesAfter;  // boot sectors found past the region
  };
  const Case cases[] = {
      {"ignore", {TMsgResult::Ignore}, false, 1},
      {"abort", {TMsgResult::Abort}, true, 0},
      {"retry then ignore", {TMsgResult::Retry, TMsgResult::Ignore}, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drives.Clear();
    host.messages.clear();
    host.answers.assign(c.answers.begin(), c.answers.end());
    host.defaultAnswer = TMsgResult::Abort;
    auto& disk = MakeDisk(400);
    PutBootSector(&disk[3 * 512], 512);
    PutBootSector(&disk[300 * 512], 512);
    for (uint64_t s = 100; s < 228; ++s) fake.io.images["/disk"].badSectors.insert(s);
    device.CacheBlockSectors = 64;
    blockcache::SetEnabled(true);
    fake.io.transfers.clear();
    const TLostDriveSearch search = FindLostDrives(device, 0, 399, drives, status);
    EXPECT_EQ(CountAt(3), 1u);
    EXPECT_EQ(CountAt(300), c.volumesAfter);
    EXPECT_EQ(search.Aborted, c.aborted);
    if (c.aborted) {
      EXPECT_EQ(search.StoppedAt, 100u);
      EXPECT_TRUE(search.Skipped.empty());
    } else {
      ASSERT_EQ(search.Skipped.size(), 1u);
      EXPECT_EQ(search.Skipped[0].First, 100u);
      EXPECT_EQ(search.Skipped[0].Last, 227u);
    }
    ASSERT_EQ(host.messages.size(), c.answers.size());
    for (const auto& m : host.messages) {
      EXPECT_EQ(m.buttons, TMsgButtons::AbortRetryIgnore);
      EXPECT_NE(m.text.find("sectors 100-227 (128)"), std::string::npos) << m.text;
    }
    // Each bad sector costs one single-sector read per look at the region, not a block read.
    size_t failing = 0;
    for (const auto& t : fake.io.transfers)
      if (t.offset / 512 < 228 && (t.offset + t.length) / 512 > 100) ++failing;
    EXPECT_LE(failing, 130u * c.answers.size() + 4);
  }
}

TEST_F(FatAnalyserSearch, CancelAfterTenSectorsKeepsWhatWasFound) {
  struct CancellingHost : FakeHost {
    TStatusDialog* status = nullptr;
    void ProcessMessages() override {
      if (++processed == 2 && status) status->Cancel();
    }
  } cancelling;
  ScopedHost scope(cancelling);
  cancelling.status = &status;
  // The search reads ahead by chunks and answers a cancel between them: the second chunk's
  // volume is not reached.
  const uint32_t chunk = kLostDriveChunkBytes / 512;
  auto& disk = MakeDisk(3 * chunk);
  PutBootSector(&disk[3 * 512], 512);
  PutBootSector(&disk[size_t(chunk + 30) * 512], 512);
  const TLostDriveSearch search = FindLostDrives(device, 0, 3 * chunk - 1, drives, status);
  EXPECT_EQ(CountAt(3), 1u);
  EXPECT_EQ(CountAt(chunk + 30), 0u);
  EXPECT_TRUE(search.Cancelled);
  EXPECT_EQ(search.StoppedAt, chunk);
  EXPECT_FALSE(status.Visible());  // the finish step still ran and closed the window
}

TEST_F(FatAnalyserSearch, LostFoldersOfAScanBecomeAVolumeWhoseFilesSave) {
  // A data area with 4 sectors per cluster starting at sector 100: a folder at cluster 2 listing
  // a file at cluster 4 and a subfolder at cluster 3; no boot sector, no FAT.
  auto& disk = MakeDisk(200);
  auto record = [](uint8_t* p, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    std::memcpy(p, name11, 11);
    p[11] = attr;
    PutU16(p + 26, uint16_t(cluster));
    PutU32(p + 28, size);
  };
  uint8_t* top = &disk[100 * 512];
  record(top, ".          ", 0x10, 2, 0);
  record(top + 32, "..         ", 0x10, 0, 0);
  record(top + 64, "SUB        ", 0x10, 3, 0);
  record(top + 96, "DATA    BIN", 0x20, 4, 3000);
  uint8_t* sub = &disk[104 * 512];
  record(sub, ".          ", 0x10, 3, 0);
  record(sub + 32, "..         ", 0x10, 2, 0);
  for (size_t k = 0; k < 3000; ++k) disk[108 * 512 + k] = uint8_t(k * 7);
  FindLostDrives(device, 0, 199, drives, status);
  auto rebuilt = DrivesNamed(drives, "DRIVE (rebuilt)");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0]->Name, "DRIVE (rebuilt), root entries:1");
  auto* file = dynamic_cast<TFATFile*>(Find(*rebuilt[0]->RootFolder, "/cluster 2/DATA.BIN"));
  ASSERT_NE(file, nullptr);
  EXPECT_NE(Find(*rebuilt[0]->RootFolder, "/cluster 2/SUB"), nullptr);
  std::string expected(3000, '\0');
  for (size_t k = 0; k < 3000; ++k) expected[k] = char(uint8_t(k * 7));
  EXPECT_EQ(SavedSha(*file), Sha256OfBytes(expected));
}

}  // namespace
}  // namespace salvex::test
