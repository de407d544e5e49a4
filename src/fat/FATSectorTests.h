#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace salvex {

// Recognition of FAT structures in sectors of unknown origin. Every test reads only the buffer it
// is given (through the bounds-checked reader), so any bytes are safe input.

constexpr size_t kFATRecordSize = 32;
// Records that must pass in a row before a sector counts as a directory.
constexpr size_t kDirectoryRunRecords = 16;

bool IsFATMediaByte(uint8_t value);
// First cluster of a 32-byte record: high word at 20, low word at 26.
uint32_t RecordFirstCluster(std::span<const uint8_t> record);
// A long-name record: attribute 0x0F and a zero word at 26.
bool IsLongNameRecord(std::span<const uint8_t> record);

// One short record that could belong to a real directory: allowed name bytes, a first cluster in
// 2 .. clusterLimit + 1 (0 for labels and empty files), attribute below 0x40, size within the
// limit, and time and date fields that are zero or valid.
bool IsPlausibleRecord(std::span<const uint8_t> record, uint64_t sizeLimit, uint64_t clusterLimit);
// The first 16 records of the sector pass in a row; long-name runs pass untested, also one that
// continues from the sector before.
bool IsDirectorySector(std::span<const uint8_t> sector, uint64_t sizeLimit, uint64_t clusterLimit);
// The last sector of a folder that goes on from a full sector before it: plausible records in a
// row up to the end mark, at least one of them, and only zeros after the mark.
bool IsDirectoryTail(std::span<const uint8_t> sector, uint64_t sizeLimit, uint64_t clusterLimit);
// The sector starts a subdirectory: "." then ".." directory records. `cluster` is the "." record's.
bool IsDotDirSector(std::span<const uint8_t> sector, uint32_t& cluster);
// Exactly one volume-label record (attribute bit 0x08, not a long name, cluster 0, name starting
// with a byte that has bit 0x40 set): the mark of a root directory.
bool HasOneVolumeLabel(std::span<const uint8_t> sector);

struct TFATSectorGuess {
  uint32_t Largest = 0;  // largest link value among the entries examined
  uint8_t Type = 0;      // 1 FAT12, 2 FAT16, 3 FAT32
  bool IsFirst = false;  // the sector starts a FAT (media byte in entry 0)
};
// Whether the sector at the start of `window` looks like FAT: a FAT start (media byte in entry 0,
// FAT32 then FAT16 then FAT12 mark) of its type, else the first of FAT32, FAT16, FAT12 that reads
// more than 32 links. FAT12 entries run on into the window's second sector.
bool IsFATSector(std::span<const uint8_t> window, uint32_t bytesPerSector, TFATSectorGuess& guess);

// True when every byte is zero (the common case on a disk; no structure can match it).
bool IsZeroSector(std::span<const uint8_t> sector);

}  // namespace salvex
