// The file-system table reaches every front end: a volume image of each file system it holds opens
// through the desktop program's device setup and through salvex-cli, and the lost-drive search
// places and sizes each of them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <typeinfo>

#include "common/FakeHost.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/FileSystemRegistry.h"
#include "devices/LostDrives.h"
#include "devices/PartitionTable.h"
#include "devices/StatusDialog.h"
#include "disk/FakeRawIO.h"
#include "recovery/DeviceSetup.h"
#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

uint32_t FastClock() {
  static uint32_t t = 1;
  return t += 1000;
}

struct FileSystemRegistry : ::testing::Test {
  FakeHost host;
  ScopedHost hostScope{host};
  TDeviceList devices;
  TDriveList drives;
  ~FileSystemRegistry() override { TDeviceRegistry::Instance().Clear(); }

  // The devices of `image` as the desktop program finds them (its setup, then its device scan).
  void OpenAsDesktop(const std::string& image, TImageKind kind) {
    RegisterDevices({UnpackedImage(image).string()}, kind, false);
    devices.DetectDevices(nullptr);
    ASSERT_EQ(devices.Count(), 1u);
  }
};

// What a file system's entry makes, to tell a listed volume's file system without naming classes.
const std::type_info& VolumeClassOf(const TFileSystem& fs) {
  const auto volume = fs.Open();
  return typeid(*volume);
}

TEST_F(FileSystemRegistry, EveryFileSystemOpensInTheDesktopProgram) {
  ASSERT_GE(FileSystems().size(), 3u);
  for (const TFileSystem& fs : FileSystems()) {
    SCOPED_TRACE(fs.Name);
    ASSERT_TRUE(VolumeFixtures().count(fs.Name)) << "no volume fixture for " << fs.Name << " in this test";
    devices.Clear();
    drives.Clear();
    OpenAsDesktop(VolumeFixtures().at(fs.Name).Image, TImageKind::Auto);
    drives.DetectDrives(*devices.Items(0));
    ASSERT_EQ(drives.Count(), 1u) << "the desktop program lists no " << fs.Name << " volume";
    TCustomDrive& volume = *drives.Items(0);
    EXPECT_EQ(typeid(volume), VolumeClassOf(fs));
    EXPECT_TRUE(volume.HasSpecialFolders()) << "not mounted";
    EXPECT_EQ(FindFileSystem(fs.Name), &fs);
  }
}

// Every volume describes its listing as data a front end can show without knowing its class: six
// columns of fixed kinds, a text for each column of every root row, and a preview whose root
// entries are the live root's.
TEST_F(FileSystemRegistry, EveryVolumeDescribesItsListing) {
  const TColumnKind kinds[] = {TColumnKind::Name,   TColumnKind::Size,      TColumnKind::Modified,
                               TColumnKind::Number, TColumnKind::Condition, TColumnKind::Type};
  for (const TFileSystem& fs : FileSystems()) {
    SCOPED_TRACE(fs.Name);
    devices.Clear();
    drives.Clear();
    OpenAsDesktop(VolumeFixtures().at(fs.Name).Image, TImageKind::Auto);
    drives.DetectDrives(*devices.Items(0));
    ASSERT_EQ(drives.Count(), 1u);
    TCustomDrive& volume = *drives.Items(0);
    ASSERT_TRUE(volume.HasSpecialFolders());
    const std::vector<TListColumn> columns = volume.ListColumns();
    ASSERT_EQ(columns.size(), std::size(kinds));
    for (size_t c = 0; c < columns.size(); ++c) {
      EXPECT_EQ(columns[c].Kind, kinds[c]) << c;
      EXPECT_FALSE(columns[c].Caption.empty()) << c;
    }
    TCustomDirectory& root = *volume.RootFolder;
    root.LoadListing(false);
    ASSERT_TRUE(root.Children);
    ASSERT_FALSE(root.Children->empty());
    // A tree offers to open a root that holds folders.
    if (root.HasSubdirectories()) {
      EXPECT_TRUE(volume.TopMayHaveSubfolders(TTreeKind::Root));
    }
    for (const auto& child : *root.Children) {
      const TListRow row = root.ListRow(*child);
      EXPECT_FALSE(row.Caption.empty());
      EXPECT_EQ(row.Cells.size(), columns.size() - 1) << row.Caption;
      EXPECT_EQ(root.SortKey(*child, false).Name.empty(), false) << row.Caption;
    }
    const TPreviewFields preview = volume.Preview();
    if (preview.Known) {
      EXPECT_GT(preview.TotalSectors, 0u);
      EXPECT_EQ(preview.RootEntries.size(), root.Children->size());
    }
  }
}

