#include <gtest/gtest.h>

#include "common/BootSector.h"
#include "common/FakeHost.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "fat/FatImage.h"

namespace salvex::test {
namespace {

// A boot record whose data area holds exactly `clusters` clusters of one sector.
std::array<uint8_t, 90> BootRecordFor(uint32_t clusters, bool fat32 = false) {
  FatGeometry g;
  g.clusters = clusters;
  g.fat32 = fat32;
  g.rootEntries = fat32 ? 0 : 512;
  g.sectorsPerFAT = fat32 ? (clusters + 2) * 4 / 512 + 1 : (clusters + 2) * 2 / 512 + 1;
  FatImage img(g);
  std::array<uint8_t, 90> r{};
  std::memcpy(r.data(), img.bytes.data(), 90);
  return r;
}

TEST(FatVolume, TypeFollowsTheClusterCountAtTheBounds) {
  struct Case {
    uint32_t clusters;
    uint8_t type;
  } cases[] = {{4084, FAT12}, {4085, FAT16}, {65524, FAT16}, {65525, FAT32}};
  for (const auto& c : cases) {
    TFATdrive d;
    auto boot = BootRecordFor(c.clusters, c.type == FAT32);
    ASSERT_TRUE(d.ApplyBootSector(boot.data(), true)) << c.clusters;
    EXPECT_EQ(d.ClusterCount, c.clusters);
    EXPECT_EQ(d.FATType, c.type) << c.clusters << " clusters";
  }
}

// Cut short by its device, a FAT16 volume stays FAT16: the variant comes from the boot sector's
// own count, the device only bounds what is read, and the cut is said.
TEST(FatVolume, TruncatedFat16KeepsItsTypeAndReadsWhatIsThere) {
  FatGeometry g;
  g.clusters = 6000;
  g.sectorsPerFAT = 24;
  FatImage img(g);
  img.SetFAT(0, 0xFFF8);
  img.SetFAT(1, 0xFFFF);
  img.Chain({3, 4, 700});
  for (uint32_t c : {3u, 4u, 700u}) std::memset(img.Cluster(c), int(c % 251), 512);
  img.AddToDir(0, FatImage::Record("KEEP    BIN", 0x20, 3, 1536));
  img.bytes.resize((img.FirstDataSector() + 1000) * 512);  // 1000 of 6000 clusters left
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->FATType, FAT16);
  EXPECT_EQ(m.drive->ClusterCount, 6000u);
  EXPECT_EQ(m.drive->ClustersOnDevice, 1000u);
  EXPECT_NE(m.drive->MountText().find("cut to the device"), std::string::npos);
  TFATDirectory& root = *m.drive->Root();
  root.ReadChildren(false, false);
  ASSERT_EQ(root.Children->size(), 1u);
  auto* f = dynamic_cast<TFATFile*>((*root.Children)[0].get());
  ASSERT_NE(f, nullptr);
  auto data = f->OpenData({});
  std::vector<uint8_t> buf(1536);
  ASSERT_EQ(data->Read(buf.data(), buf.size()), buf.size());
  EXPECT_TRUE(data->Failure.empty()) << data->Failure;
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(buf[512], 4);
  EXPECT_EQ(buf[1024], 700 % 251);
}

TEST(FatVolume, Fat12EntrySpanningTwoSectorsIsDecodedFromBoth) {
  FatGeometry g;
  g.clusters = 2000;
  FatImage img(g);
  img.SetFAT(340, 0x123);
  img.SetFAT(341, 0xABC);  // byte offset 511: its high byte lies in the FAT's second sector
  img.SetFAT(342, 0x456);
  img.SetFAT(3, 0xFFF);
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  ASSERT_EQ(m.drive->FATType, FAT12);
  EXPECT_EQ(m.drive->GetFAT(341, 0), 0xABCu);
  EXPECT_EQ(m.drive->GetFAT(340, 0), 0x123u);
  EXPECT_EQ(m.drive->GetFAT(342, 0), 0x456u);
  EXPECT_EQ(m.drive->GetFAT(341, 1), 0xABCu);  // second copy, same layout
}

TEST(FatVolume, OutOfRangeEntriesReadAsZero) {
  FatGeometry g;
  FatImage img(g);
  img.SetFAT(2, 0xFFF);
  MountedFat m;
  m.Mount(img.bytes);
  EXPECT_EQ(m.drive->GetFAT(1, 0), 0u);
  EXPECT_EQ(m.drive->GetFAT(m.drive->ClusterCount + 2, 0), 0u);
  EXPECT_EQ(m.drive->GetFAT(2, 0), 0xFFFu);
}

TEST(FatVolume, QuickFormattedFatSelectsNoFat) {
  FatGeometry g;
  g.clusters = 5000;
  g.sectorsPerFAT = 20;
  FatImage img(g);
  img.SetFAT(0, 0xFFF8);
  img.SetFAT(1, 0xFFFF);
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->FATCopy, 0);
  EXPECT_TRUE(m.drive->Lost & DriveNoFAT);
}

