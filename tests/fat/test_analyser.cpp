// The lost-drive analyser on sectors built byte by byte: the sector predicates, the boot record,
// and the scan state machine with the volumes it rebuilds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/ByteReader.h"
#include "common/FakeHost.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "fat/BootRecord.h"
#include "fat/FATAnalyser.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATSectorTests.h"
#include "fat/FATdrive.h"

namespace salvex::test {
namespace {

using Sector = std::vector<uint8_t>;

constexpr uint16_t kTime = (13 << 11) | (45 << 5) | 10;       // 13:45:20
constexpr uint16_t kDate = ((2021 - 1980) << 9) | (6 << 5) | 15;  // 15.06.2021

void PutRecord(uint8_t* p, const std::string& name11, uint8_t attr, uint32_t cluster, uint32_t size) {
  std::memset(p, ' ', 11);
  std::memcpy(p, name11.data(), std::min<size_t>(11, name11.size()));
  p[11] = attr;
  std::memset(p + 12, 0, 20);
  PutU16(p + 14, kTime);
  PutU16(p + 16, kDate);
  PutU16(p + 18, kDate);
  PutU16(p + 20, uint16_t(cluster >> 16));
  PutU16(p + 22, kTime);
  PutU16(p + 24, kDate);
  PutU16(p + 26, uint16_t(cluster));
  PutU32(p + 28, size);
}

// A long-name record holding 13 characters of `part` (padded with 0 then 0xFFFF as on disk).
void PutLongName(uint8_t* p, uint8_t sequence, const std::u16string& part, uint8_t checksum) {
  static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::memset(p, 0, 32);
  p[0] = sequence;
  p[11] = 0x0F;
  p[13] = checksum;
  for (size_t k = 0; k < 13; ++k) {
    uint16_t c = k < part.size() ? part[k] : k == part.size() ? 0 : 0xFFFF;
    PutU16(p + kOffsets[k], c);
  }
}

// An 11-byte short name, blank padded.
std::string Name83(const std::string& base, const std::string& ext = "") {
  std::string b = base, e = ext;
  b.resize(8, ' ');
  e.resize(3, ' ');
  return b + e;
}

// 16 file records F<base+k>.TXT with clusters from `cluster`.
Sector FileSector(int base, uint32_t cluster = 100) {
  Sector s(512);
  for (int k = 0; k < 16; ++k) PutRecord(&s[k * 32], Name83("F" + std::to_string(base + k), "TXT"), 0x20, cluster + k, 1000 + k);
  return s;
}

// "." and ".." then `extra` files; the rest of the sector is the end of the folder.
Sector DotSector(uint32_t cluster, uint32_t parent, int extra = 0) {
  Sector s(512);
  PutRecord(&s[0], ".", 0x10, cluster, 0);
  PutRecord(&s[32], "..", 0x10, parent, 0);
  for (int k = 0; k < extra; ++k) PutRecord(&s[(2 + k) * 32], Name83("IN" + std::to_string(k), "TXT"), 0x20, cluster + 1 + k, 10);
  return s;
}

// A root sector: the volume label and 15 files.
Sector RootSector() {
  Sector s = FileSector(0);
  PutRecord(&s[0], "MYDISK", 0x08, 0, 0);
  return s;
}

Sector FAT16Start() {
  Sector s(512);
  PutU16(&s[0], 0xFFF8);
  PutU16(&s[2], 0xFFFF);
  for (uint16_t n = 2; n < 200; ++n) PutU16(&s[n * 2], n + 1);
  return s;
}

Sector FAT32Start() {
  Sector s(512);
  PutU32(&s[0], 0x0FFFFFF8);
  PutU32(&s[4], 0x0FFFFFFF);
  PutU32(&s[8], 0x0FFFFFFF);  // root cluster, one cluster long
  for (uint32_t n = 3; n < 100; ++n) PutU32(&s[n * 4], n + 1);
  return s;
}

TEST(FatAnalyserSectorTests, DirectorySectorNeedsSixteenPlausibleRecords) {
  const uint64_t limit = 1 << 20;
  Sector s = FileSector(0);
  EXPECT_TRUE(IsDirectorySector(s, limit, limit));

  // An empty file owns no cluster and still belongs to a real folder.
  Sector empty = s;
  PutRecord(&empty[5 * 32], "EMPTY   DAT", 0x20, 0, 0);
  EXPECT_TRUE(IsDirectorySector(empty, limit, limit));

  struct Case {
    const char* what;
    std::function<void(uint8_t*)> breakIt;
  } cases[] = {
      {"end of folder in record 10", [](uint8_t* r) { std::memset(r, 0, 32); }},
      {"'?' in the name", [](uint8_t* r) { r[3] = '?'; }},
      {"'.' in the name", [](uint8_t* r) { r[1] = '.'; }},
      {"control byte in the name", [](uint8_t* r) { r[2] = 0x07; }},
      {"attribute 0x40", [](uint8_t* r) { r[11] = 0x40; }},
      {"cluster 1", [](uint8_t* r) { PutU16(r + 26, 1); }},
      {"cluster past the limit", [](uint8_t* r) { PutU16(r + 20, 0x7FFF); }},
      {"folder without cluster", [](uint8_t* r) { r[11] = 0x10; PutU16(r + 26, 0); PutU32(r + 28, 0); }},
      {"label with a cluster", [](uint8_t* r) { r[11] = 0x08; }},
      {"size past the limit", [](uint8_t* r) { PutU32(r + 28, (1 << 20) + 1); }},
      {"minute 60", [](uint8_t* r) { PutU16(r + 22, 60 << 5); }},
      {"hour 24 in the creation time", [](uint8_t* r) { PutU16(r + 14, 24 << 11); }},
      {"month 13", [](uint8_t* r) { PutU16(r + 24, (13 << 5) | 1); }},
      {"day 0 in the access date", [](uint8_t* r) { PutU16(r + 18, 3 << 5); }},
  };
  for (const Case& c : cases) {
    Sector bad = s;
    c.breakIt(&bad[10 * 32]);
    EXPECT_FALSE(IsDirectorySector(bad, limit, limit)) << c.what;
  }
  // 0x05 stands for 0xE5 as a first byte only; 0xE5 (deleted) passes as any high byte.
  Sector kanji = s;
  kanji[3 * 32] = 0x05;
  kanji[4 * 32] = 0xE5;
  EXPECT_TRUE(IsDirectorySector(kanji, limit, limit));
  // Only 16 records count, also in a larger sector.
  Sector big(4096);
  std::memcpy(big.data(), s.data(), 512);
  EXPECT_TRUE(IsDirectorySector(big, limit, limit));
  EXPECT_FALSE(IsDirectorySector(Sector(256, 'A'), limit, limit));
}

TEST(FatAnalyserSectorTests, LongNameRunsPassUntestedAlsoWhenTheyBeganBefore) {
  const uint64_t limit = 1 << 20;
  Sector s = FileSector(0);
  PutLongName(&s[2 * 32], 0x42, u"ter-name.txt", 0x11);
  PutLongName(&s[3 * 32], 0x01, u"A-much-longe", 0x11);
  EXPECT_TRUE(IsDirectorySector(s, limit, limit));
  // A continuation record without a run start before it is tested as a short record and fails.
  Sector orphan = FileSector(0);
  PutLongName(&orphan[5 * 32], 0x01, u"abc", 0x11);
  EXPECT_FALSE(IsDirectorySector(orphan, limit, limit));
  // At the start of a sector it continues a run from the sector before.
  Sector opening = FileSector(0);
  PutLongName(&opening[0], 0x01, u"abc", 0x11);
  EXPECT_TRUE(IsDirectorySector(opening, limit, limit));
}

TEST(FatAnalyserSectorTests, DotSectorAndVolumeLabel) {
  uint32_t cluster = 0;
  EXPECT_TRUE(IsDotDirSector(DotSector(1234, 0), cluster));
  EXPECT_EQ(cluster, 1234u);
  Sector notDir = DotSector(7, 0);
  notDir[11] = 0x20;
  EXPECT_FALSE(IsDotDirSector(notDir, cluster));
  Sector swapped = DotSector(7, 0);
  PutRecord(&swapped[32], ".", 0x10, 0, 0);
  EXPECT_FALSE(IsDotDirSector(swapped, cluster));

  EXPECT_TRUE(HasOneVolumeLabel(RootSector()));
  Sector two = RootSector();
  PutRecord(&two[7 * 32], "OTHER", 0x08, 0, 0);
  EXPECT_FALSE(HasOneVolumeLabel(two));
  Sector digit = FileSector(0);
  PutRecord(&digit[0], "2021DISK", 0x08, 0, 0);  // '2' lacks bit 0x40
  EXPECT_FALSE(HasOneVolumeLabel(digit));
  Sector longNames = FileSector(0);
  PutLongName(&longNames[0], 0x41, u"Label-like", 0x22);  // attribute 0x0F is not a label
  EXPECT_FALSE(HasOneVolumeLabel(longNames));
}

TEST(FatAnalyserSectorTests, FATSectorTypesAndStarts) {
  TFATSectorGuess g;
  Sector window(1024);
  Sector f32 = FAT32Start();
  std::memcpy(window.data(), f32.data(), 512);
  ASSERT_TRUE(IsFATSector(window, 512, g));
  EXPECT_EQ(g.Type, 3);
  EXPECT_TRUE(g.IsFirst);
  EXPECT_EQ(g.Largest, 100u);

  Sector f16 = FAT16Start();
  std::memcpy(window.data(), f16.data(), 512);
  ASSERT_TRUE(IsFATSector(window, 512, g));
  EXPECT_EQ(g.Type, 2);  // F8 FF FF FF is not the FAT32 mark 0x0FFFFFF8
  EXPECT_TRUE(g.IsFirst);

  // FAT12 media F0 FF FF: as 16-bit words it reads FAT16 first (the count tells them apart later).
  Sector f12(1024);
  f12[0] = 0xF0, f12[1] = 0xFF, f12[2] = 0xFF;
  ASSERT_TRUE(IsFATSector(f12, 512, g));
  EXPECT_TRUE(g.IsFirst);

  // A FAT12 sector in mid-FAT: only its 12-bit reading finds more than 32 links.
  Sector mid12(1024);
  for (uint32_t n = 0; n < 40; ++n) {
    uint32_t value = 0x400 + n, off = n + n / 2;
    uint16_t w = ByteReader(mid12).U16(off);
    w = (n & 1) ? uint16_t((w & 0x000F) | (value << 4)) : uint16_t((w & 0xF000) | value);
    PutU16(&mid12[off], w);
  }
  ASSERT_TRUE(IsFATSector(mid12, 512, g));
  EXPECT_FALSE(g.IsFirst);

  EXPECT_FALSE(IsFATSector(Sector(1024), 512, g));  // zeros: no links, no media mark
  Sector few(1024);
  for (int n = 0; n < 32; ++n) PutU32(&few[40 + n * 4], 5);  // 32 links are not enough
  EXPECT_FALSE(IsFATSector(few, 512, g));
}

// The sector tests run wide (several entries or words at once, and wider still where the processor
// allows): what they find must be what a reading of one entry or byte at a time finds, at every
// position, in the last lanes and in sizes that leave a tail.
TEST(FatAnalyserSectorTests, WideTestsAgreeWithAPlainReading) {
  for (size_t size : {8u, 100u, 512u, 520u, 4096u, 4100u}) {
    EXPECT_TRUE(IsZeroSector(Sector(size))) << size;
    for (size_t at = 0; at < size; ++at) {
      Sector s(size);
      s[at] = 0x80;
      ASSERT_FALSE(IsZeroSector(s)) << size << " " << at;
    }
  }

  struct Plain {
    uint32_t Links = 0, Largest = 0;
  };
  // FAT32 and FAT16 readings of a sector that does not start a FAT.
  const auto plain = [](const Sector& s, size_t bytes, bool fat32) {
    Plain p;
    ByteReader r(s);
    for (size_t n = 0; n < bytes / (fat32 ? 4 : 2); ++n) {
      const uint32_t v = fat32 ? r.U32(n * 4) & 0x0FFFFFFF : r.U16(n * 2);
      if (v >= 1 && v <= (fat32 ? 0x0FFFFFF0u : 0xFFF0u)) ++p.Links, p.Largest = std::max(p.Largest, v);
    }
    return p;
  };
  std::mt19937 rng(28);
  const uint32_t edges[] = {1, 2, 0xFFF0, 0xFFF1, 0xFFFF, 0x0FFFFFF0, 0x0FFFFFF1, 0xFFFFFFF0, 0x1FFFFFF0, 0xF0000005};
  for (size_t bytes : {512u, 4096u})
    for (int round = 0; round < 200; ++round) {
      Sector s(bytes * 2);
      // Random bytes, or a zero sector with some links in it (around the 32 that decide).
      if (round % 2) {
        for (auto& b : s) b = uint8_t(rng());
      } else {
        for (int k = 0, n = 20 + round % 40; k < n; ++k) {
          const uint32_t v = k % 3 ? edges[rng() % std::size(edges)] : uint32_t(rng());
          if (round % 4) PutU32(&s[(rng() % (bytes / 4)) * 4], v);
          else PutU16(&s[(rng() % (bytes / 2)) * 2], uint16_t(v));
        }
      }
      s[0] = 0x12;  // no media byte: not a FAT start
      const Plain p32 = plain(s, bytes, true), p16 = plain(s, bytes, false);
      TFATSectorGuess g;
      const bool fat = IsFATSector(s, uint32_t(bytes), g);
      if (p32.Links > 32) {
        ASSERT_TRUE(fat);
        EXPECT_EQ(g.Type, 3);
        EXPECT_EQ(g.Largest, p32.Largest) << bytes << " " << round;
      } else if (p16.Links > 32) {
        ASSERT_TRUE(fat);
        EXPECT_EQ(g.Type, 2);
        EXPECT_EQ(g.Largest, p16.Largest) << bytes << " " << round;
      } else if (fat) {
        EXPECT_EQ(g.Type, 1) << bytes << " " << round;
      }
    }
}

TEST(FatAnalyserBootRecord, FieldsForEachType) {
  TBootRecordParams p;
  p.FATType = 2;
  p.Clusters = 8190;
  p.FATCount = 2;
  p.SectorsPerFAT = 32;
  p.RootEntries = 512;
  p.SectorsPerCluster = 4;
  TBootRecord b = BuildFATBootRecord(p);
  ByteReader r(b.data(), b.size());
  EXPECT_EQ(r.U16(0x0B), 512);
  EXPECT_EQ(r.U8(0x0D), 4);
  EXPECT_EQ(r.U16(0x0E), 1);
  EXPECT_EQ(r.U8(0x10), 2);
  EXPECT_EQ(r.U16(0x11), 512);
  EXPECT_EQ(r.U16(0x16), 32);
  EXPECT_EQ(r.U32(0x24), 0u);
  EXPECT_EQ(r.U16(0x13), 1 + 64 + 32 + 8190 * 4);  // below 65536: the 16-bit field
  EXPECT_EQ(r.U32(0x20), 0u);
  EXPECT_EQ(r.U8(0x15), 0xF8);

  p.FATType = 3;
  p.Clusters = 70000;
  p.SectorsPerFAT = 547;
  p.RootCluster = 2;
  p.SectorsPerCluster = 1;
  b = BuildFATBootRecord(p);
  r = ByteReader(b.data(), b.size());
  EXPECT_EQ(r.U16(0x11), 0);
  EXPECT_EQ(r.U16(0x16), 0);
  EXPECT_EQ(r.U32(0x24), 547u);
  EXPECT_EQ(r.U32(0x2C), 2u);
  EXPECT_EQ(r.U16(0x13), 0);
  EXPECT_EQ(r.U32(0x20), 1u + 2 * 547 + 70000);

  p = {};
  p.FATType = 1;
  p.Clusters = 2847;
  p.FATCount = 2;
  p.SectorsPerFAT = 9;
  p.RootEntries = 224;
  p.SectorsPerCluster = 1;
  p.Removable = true;
  b = BuildFATBootRecord(p);
  r = ByteReader(b.data(), b.size());
  EXPECT_EQ(r.U8(0x15), 0xF0);
  EXPECT_EQ(r.U16(0x13), 1 + 18 + 14 + 2847);
}

TEST(FatAnalyserBootRecord, DefaultClusterSizesFollowMicrosoftsTables) {
  struct Row {
    uint8_t type;
    uint64_t sectors;
    uint16_t spc;
  } rows[] = {
      {2, 8400, 0},       {2, 8401, 2},        {2, 32680, 2},       {2, 32681, 4},      {2, 262144, 4},
      {2, 524288, 8},     {2, 1048576, 16},    {2, 2097152, 32},    {2, 4194304, 64},   {2, 4194305, 0},
      {3, 66600, 0},      {3, 66601, 1},       {3, 532480, 1},      {3, 532481, 8},     {3, 16777216, 8},
      {3, 33554432, 16},  {3, 67108864, 32},   {3, 67108865, 64},   {3, 1ull << 40, 64}, {1, 2880, 0},
  };
  for (const Row& row : rows)
    EXPECT_EQ(DefaultSectorsPerCluster(row.type, row.sectors), row.spc) << int(row.type) << " " << row.sectors;
}

// The analyser fed sector by sector, with a device whose reads give zeros.
struct FatAnalyserScan : ::testing::Test {
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost hostScope{host};
  TDevice device;
  TDriveList drives;
  TFATAnalyser analyser;
  uint32_t files = 0, folders = 0, found = 0;