TEST_F(FileSystemRegistry, EveryFileSystemOpensInTheCommandLine) {
  for (const TFileSystem& fs : FileSystems()) {
    SCOPED_TRACE(fs.Name);
    ASSERT_TRUE(VolumeFixtures().count(fs.Name)) << "no volume fixture for " << fs.Name << " in this test";
    const auto r = Cli({"volumes", UnpackedImage(VolumeFixtures().at(fs.Name).Image).string(), "--json"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    const auto listed = nlohmann::json::parse(r.Out).at("volumes");
    ASSERT_EQ(listed.size(), 1u) << r.Out;
    // FAT volumes name their FAT width (FAT16).
    EXPECT_EQ(listed[0].at("fs").get<std::string>().rfind(fs.Name, 0), 0u) << r.Out;
  }
}

// The image as a whole disk without a partition table: the search finds the volume at its first
// sector, once (backup boot sectors are not volumes of their own), with the size it states.
TEST_F(FileSystemRegistry, LostDriveSearchFindsEveryFileSystemOnceWithItsSize) {
  for (const TFileSystem& fs : FileSystems()) {
    SCOPED_TRACE(fs.Name);
    ASSERT_TRUE(VolumeFixtures().count(fs.Name));
    devices.Clear();
    drives.Clear();
    OpenAsDesktop(VolumeFixtures().at(fs.Name).Image, TImageKind::Disk);
    TDevice& device = *devices.Items(0);
    TStatusDialog status{nullptr, FastClock};
    FindLostDrives(device, 0, device.TotalSectors - 1, drives, status);
    size_t found = 0;
    for (size_t i = 0; i < drives.Count(); ++i) {
      const TCustomDrive& d = *drives.Items(i);
      if (typeid(d) != VolumeClassOf(fs) || (d.Lost & DriveRebuilt)) continue;
      ++found;
      EXPECT_EQ(d.FirstSector, 0u);
      EXPECT_EQ(d.SectorCount, VolumeFixtures().at(fs.Name).Sectors);
      EXPECT_TRUE(d.HasSpecialFolders());
    }
    EXPECT_EQ(found, 1u);
  }
}

// Which file system opens an MBR partition: FAT's and NTFS's type bytes name them even over a
// damaged boot sector; exFAT, without a type of its own, is opened wherever its boot sector is
// unless the type names another file system; FAT and NTFS boot sectors under a foreign type stay
// closed.
TEST(FileSystemRegistryPartitions, MBRTypeAndBootSectorChooseTheFileSystem) {
  enum Boot { Garbage, FATBoot, NTFSBoot, ExFATBoot };
  const struct {
    uint8_t Type;
    Boot Start;
    const char* Opens;  // "" = none
  } cases[] = {
      {0x0C, Garbage, "FAT"},    {0x0C, ExFATBoot, "FAT"}, {0x06, FATBoot, "FAT"},
      {0x07, Garbage, "NTFS"},   {0x07, NTFSBoot, "NTFS"}, {0x07, ExFATBoot, "exFAT"},
      {0x83, ExFATBoot, "exFAT"}, {0x83, FATBoot, ""},     {0x83, NTFSBoot, ""},
      {0x83, Garbage, ""},
  };
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost hostScope{host};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.Type) << ", boot " << c.Start);
    auto& disk = fake.io.images["/d"].bytes;
    disk.assign(4096 * 512, 0x5A);
    uint8_t* e = &disk[0x1BE];
    std::fill(disk.begin(), disk.begin() + 512, 0);
    e[4] = c.Type;
    e[8] = 100;       // first sector 100
    e[13] = 0x0F;     // 0x0F00 sectors
    disk[510] = 0x55;
    disk[511] = 0xAA;
    uint8_t* boot = &disk[100 * 512];
    if (c.Start != Garbage) {
      std::fill(boot, boot + 512, 0);
      boot[0] = 0xEB;
      boot[510] = 0x55;
      boot[511] = 0xAA;
      if (c.Start == ExFATBoot) {
        boot[1] = 0x76;
        boot[2] = 0x90;
        std::memcpy(boot + 3, "EXFAT   ", 8);
        boot[108] = 9;
      } else {
        boot[12] = 2;  // 512 bytes per sector
        if (c.Start == NTFSBoot) std::memcpy(boot + 3, "NTFS    ", 8);
      }
    }
    TDeviceRegistry::Instance().Clear();
    TDevice device;
    device.Number = TDeviceRegistry::Instance().AddImage("/d", TImageKind::Disk).Number;
    device.TotalSectors = 4096;
    device.Partitioned = true;
    std::string opens;
    int entries = 0;
    WalkPartitionTables(device, [&](const TPartitionEntry& entry) {
      ++entries;
      if (const TFileSystem* fs = FileSystemForPartition(device, entry)) opens = fs->Name;
    });
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(opens, c.Opens);
  }
  TDeviceRegistry::Instance().Clear();
}

}  // namespace
}  // namespace salvex::test
