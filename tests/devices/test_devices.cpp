#include <gtest/gtest.h>

#include "common/ByteReader.h"
#include "common/FakeHost.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/PartitionTable.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"

namespace salvex::test {
namespace {

struct DeviceTest : ::testing::Test {
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost hostScope{host};

  std::unique_ptr<TDevice> MakeDisk(const std::string& path, size_t sectors) {
    auto& bytes = fake.io.images[path].bytes;
    bytes.resize(sectors * 512);
    for (size_t s = 0; s < sectors; ++s) PutU32(&bytes[s * 512], uint32_t(s));
    auto d = std::make_unique<TDevice>();
    d->Number = TDeviceRegistry::Instance().AddImage(path, TImageKind::Disk).Number;
    d->TotalSectors = sectors;
    d->Partitioned = true;
    return d;
  }
  static uint32_t SectorTag(const std::vector<uint8_t>& buf, size_t i) { return ByteReader(buf).U32(i * 512); }
};

TEST_F(DeviceTest, CacheLoadsABlockAndServesTheNextSectorFromMemory) {
  auto dOwner = MakeDisk("/d", 5000);
  TDevice& d = *dOwner;
  d.CacheBlockSectors = 64;
  d.SetCacheEnabled(true);
  blockcache::SetEnabled(true);
  std::vector<uint8_t> buf(512);
  fake.io.transfers.clear();
  ASSERT_TRUE(d.ReadSectors(1000, 1, true, d.TotalSectors, buf.data()));
  ASSERT_EQ(fake.io.transfers.size(), 1u);
  EXPECT_EQ(fake.io.transfers[0].length, 64u * 512);
  EXPECT_EQ(SectorTag(buf, 0), 1000u);
  ASSERT_TRUE(d.ReadSectors(1001, 1, true, d.TotalSectors, buf.data()));
  EXPECT_EQ(fake.io.transfers.size(), 1u);
  EXPECT_EQ(SectorTag(buf, 0), 1001u);
  blockcache::SlotInfo s = blockcache::Slot(0);
  EXPECT_EQ(s.Owner, &d);
  EXPECT_EQ(s.First, 1000u);
  EXPECT_EQ(s.Last, 1063u);
}

TEST_F(DeviceTest, RequestRunningPastABlockIsCompletedFromTheDisk) {
  auto dOwner = MakeDisk("/d", 5000);
  TDevice& d = *dOwner;
  d.CacheBlockSectors = 64;
  d.SetCacheEnabled(true);
  blockcache::SetEnabled(true);
  std::vector<uint8_t> buf(512 * 10);
  ASSERT_TRUE(d.ReadSectors(1000, 1, true, d.TotalSectors, buf.data()));
  ASSERT_TRUE(d.ReadSectors(1060, 10, true, d.TotalSectors, buf.data()));
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(SectorTag(buf, i), 1060u + i);
}

TEST_F(DeviceTest, ReadAheadStopsBeforeTheBoundAndBypassesAtIt) {
  auto dOwner = MakeDisk("/d", 5000);
  TDevice& d = *dOwner;
  d.CacheBlockSectors = 64;
  d.SetCacheEnabled(true);
  blockcache::SetEnabled(true);
  std::vector<uint8_t> buf(512);
  fake.io.transfers.clear();
  ASSERT_TRUE(d.ReadSectors(2000, 1, true, 2010, buf.data()));
  ASSERT_EQ(fake.io.transfers.size(), 1u);
  EXPECT_EQ(fake.io.transfers[0].length, 9u * 512);  // ends two sectors before the bound
  fake.io.transfers.clear();
  ASSERT_TRUE(d.ReadSectors(3000, 1, true, 3000, buf.data()));
  ASSERT_EQ(fake.io.transfers.size(), 1u);
  EXPECT_EQ(fake.io.transfers[0].length, 512u);  // direct read
  EXPECT_EQ(SectorTag(buf, 0), 3000u);
}

TEST_F(DeviceTest, OldestSlotIsReplacedAndAgesDecay) {
  auto dOwner = MakeDisk("/d", 5000);
  TDevice& d = *dOwner;
  d.CacheBlockSectors = 16;
  d.SetCacheEnabled(true);
  blockcache::SetEnabled(true);
  std::vector<uint8_t> buf(512);
  for (uint64_t start : {0, 100, 200, 300}) ASSERT_TRUE(d.ReadSectors(start, 1, true, 5000, buf.data()));
  // Slot 0 (sectors 0..15) is now the oldest; three hits make it younger than slot 1.
  for (uint64_t s : {5, 6, 7}) ASSERT_TRUE(d.ReadSectors(s, 1, true, 5000, buf.data()));
  ASSERT_TRUE(d.ReadSectors(400, 1, true, 5000, buf.data()));
  EXPECT_EQ(blockcache::Slot(1).First, 400u);
  EXPECT_EQ(blockcache::Slot(0).First, 0u);
  for (int i = 0; i < 4; ++i) EXPECT_LE(blockcache::Slot(i).Age, 15);
}

TEST_F(DeviceTest, SmallDevicesAndTheGlobalSwitchKeepTheCacheOff) {
  auto dOwner = MakeDisk("/d", 1000);
  TDevice& d = *dOwner;
  d.MeasureCacheBlock();
  EXPECT_EQ(d.CacheBlockSectors, 0u);
  auto bigOwner = MakeDisk("/big", 5000);
  TDevice& big = *bigOwner;
  big.CacheBlockSectors = 64;
  big.SetCacheEnabled(true);
  blockcache::SetEnabled(false);
  std::vector<uint8_t> buf(512);
  fake.io.transfers.clear();
  ASSERT_TRUE(big.ReadSectors(10, 1, true, 5000, buf.data()));
  EXPECT_EQ(fake.io.transfers.back().length, 512u);
}

TEST_F(DeviceTest, DestroyedDeviceReleasesItsSlots) {
  blockcache::SetEnabled(true);
  {
    auto dOwner = MakeDisk("/d", 5000);
  TDevice& d = *dOwner;
    d.CacheBlockSectors = 8;
    d.SetCacheEnabled(true);
    std::vector<uint8_t> buf(512);
    ASSERT_TRUE(d.ReadSectors(1, 1, true, 5000, buf.data()));
    EXPECT_NE(blockcache::Slot(0).Owner, nullptr);
  }
  EXPECT_EQ(blockcache::Slot(0).Owner, nullptr);
}

TEST_F(DeviceTest, MeasuredBlockFitsOneSlot) {
  uint32_t fakeTime = 1;
  static uint32_t* clock = nullptr;
  clock = &fakeTime;
  SetDeviceClock([] { return (*clock)++ / 2; });  // 100 ms pass after about 200 reads
  auto dOwner = MakeDisk("/d", 100000);
  TDevice& d = *dOwner;
  d.MeasureCacheBlock();
  SetDeviceClock(nullptr);
  EXPECT_GT(d.CacheBlockSectors, 1000u);
  EXPECT_LE(uint64_t(d.CacheBlockSectors) * 512, 0x200000u);
  EXPECT_FALSE(d.CacheEnabled);
}

// Builds an MBR or EBR entry.
void PutEntry(std::vector<uint8_t>& disk, uint64_t table, int slot, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = &disk[table * 512 + 0x1BE + slot * 16];
  e[4] = type;
  PutU32(e + 8, start);
  PutU32(e + 12, count);
  disk[table * 512 + 510] = 0x55;
  disk[table * 512 + 511] = 0xAA;
}

std::vector<TPartitionEntry> Volumes(TDevice& d) {
  std::vector<TPartitionEntry> out;
  WalkPartitionTables(d, [&](const TPartitionEntry& e) {
    if (e.Kind == TPartitionKind::FAT || e.Kind == TPartitionKind::NTFS) out.push_back(e);
  });
  return out;
}

TEST_F(DeviceTest, WalkYieldsPrimariesThenLogicalsInChainOrder) {
  auto dOwner = MakeDisk("/d", 10000);
  TDevice& d = *dOwner;
  auto& disk = fake.io.images["/d"].bytes;
  std::fill(disk.begin(), disk.end(), 0);
  PutEntry(disk, 0, 0, 0x0F, 2000, 8000);  // extended first in the table
  PutEntry(disk, 0, 1, 0x0C, 63, 1900);
  PutEntry(disk, 0, 2, 0x83, 9000, 10);    // Linux: ignored
  PutEntry(disk, 2000, 0, 0x07, 63, 1000);  // logical relative to its own table
  PutEntry(disk, 2000, 1, 0x05, 3000, 3000);  // link relative to the outer extended
  PutEntry(disk, 5000, 0, 0x07, 63, 2000);
  auto v = Volumes(d);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].Type, 0x0C);
  EXPECT_EQ(v[0].FirstSector, 63u);
  EXPECT_EQ(v[1].FirstSector, 2063u);
  EXPECT_EQ(v[1].Kind, TPartitionKind::NTFS);
  EXPECT_EQ(v[2].FirstSector, 5063u);
  EXPECT_EQ(v[2].SectorCount, 2000u);
}

