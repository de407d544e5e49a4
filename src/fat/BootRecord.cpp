#include "fat/BootRecord.h"

#include <algorithm>

#include "common/ByteReader.h"

namespace salvex {

namespace {

struct DiskSizeRow {
  uint64_t MaxSectors;
  uint8_t SectorsPerCluster;
};

// Microsoft FAT specification 1.03, DskTableFAT16: sizes in 512-byte sectors; 0 = size not allowed.
constexpr DiskSizeRow kDskTableFAT16[] = {
    {8400, 0}, {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64}, {0xFFFFFFFF, 0},
};
// Microsoft FAT specification 1.03, DskTableFAT32.
constexpr DiskSizeRow kDskTableFAT32[] = {
    {66600, 0}, {532480, 1}, {16777216, 8}, {33554432, 16}, {67108864, 32}, {0xFFFFFFFF, 64},
};

template <size_t N>
uint16_t Lookup(const DiskSizeRow (&table)[N], uint64_t sectors) {
  for (const DiskSizeRow& row : table)
    if (sectors <= row.MaxSectors) return row.SectorsPerCluster;
  return table[N - 1].SectorsPerCluster;  // beyond the table's 32-bit range: its last row
}

}  // namespace

uint16_t DefaultSectorsPerCluster(uint8_t fatType, uint64_t totalSectors) {
  if (fatType == 2) return Lookup(kDskTableFAT16, totalSectors);
  if (fatType == 3) return Lookup(kDskTableFAT32, totalSectors);
  return 0;
}

TBootRecord BuildFATBootRecord(const TBootRecordParams& p) {
  TBootRecord b{};
  const uint32_t bps = p.BytesPerSector ? p.BytesPerSector : 512;
  const bool fat32 = p.FATType == 3;
  PutU16(&b[0x0B], uint16_t(bps));
  b[0x0D] = uint8_t(std::min<uint16_t>(p.SectorsPerCluster, 128));
  PutU16(&b[0x0E], 1);
  b[0x10] = p.FATCount;
  uint64_t rootSectors = 0;
  if (!fat32) {
    PutU16(&b[0x11], p.RootEntries);
    rootSectors = (uint64_t(p.RootEntries) * 32 + bps - 1) / bps;
    PutU16(&b[0x16], uint16_t(p.SectorsPerFAT));
  } else {
    PutU32(&b[0x24], p.SectorsPerFAT);
    PutU32(&b[0x2C], p.RootCluster);
  }
  const uint64_t total = 1 + uint64_t(p.SectorsPerFAT) * p.FATCount + rootSectors +
                         uint64_t(p.Clusters) * b[0x0D];
  if (total < 65536)
    PutU16(&b[0x13], uint16_t(total));
  else
    PutU32(&b[0x20], uint32_t(std::min<uint64_t>(total, 0xFFFFFFFF)));
  b[0x15] = p.Removable ? 0xF0 : 0xF8;
  return b;
}

}  // namespace salvex