TEST(FatVolume, Fat32WhoseOnlyEntriesConcernTheRootSelectsNoFat) {
  FatGeometry g;
  g.fat32 = true;
  g.rootEntries = 0;
  g.clusters = 70000;
  g.sectorsPerFAT = 560;
  FatImage img(g);
  img.SetFAT(2, 0x0FFFFFFF);  // the root directory's own end mark
  img.SetFAT(5, 2);           // a link that points at the root cluster
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  ASSERT_EQ(m.drive->FATType, FAT32);
  EXPECT_EQ(m.drive->FATCopy, 0);
}

TEST(FatVolume, OneClusterFileKeepsTheFat) {
  // Entries 2..16 hold only end marks: chains of one cluster are chains all the same.
  FatGeometry g;
  FatImage img(g);
  img.SetFAT(7, 0xFFF);
  MountedFat m;
  m.Mount(img.bytes);
  EXPECT_EQ(m.drive->FATCopy, 1);
  EXPECT_FALSE(m.drive->Lost & DriveNoFAT);
}

TEST(FatVolume, SmallVolumeTestsOnlyItsOwnEntries) {
  FatGeometry g;
  g.clusters = 5;
  g.rootEntries = 16;
  g.sectorsPerFAT = 1;
  FatImage img(g);
  // Entry 8 lies past the last cluster (6); a link there must not count.
  img.SetFAT(8, 3);
  MountedFat m;
  m.Mount(img.bytes);
  EXPECT_EQ(m.drive->ClusterCount, 5u);
  EXPECT_EQ(m.drive->FATCopy, 0);
}

struct FatBootMessages : ::testing::Test {
  FakeHost host;
  ScopedHost scope{host};
  FatImage img{FatGeometry{}};
  // What the desktop program shows of a mount: the notes that carry a text.
  static std::vector<TMountNote> Shown(const TCustomDrive& d) {
    std::vector<TMountNote> shown;
    for (const TMountNote& n : d.MountNotes)
      if (!n.Message.empty()) shown.push_back(n);
    return shown;
  }
};