  void SetUp() override {
    auto& img = fake.io.images["/disk"];
    img.virtualSize = uint64_t(200000) * 512;
    device.Number = TDeviceRegistry::Instance().AddImage("/disk", TImageKind::Disk).Number;
    device.TotalSectors = 200000;
    analyser.Start(device, drives);
  }
  void Feed(uint64_t s, const Sector& sector, const Sector& next = Sector(512)) {
    Sector window(1024);
    std::memcpy(window.data(), sector.data(), 512);
    std::memcpy(window.data() + 512, next.data(), 512);
    analyser.AnalyseSector(device, s, files, folders, found, 512, window.data());
  }
  TFATdrive* Drive(size_t i) { return dynamic_cast<TFATdrive*>(drives.Items(i)); }
  static TFATDirectory* Dir(TItem* item) { return dynamic_cast<TFATDirectory*>(item); }
  static std::vector<std::string> Names(const TCustomDirectory& d) {
    std::vector<std::string> names;
    if (d.Children)
      for (auto& c : *d.Children) {
        if (auto* dir = dynamic_cast<TCustomDirectory*>(c.get())) names.push_back(dir->Name + "/");
        if (auto* f = dynamic_cast<TCustomFile*>(c.get())) names.push_back(f->Name);
      }
    return names;
  }
};

TEST_F(FatAnalyserScan, FAT16WithoutBootSectorIsRebuiltFromFATRootAndFolders) {
  Feed(1, FAT16Start());
  Feed(33, FAT16Start());  // the second FAT ends the first
  Feed(65, RootSector());
  Feed(101, DotSector(3, 0, 2));
  EXPECT_EQ(analyser.FATStart, 1u);
  EXPECT_EQ(analyser.SectorsPerFAT, 32u);
  EXPECT_EQ(analyser.FATCount, 2);
  EXPECT_TRUE(analyser.RootHasLabel);
  EXPECT_TRUE(analyser.DataReached);
  ASSERT_EQ(drives.Count(), 0u);
  Feed(109, DotSector(5, 0, 1));  // 8 sectors for 2 clusters: 4 per cluster, cluster 2 at 97
  ASSERT_EQ(drives.Count(), 1u);
  EXPECT_EQ(found, 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->Name, "DRIVE (without BootSec)");
  EXPECT_EQ(d->Lost & (DriveLost | DriveRebuilt), DriveLost | DriveRebuilt);
  EXPECT_EQ(d->FirstSector, 0u);
  EXPECT_EQ(d->FATType, FAT16);
  EXPECT_EQ(d->SectorsPerCluster, 4u);
  EXPECT_EQ(d->NumberOfFATs, 2u);
  EXPECT_EQ(d->SectorsPerFAT, 32u);
  EXPECT_EQ(d->RootDirSector, 65u);
  EXPECT_EQ(d->RootEntries, 512u);
  EXPECT_EQ(d->FirstDataSector, 97u);
  EXPECT_EQ(d->ClusterCount, 32u * 256 - 2);
  EXPECT_TRUE(d->HasSpecialFolders());
  // The scan state starts over for the next volume; the folders stay collected.
  EXPECT_EQ(analyser.FATStart, 0u);
  EXPECT_FALSE(analyser.FATSeen);
  EXPECT_EQ(analyser.DotDirs().size(), 2u);
  EXPECT_EQ(folders, 3u);  // root and two folders
}

TEST_F(FatAnalyserScan, TwoDotSectors64ApartWithClusters8ApartGive8SectorsPerCluster) {
  Feed(500, FAT32Start());
  Feed(1100, FAT32Start());
  Feed(1700, RootSector());  // cluster 2 of a FAT32 volume, one cluster before the folders
  Feed(1708, DotSector(3, 0));
  Feed(1772, DotSector(11, 0));
  EXPECT_EQ(analyser.SectorsPerCluster, 0);  // reset after the rebuild
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->FATType, FAT32);
  EXPECT_EQ(d->SectorsPerCluster, 8u);
  EXPECT_EQ(d->FirstSector + d->FirstDataSector, 1700u);
  EXPECT_EQ(d->RootCluster, 2u);
  EXPECT_EQ(d->SectorsPerFAT, 600u);