TEST_F(DeviceTest, LoopingChainEnds) {
  auto dOwner = MakeDisk("/d", 10000);
  TDevice& d = *dOwner;
  auto& disk = fake.io.images["/d"].bytes;
  std::fill(disk.begin(), disk.end(), 0);
  PutEntry(disk, 0, 0, 0x05, 2000, 8000);
  PutEntry(disk, 2000, 0, 0x06, 63, 100);
  PutEntry(disk, 2000, 1, 0x05, 1000, 100);   // -> 3000
  PutEntry(disk, 3000, 0, 0x06, 63, 100);
  PutEntry(disk, 3000, 1, 0x05, 0, 100);      // -> back to 2000
  PutEntry(disk, 3000, 2, 0x05, 0xFFFFF000, 100);  // beyond the disk: ignored
  auto v = Volumes(d);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].FirstSector, 2063u);
  EXPECT_EQ(v[1].FirstSector, 3063u);
}

// A disk image cut short keeps the start of its last volumes: entries that run past the end are
// visited, marked, and an extended link that starts past it is not followed.
TEST_F(DeviceTest, TableWithoutSignatureIsNotUsedAndEntriesPastTheEndAreMarked) {
  auto dOwner = MakeDisk("/d", 10000);
  TDevice& d = *dOwner;
  auto& disk = fake.io.images["/d"].bytes;
  std::fill(disk.begin(), disk.end(), 0);
  PutEntry(disk, 0, 0, 0x0C, 63, 1000);
  PutEntry(disk, 0, 1, 0x07, 9000, 1001);  // one sector too long
  PutEntry(disk, 0, 2, 0x05, 12000, 100);  // extended link outside the disk
  PutEntry(disk, 0, 3, 0x06, 9000, 1000);  // ends exactly at the disk's end
  std::vector<TPartitionEntry> all;
  WalkPartitionTables(d, [&](const TPartitionEntry& e) { all.push_back(e); });
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].FirstSector, 63u);
  EXPECT_FALSE(all[0].RunsPastEnd);
  EXPECT_EQ(all[1].Type, 0x07);
  EXPECT_TRUE(all[1].RunsPastEnd);
  EXPECT_FALSE(all[1].StartsPastEnd);
  EXPECT_EQ(all[1].SectorCount, 1001u);  // as the table says; the volume is cut to the device
  EXPECT_EQ(all[2].Type, 0x06);
  EXPECT_FALSE(all[2].RunsPastEnd);
  EXPECT_EQ(all[3].Kind, TPartitionKind::Extended);
  EXPECT_TRUE(all[3].StartsPastEnd);
  EXPECT_NE(PastEndWarning(all[1], d.TotalSectors).find("only 1000 are there"), std::string::npos);
  disk[511] = 0;  // the same table without 55 AA yields nothing
  all.clear();
  WalkPartitionTables(d, [&](const TPartitionEntry& e) { all.push_back(e); });
  EXPECT_TRUE(all.empty());
}