TEST_F(FatBootMessages, ZeroBytesPerSectorIsReportedOnceAndFails) {
  PutU16(img.bytes.data() + 0x0B, 0);
  TFATdrive d;
  EXPECT_FALSE(d.ApplyBootSector(img.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_EQ(Shown(d)[0].Message, "bad parameter in boot sector: Bytes Per Sector (0) = 0 !");
  EXPECT_EQ(Shown(d)[0].Caption, "Information");
  EXPECT_EQ(Shown(d)[0].Icon, TMsgIcon::Information);
}

TEST_F(FatBootMessages, QuietModeFailsWithoutAWord) {
  PutU16(img.bytes.data() + 0x0B, 0);
  MountedFat m;
  m.Mount(img.bytes, true);
  EXPECT_FALSE(m.mounted);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(Shown(*m.drive).empty());
  // A volume that did not mount has no folders to show.
  EXPECT_FALSE(m.drive->HasSpecialFolders());
}

TEST_F(FatBootMessages, ZeroSectorsPerCluster) {
  img.bytes[0x0D] = 0;
  TFATdrive d;
  EXPECT_FALSE(d.ApplyBootSector(img.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_EQ(Shown(d)[0].Message, "bad parameter in boot sector: Sectors Per Cluster (0) = 0 !");
}

TEST_F(FatBootMessages, Fat32RootClusterOutOfRangeWarnsAndLeavesTheRootEmpty) {
  FatGeometry g;
  g.fat32 = true;
  g.rootEntries = 0;
  g.clusters = 70000;
  g.sectorsPerFAT = 560;
  g.rootCluster = 1;
  FatImage f32(g);
  TFATdrive d;
  EXPECT_TRUE(d.ApplyBootSector(f32.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_EQ(Shown(d)[0].Message, "bad parameter in boot sector: root directory cluster (1) < 2 !");
  // Cluster 1 would have put the root before the data area (cluster - 2 wraps).
  EXPECT_EQ(d.RootCluster, 0u);
  EXPECT_EQ(d.RootDirSector, 0u);
  PutU32(f32.bytes.data() + 0x2C, 80000);
  d.MountNotes.clear();
  EXPECT_TRUE(d.ApplyBootSector(f32.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_EQ(Shown(d)[0].Message, "bad parameter in boot sector: root directory cluster (80000) > count of clusters !");
  EXPECT_EQ(d.RootDirSector, 0u);
  // The last cluster is a cluster of the volume.
  PutU32(f32.bytes.data() + 0x2C, d.ClusterCount + 1);
  d.MountNotes.clear();
  EXPECT_TRUE(d.ApplyBootSector(f32.bytes.data(), false));
  EXPECT_TRUE(Shown(d).empty());
  EXPECT_EQ(d.RootCluster, d.ClusterCount + 1);

  // Mounted, the root lists nothing rather than sectors outside the volume.
  PutU32(f32.bytes.data() + 0x2C, 0);
  MountedFat m;
  m.Mount(f32.bytes);
  ASSERT_TRUE(m.mounted);
  m.drive->Root()->ReadChildren(false, false);
  EXPECT_TRUE(m.drive->Root()->Children->empty());
}

TEST_F(FatBootMessages, SectorsOf8192BytesMountAsTheBootSectorTestAcceptsThem) {
  FatGeometry g;
  g.bytesPerSector = 8192;
  g.sectorsPerFAT = 1;
  g.rootEntries = 256;
  g.clusters = 200;
  FatImage img8(g);
  ASSERT_TRUE(IsFATBootSector(img8.bytes));
  img8.SetFAT(2, 0xFFF);
  img8.AddToDir(0, FatImage::Record("BIG     TXT", 0x20, 2, 5));
  std::memcpy(img8.Cluster(2), "8192!", 5);
  MountedFat m;
  m.Mount(img8.bytes);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->BytesPerSec, 8192u);
  m.drive->Root()->ReadChildren(false, false);
  ASSERT_EQ(m.drive->Root()->Children->size(), 1u);
  EXPECT_EQ(static_cast<TFATFile*>((*m.drive->Root()->Children)[0].get())->Name, "BIG.TXT");
}

TEST_F(FatBootMessages, MetadataLargerThanTheVolumeIsRefused) {
  PutU16(img.bytes.data() + 0x13, 10);  // fewer sectors than the FATs need
  TFATdrive d;
  EXPECT_FALSE(d.ApplyBootSector(img.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_EQ(Shown(d)[0].Message, "Bad parameters for calculating logical drive information from Boot Sector");
  EXPECT_EQ(Shown(d)[0].Caption, "Error");
}

TEST_F(FatBootMessages, ClustersOf64KiBWorkAndLargerAreRefused) {
  TFATdrive d;
  img.bytes[0x0D] = 128;  // 512 x 128 = 64 KiB
  PutU16(img.bytes.data() + 0x13, 0);
  PutU32(img.bytes.data() + 0x20, 200000);
  EXPECT_TRUE(d.ApplyBootSector(img.bytes.data(), false));
  EXPECT_EQ(d.ClusterSize, 65536u);
  EXPECT_TRUE(Shown(d).empty());
  PutU16(img.bytes.data() + 0x0B, 4096);
  img.bytes[0x0D] = 32;  // 128 KiB
  EXPECT_FALSE(d.ApplyBootSector(img.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_NE(Shown(d)[0].Message.find("65536"), std::string::npos);
}

TEST_F(FatBootMessages, OddSectorSizeIsRefusedClearly) {
  PutU16(img.bytes.data() + 0x0B, 100);
  TFATdrive d;
  EXPECT_FALSE(d.ApplyBootSector(img.bytes.data(), false));
  ASSERT_EQ(Shown(d).size(), 1u);
  EXPECT_NE(Shown(d)[0].Message.find("Bytes Per Sector (100)"), std::string::npos);
}

TEST(FatVolume, LabelIsCutAtZeroAndKeepsBlanks) {
  FatImage img{FatGeometry{}};
  TFATdrive d;
  std::memcpy(img.bytes.data() + 0x2B, "           ", 11);
  ASSERT_TRUE(d.ApplyBootSector(img.bytes.data(), true));
  EXPECT_EQ(d.Name, std::string(11, ' '));
  img.bytes[0x2B] = 0;
  ASSERT_TRUE(d.ApplyBootSector(img.bytes.data(), true));
  EXPECT_EQ(d.Name, "");
}

TEST(FatVolume, VolumeWith4096ByteSectorsReadsInsideA512ByteImage) {
  FatGeometry g;
  g.bytesPerSector = 4096;
  g.rootEntries = 128;
  g.sectorsPerFAT = 2;
  g.clusters = 100;
  FatImage img(g);
  img.SetFAT(3, 0xFFF);
  std::vector<uint8_t> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  img.Chain({3, 4});
  std::memcpy(img.Cluster(3), data.data(), data.size());
  img.AddToDir(0, FatImage::Record("DATA    BIN", 0x20, 3, uint32_t(data.size())));
  MountedFat m;
  m.Mount(img.bytes);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->BytesPerSector(), 4096u);
  auto* root = m.drive->Root();
  root->ReadChildren(false, false);
  ASSERT_EQ(root->Children->size(), 1u);
  auto* f = dynamic_cast<TFATFile*>((*root->Children)[0].get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Name, "DATA.BIN");
  TFATFilePos pos;
  m.drive->OpenFilePos(f->FirstCluster, f->Size, pos);
  std::vector<uint8_t> got(data.size());
  uint64_t n = 0;
  ASSERT_TRUE(m.drive->ReadFileData(pos, got.size(), n, 1, got.data()));
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(got, data);
}

}  // namespace
}  // namespace salvex::test