  analyser.Finish(nullptr);
  ASSERT_EQ(drives.Count(), 2u);
  TFATdrive* r = Drive(1);
  // Both folders, and the root's sector (no "." records) as the folder of cluster 2.
  EXPECT_EQ(r->Name, "DRIVE (rebuilt), root entries:3");
  EXPECT_EQ(Names(*r->RootFolder), (std::vector<std::string>{"cluster 3/", "cluster 11/", "sector 1700/"}));
  TFATDirectory* rootSector = Dir((*r->RootFolder->Children)[2].get());
  EXPECT_EQ(rootSector->FirstCluster, 2u);
  EXPECT_EQ(rootSector->Children->size(), 15u);
  EXPECT_EQ(rootSector->Drive, r);
  EXPECT_EQ(r->SectorsPerCluster, 8u);
  EXPECT_EQ(r->FirstSector + r->FirstDataSector, 1700u);
  EXPECT_EQ(r->FirstSector, 499u);  // the rebuilt FAT before it is used
  EXPECT_EQ(r->FATType, FAT32);
  EXPECT_EQ(r->Lost & (DriveLost | DriveRebuilt), DriveLost | DriveRebuilt);
}

TEST_F(FatAnalyserScan, FolderPairsGivingThreeOneOrUnevenClusterSizesBuildNoDrive) {
  Feed(1000, DotSector(10, 0));
  Feed(1003, DotSector(11, 0));  // 3 sectors per cluster
  Feed(2000, DotSector(50, 0));
  Feed(2001, DotSector(51, 0));  // 1 sector per cluster
  Feed(3000, DotSector(100, 0));
  Feed(3009, DotSector(102, 0));  // 9 sectors for 2 clusters: no whole cluster size
  analyser.Finish(nullptr);
  EXPECT_EQ(drives.Count(), 0u);
}

TEST_F(FatAnalyserScan, DirectorySectorsInARowFormOneFolderAndAGapStartsAnother) {
  Feed(500, FileSector(0));
  Feed(501, FileSector(16));
  ASSERT_EQ(analyser.SectorDirs().size(), 1u);
  EXPECT_EQ(analyser.SectorDirs()[0].Dir->Children->size(), 32u);
  EXPECT_EQ(analyser.SectorDirs()[0].Dir->Name, "sector 500");
  // The folder's last sector holds three entries, then the end.
  Sector last(512);
  std::memcpy(last.data(), FileSector(32).data(), 3 * 32);
  Feed(502, last);
  EXPECT_EQ(analyser.SectorDirs()[0].Dir->Children->size(), 35u);
  Feed(503, FileSector(40));
  ASSERT_EQ(analyser.SectorDirs().size(), 2u);
  EXPECT_EQ(analyser.SectorDirs()[1].Dir->Name, "sector 503");
  Sector trailing = last;
  trailing[200] = 0x41;  // bytes after the end mark: not a folder's last sector
  Feed(504, trailing);
  EXPECT_EQ(analyser.SectorDirs()[1].Dir->Children->size(), 16u);
  Feed(506, last);  // after a gap a short sector is not taken as a folder
  EXPECT_EQ(analyser.SectorDirs().size(), 2u);
  EXPECT_EQ(analyser.SectorDirs()[1].Dir->Children->size(), 16u);
  // A "." sector that ends early closes its folder: the sector after it is another folder.
  Feed(600, DotSector(20, 0, 3));
  Feed(601, FileSector(48));
  EXPECT_EQ(analyser.DotDirs().size(), 1u);
  EXPECT_EQ(analyser.DotDirs()[0].Dir->Children->size(), 3u);
  EXPECT_EQ(analyser.SectorDirs().size(), 3u);
  EXPECT_EQ(files, 32u + 3 + 16 + 3 + 16);
}

TEST_F(FatAnalyserScan, LongNameRunningIntoTheNextSectorIsReadOnce) {
  Sector first = FileSector(0), second = FileSector(100);
  PutLongName(&first[14 * 32], 0x43, u"o-sectors.txt", 0x5A);
  PutLongName(&first[15 * 32], 0x02, u"ame-across-tw", 0x5A);
  PutLongName(&second[0], 0x01, u"A-long-file-n", 0x5A);
  PutRecord(&second[32], "ALONGF~1TXT", 0x20, 777, 4242);
  Feed(700, first, second);
  Feed(701, second, Sector(512));
  ASSERT_EQ(analyser.SectorDirs().size(), 1u);
  const TCustomDirectory& dir = *analyser.SectorDirs()[0].Dir;
  std::vector<std::string> names = Names(dir);
  ASSERT_EQ(names.size(), 14u + 1 + 14);
  EXPECT_EQ(names[14], "A-long-file-name-across-two-sectors.txt");
  auto* f = dynamic_cast<TFATFile*>((*dir.Children)[14].get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->FirstCluster, 777u);
  EXPECT_EQ(f->Size, 4242u);
  EXPECT_EQ(f->Time, kTime);
  EXPECT_EQ(f->Date, kDate);
  EXPECT_EQ(names[15], "F102.TXT");  // the next sector goes on after the records already read
}

TEST_F(FatAnalyserScan, LongNamesAreDecodedAsInDirectoryReading) {
  // The same decoder as the folder listing: astral characters kept, an unpaired surrogate tagged.
  Sector s = FileSector(0);
  PutLongName(&s[12 * 32], 0x41, u"Ωμέγα-\U0001F600.txt", 0x5C);
  PutRecord(&s[13 * 32], "OMEGA~1 TXT", 0x20, 500, 10);
  PutLongName(&s[14 * 32], 0x41, std::u16string{u'x', char16_t(0xD800), u'.', u't', u'x', u't'}, 0x5D);
  PutRecord(&s[15 * 32], "X~1     TXT", 0x20, 501, 10);
  Feed(900, s);
  ASSERT_EQ(analyser.SectorDirs().size(), 1u);
  std::vector<std::string> names = Names(*analyser.SectorDirs()[0].Dir);
  ASSERT_EQ(names.size(), 14u);
  EXPECT_EQ(names[12], "Ωμέγα-\xF0\x9F\x98\x80.txt");
  EXPECT_EQ(names[13], "x\xEF\xBF\xBD (entry 15).txt");
}

TEST_F(FatAnalyserScan, LongNameRunningIntoAFoldersLastSectorIsReadWhole) {
  Sector first = FileSector(0), last(512);
  PutLongName(&first[15 * 32], 0x42, u"last.txt", 0x5B);
  PutLongName(&last[0], 0x01, u"Named-at-the-", 0x5B);
  PutRecord(&last[32], "NAMED-~1TXT", 0x20, 300, 12);
  Feed(800, first, last);
  Feed(801, last);
  ASSERT_EQ(analyser.SectorDirs().size(), 1u);
  std::vector<std::string> names = Names(*analyser.SectorDirs()[0].Dir);
  ASSERT_EQ(names.size(), 16u);
  EXPECT_EQ(names[15], "Named-at-the-last.txt");
}

TEST_F(FatAnalyserScan, ListedLostFolderEndsUpInsideItsParentUnderTheListedName) {
  // Parent at cluster 10 lists "Child Folder" (cluster 6) and a file; the child lies first on disk,
  // so it is the first folder of the rebuilt root and is still moved.
  Sector child = DotSector(6, 10, 1);
  Sector parent = DotSector(10, 0);
  PutLongName(&parent[64], 0x41, u"Child Folder", 0x33);
  PutRecord(&parent[96], "CHILDF~1", 0x10, 6, 0);
  PutRecord(&parent[128], "PAPER   PDF", 0x20, 40, 5000);
  Feed(1984, child);
  Feed(2000, parent);
  analyser.Finish(nullptr);
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->Name, "DRIVE (rebuilt), root entries:1");
  EXPECT_EQ(d->FirstSector + d->FirstDataSector, 1984u - 4 * 4);
  EXPECT_EQ(d->FATCopy, 0);  // no FAT known: clusters in a row
  std::vector<std::string> top = Names(*d->RootFolder);
  ASSERT_EQ(top, std::vector<std::string>{"cluster 10/"});
  TFATDirectory* p = Dir((*d->RootFolder->Children)[0].get());
  EXPECT_EQ(Names(*p), (std::vector<std::string>{"Child Folder/", "PAPER.PDF"}));
  TFATDirectory* c = Dir((*p->Children)[0].get());
  EXPECT_EQ(c->Parent, p);
  EXPECT_EQ(c->FirstCluster, 6u);
  EXPECT_EQ(c->Drive, d);
  EXPECT_EQ(Names(*c), std::vector<std::string>{"IN0.TXT"});
  EXPECT_EQ(dynamic_cast<TFATFile*>((*c->Children)[0].get())->Drive, d);
  EXPECT_EQ(c->GetPath(d->RootFolder.get()), "cluster 10\\Child Folder");
  // The deleted view reads the same top folders from the disk.
  ASSERT_TRUE(d->DeletedFolder->Children);
  EXPECT_EQ(d->DeletedFolder->Children->size(), 1u);
}

