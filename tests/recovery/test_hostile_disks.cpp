// Crafted damage that must not make the program believe what the disk cannot hold: sizes larger
// than the volume, volumes larger than their device, and walks that never end.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "devices/Device.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FatImage.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NtfsImageBuilder.h"
#include "recovery/Browse.h"
#include "support/Save.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
  fs::path path;
  TempFolder() {
    char tmpl[] = "/tmp/salvex-hostile-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

TCustomFile* FileNamed(TCustomDirectory& folder, const std::string& name) {
  if (!folder.Children) return nullptr;
  for (auto& c : *folder.Children)
    if (auto* f = dynamic_cast<TCustomFile*>(c.get()); f && ShownName(*f) == name) return f;
  return nullptr;
}

// A size the volume cannot hold is shown as poor and read only as far as the volume reaches,
// with a warning; saving writes nothing beyond what the volume holds.
TEST(HostileDisks, SizeLargerThanTheVolumeIsDamageAndIsClamped) {
  // FAT: a deleted entry and a live one claiming 4 GiB on a 1 MiB volume.
  FatImage img{FatGeometry{}};
  img.AddToDir(0, FatImage::Record("\xE5" "IG     BIN", 0x20, 10, 0xFFFFFFFF));
  img.AddToDir(0, FatImage::Record("LIVE    BIN", 0x20, 20, 0xFFFFFFFF));
  img.Chain({20, 21});
  std::memset(img.Cluster(10), 'x', img.ClusterBytes());
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  const uint64_t volumeBytes = m.drive->DataBytes();
  for (bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "deleted" : "live");
    TFATDirectory* root = deleted ? m.drive->DeletedRoot() : m.drive->Root();
    root->ReadChildren(deleted, false);
    TCustomFile* f = nullptr;
    for (auto& c : *root->Children)
      if (auto* file = dynamic_cast<TCustomFile*>(c.get()); file && bool(file->Flags & ItemDeleted) == deleted)
        f = file;
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(RowOf(*f).Condition, TItemRow::TCondition::Poor);
    EXPECT_FALSE(f->Meta().Warning.empty());
    auto data = f->OpenData({});
    ASSERT_NE(data, nullptr);
    EXPECT_LE(data->Size(), volumeBytes);
    TempFolder target;
    const TSaveReport report = SaveInto({f}, target.path);
    uint64_t written = 0;
    for (auto& e : fs::directory_iterator(target.path)) written += fs::file_size(e.path());
    EXPECT_LE(written, volumeBytes);
    EXPECT_GT(written, 0u);
    EXPECT_FALSE(report.Ok() && report.Warnings.empty());
  }

  // NTFS: a $DATA of 6 GiB over two clusters of a 256 KiB volume.
  NtfsImageBuilder b;
  const uint64_t claimed = 6ull << 30;
  auto r = NtfsImageBuilder::NewRecord(true, false);
  NtfsImageBuilder::AddResident(r, 0x30, u"", NtfsImageBuilder::FileName(5, u"big.bin", 1, false, 130000000000000000ull, claimed));
  NtfsImageBuilder::AddNonResident(r, 0x80, u"", {0x11, 0x02, 40}, 0, 1, claimed);
  b.Put(20, r, true);
  b.AddDirectory(5, 5, u".", {{20, NtfsImageBuilder::FileName(5, u"big.bin", 1, false, 130000000000000000ull, claimed)}});
  auto image = b.Build();
  TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  d.Root()->ReadChildren();
  TCustomFile* f = FileNamed(*d.Root(), "big.bin");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(RowOf(*f).Condition, TItemRow::TCondition::Poor);
  EXPECT_FALSE(f->Meta().Warning.empty());
  auto data = f->OpenData({});
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Size(), 2u * NtfsImageBuilder::kCluster);
  TempFolder target;
  const TSaveReport report = SaveInto({f}, target.path);
  EXPECT_EQ(fs::file_size(target.path / "big.bin"), 2u * NtfsImageBuilder::kCluster);
  EXPECT_EQ(report.Warnings.size(), 1u);
}

// A volume whose boot sector claims more sectors than its device has is cut to the device at
// mount, with a warning; scans and size bounds then cover only sectors that exist.
TEST(HostileDisks, VolumeLargerThanItsDeviceIsCutToTheDevice) {
  FatImage img{FatGeometry{}};
  PutU16(img.bytes.data() + 0x13, 0);
  PutU32(img.bytes.data() + 0x20, 0xFFFFFFFF);  // 2 TiB of 512-byte sectors
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->TotalSectors, img.bytes.size() / 512);
  EXPECT_EQ(m.drive->FATType, FAT12);
  EXPECT_NE(m.drive->MountText().find("cut to the device"), std::string::npos);
  EXPECT_LE(m.drive->VolumeBytes(), img.bytes.size());

  NtfsImageBuilder b;
  auto image = b.Build();
  PutU64(image.data() + 0x28, uint64_t(1) << 37);
  TDevice device;
  device.TotalSectors = image.size() / 512;
  TMemNTFSdrive d(image);
  d.Device = &device;
  ASSERT_TRUE(d.Mount(true));
  EXPECT_EQ(d.VolumeSectors, image.size() / 512);
  EXPECT_FALSE(d.MountText().empty());
  // A volume that fits keeps its own size and mounts without a warning.
  PutU64(image.data() + 0x28, image.size() / 512 - 1);
  ASSERT_TRUE(d.Mount(true));
  EXPECT_EQ(d.VolumeSectors, image.size() / 512 - 1);
  EXPECT_TRUE(d.MountText().empty());
}

// Folders that share clusters would make a tree that doubles at every level: every walk enters
// each folder cluster once, so a search and a save stay as large as the real tree.
TEST(HostileDisks, WalksOverFoldersThatShareClustersStayProportional) {
  FatGeometry small;
  small.clusters = 100;  // a small volume keeps the bound, and so the test, short
  FatImage img{small};
  const uint32_t levels = 24;
  img.AddToDir(0, FatImage::Record("A          ", 0x10, 10, 0));
  for (uint32_t k = 0; k < levels; ++k) {
    const uint32_t c = 10 + k;
    img.MakeDirCluster(c, k == 0 ? 0 : c - 1);
    img.Chain({c});
    if (k + 1 < levels) {
      img.AddToDir(c, FatImage::Record("L          ", 0x10, c + 1, 0));
      img.AddToDir(c, FatImage::Record("R          ", 0x10, c + 1, 0));
    }
  }
  img.SetFAT(2, 0xFFF);
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  const uint64_t limit = MaxWalkEntries(*m.drive);
  EXPECT_EQ(limit, img.bytes.size() / 32);
  uint64_t seen = 0;
  bool bounded = true;
  FindItems(*m.drive, "*", [&](const TItemRow&) { return ++seen < 10 * limit; }, &bounded);
  EXPECT_FALSE(bounded);
  EXPECT_EQ(seen, 1 + 2 * (levels - 1));  // A, then L and R per level, in the Root tree

  m.drive->Root()->ReadChildren(false, false);
  ASSERT_EQ(m.drive->Root()->Children->size(), 1u);
  TempFolder target;
  const TSaveReport report = SaveInto({m.drive->Root()->Children->front().get()}, target.path);
  EXPECT_FALSE(report.Stopped);
  size_t folders = 0;
  for (auto it = fs::recursive_directory_iterator(target.path); it != fs::recursive_directory_iterator(); ++it)
    folders += it->is_directory();
  EXPECT_LE(folders, 1 + 2 * (levels - 1));
}

}  // namespace
}  // namespace salvex::test