TEST_F(DeviceTest, DeviceNamesUseListPositionAndSizes) {
  fake.io.images["/floppy"].bytes.resize(1474560);
  fake.io.images["/a"].bytes.resize(4096);
  fake.io.images["/a"].virtualSize = 2000000ull * 512;
  fake.io.images["/b"].bytes.resize(4096);
  fake.io.images["/b"].virtualSize = 2097152ull * 512;
  auto& reg = TDeviceRegistry::Instance();
  reg.AddImage("/floppy", TImageKind::Floppy);
  reg.AddImage("/a", TImageKind::Disk);
  reg.AddImage("/b", TImageKind::Disk);
  TDeviceList list;
  list.DetectDevices(nullptr);
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_FALSE(list.Items(0)->Partitioned);
  EXPECT_TRUE(list.Items(1)->Partitioned);
  EXPECT_EQ(list.Items(1)->Number, 0x80);
  // Names are numbered by position: the first fixed disk after a floppy is #2.
  EXPECT_EQ(list.GetDeviceName(1, true), "fixed disk #2   (976.56 MB)");
  EXPECT_EQ(list.GetDeviceName(2, true), "fixed disk #3   (1.00 GB)");
  EXPECT_EQ(list.Items(0)->Name.rfind("floppy disk #1", 0), 0u);
}

}  // namespace
}  // namespace salvex::test