TEST_F(FatAnalyserScan, FoldersListingEachOtherDoNotMakeTheTreeLoop) {
  Sector a = DotSector(6, 0), b = DotSector(10, 0);
  PutRecord(&a[64], "B", 0x10, 10, 0);
  PutRecord(&b[64], "A", 0x10, 6, 0);
  Feed(1984, a);
  Feed(2000, b);
  analyser.Finish(nullptr);
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  ASSERT_EQ(d->RootFolder->Children->size(), 1u);
  // Walk up from every folder: each chain reaches the root.
  std::vector<TCustomDirectory*> stack{d->RootFolder.get()};
  size_t seen = 0;
  while (!stack.empty() && seen < 100) {
    TCustomDirectory* dir = stack.back();
    stack.pop_back();
    ++seen;
    size_t depth = 0;
    for (TCustomDirectory* up = dir; up; up = up->Parent) ASSERT_LT(++depth, 10u);
    if (dir->Children)
      for (auto& ch : *dir->Children)
        if (auto* sub = dynamic_cast<TCustomDirectory*>(ch.get())) stack.push_back(sub);
  }
  EXPECT_LT(seen, 100u);
}

TEST_F(FatAnalyserScan, FurtherFATCopiesDoNotStretchTheFirstFAT) {
  Sector fat = FAT16Start();
  Feed(10, fat);
  Sector copy = fat;
  copy[300] ^= 0xFF;  // copies may differ in a few bytes
  Feed(20, copy);
  Feed(30, fat);
  EXPECT_EQ(analyser.FATCount, 3);
  EXPECT_EQ(analyser.FATEnd, 19u);
  EXPECT_EQ(analyser.SectorsPerFAT, 10u);
  Sector other = fat;
  for (int k = 100; k < 140; ++k) other[k] ^= 0x55;  // another volume's FAT, not a copy
  Feed(40, other);
  EXPECT_EQ(analyser.FATCount, 3);
}

