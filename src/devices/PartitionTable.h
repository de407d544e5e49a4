#pragma once
#include <cstdint>
#include <functional>

namespace salvex {

class TDevice;

enum class TPartitionKind { FAT, NTFS, Extended, Other };

TPartitionKind ClassifyPartitionType(uint8_t type);

// One entry of an MBR or extended boot record with its start made device-absolute.
struct TPartitionEntry {
  uint64_t TableSector = 0;  // the sector holding the entry
  int Slot = 0;              // 0..3
  uint8_t Type = 0;
  TPartitionKind Kind = TPartitionKind::Other;
  uint64_t FirstSector = 0;
  uint64_t SectorCount = 0;
  int Depth = 0;  // 0 = MBR, 1 = first extended table, ...
};

// Walks the MBR and the extended chains: in each table the FAT and NTFS entries in slot order,
// then each extended entry's table, depth first. Every entry is passed to `visit` (extended and
// unknown ones too, so listings can show them). A table sector already visited, a table that
// cannot be read, or more than 1024 tables end a branch.
void WalkPartitionTables(TDevice& device, const std::function<void(const TPartitionEntry&)>& visit);

}  // namespace salvex
