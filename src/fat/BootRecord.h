#pragma once
#include <array>
#include <cstdint>

namespace salvex {

// The 90 bytes of a FAT boot sector that a volume reads, written anew for a volume whose boot
// sector is gone. One reserved sector: the volume starts one sector before its first FAT.
struct TBootRecordParams {
  uint32_t Clusters = 0;
  uint8_t FATCount = 0;
  uint32_t SectorsPerFAT = 0;
  uint32_t RootCluster = 0;   // FAT32
  uint16_t RootEntries = 0;   // FAT12/16
  uint16_t SectorsPerCluster = 1;
  uint8_t FATType = 0;        // 1 FAT12, 2 FAT16, 3 FAT32
  bool Removable = false;     // media 0xF0 instead of 0xF8
  uint16_t BytesPerSector = 512;
};

using TBootRecord = std::array<uint8_t, 90>;

TBootRecord BuildFATBootRecord(const TBootRecordParams& p);

// Sectors per cluster that a formatter following Microsoft's published FAT specification picks for
// a volume of `totalSectors` 512-byte sectors (its tables DskTableFAT16 and DskTableFAT32); 0 where
// the table rejects the size. FAT12 and unknown types give 0.
uint16_t DefaultSectorsPerCluster(uint8_t fatType, uint64_t totalSectors);

}  // namespace salvex