TEST_F(FatAnalyserScan, SmallFATGivesFAT12AndAConsistentBootRecord) {
  Sector fat(512);
  fat[0] = 0xF0, fat[1] = 0xFF, fat[2] = 0xFF;
  Feed(1, fat);
  Feed(10, fat);  // 9 sectors per FAT, as on a 1.44 MB floppy
  Feed(19, RootSector());
  Feed(33, DotSector(2, 0));
  Feed(34, DotSector(3, 0));
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->FATType, FAT12);
  EXPECT_EQ(d->ClusterCount, 9u * 512 * 2 / 3 - 2);  // 12-bit entries: 3072 in 9 sectors
  EXPECT_EQ(d->RootEntries, 224u);
  EXPECT_EQ(d->FirstDataSector, 33u);
}

TEST_F(FatAnalyserScan, SingleFAT16EndsAtItsRootDirectory) {
  Feed(1, FAT16Start());
  Feed(33, RootSector());
  Feed(69, DotSector(3, 0));
  Feed(73, DotSector(4, 0));  // cluster 2 at 65: 32 root sectors after the FAT
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->NumberOfFATs, 1u);
  EXPECT_EQ(d->SectorsPerFAT, 32u);
  EXPECT_EQ(d->RootDirSector, 33u);
  EXPECT_EQ(d->RootEntries, 512u);
  EXPECT_EQ(d->FirstDataSector, 65u);
}

TEST_F(FatAnalyserScan, DataThatOnlyLooksLikeFATBuildsNoVolumeWithoutAFATStart) {
  Sector links(512);
  for (uint32_t n = 0; n < 128; ++n) PutU32(&links[n * 4], 0x00100000 + n);
  Feed(100, links);
  EXPECT_TRUE(analyser.FATSeen);
  Feed(200, RootSector());
  EXPECT_TRUE(analyser.RootSeen);
  analyser.Finish(nullptr);
  EXPECT_EQ(drives.Count(), 0u);
}

TEST_F(FatAnalyserScan, VolumeStillInProgressAtTheEndUsesTheDefaultTables) {
  Feed(1, FAT16Start());
  Feed(33, FAT16Start());
  Feed(65, RootSector());
  analyser.Finish(nullptr);
  ASSERT_EQ(drives.Count(), 1u);
  TFATdrive* d = Drive(0);
  EXPECT_EQ(d->Name, "DRIVE (without BootSec)");
  EXPECT_EQ(d->SectorsPerCluster, 4u);  // DskTableFAT16 for 200000 sectors
  EXPECT_EQ(d->RootDirSector, 65u);
  EXPECT_EQ(d->FirstDataSector, 97u);
}

TEST_F(FatAnalyserScan, SectorsSmallerThan512BytesAreIgnored) {
  Sector window(512);
  std::memcpy(window.data(), FAT16Start().data(), 256);
  analyser.AnalyseSector(device, 5, files, folders, found, 256, window.data());
  EXPECT_FALSE(analyser.FATSeen);
  EXPECT_EQ(analyser.FATStart, 0u);
}

}  // namespace
}  // namespace salvex::test
