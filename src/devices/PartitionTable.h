#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "devices/GPT.h"

namespace salvex {

class TDevice;

enum class TPartitionKind { FAT, NTFS, Extended, Other };
enum class TPartitionScheme { None, MBR, GPT };

TPartitionKind ClassifyPartitionType(uint8_t type);

// One entry of an MBR, an extended boot record or a GPT, with its start made device-absolute.
struct TPartitionEntry {
  TPartitionScheme Scheme = TPartitionScheme::MBR;
  uint64_t TableSector = 0;  // the sector holding the entry
  int Slot = 0;              // 0..3
  uint8_t Type = 0;
  TPartitionKind Kind = TPartitionKind::Other;
  uint64_t FirstSector = 0;
  uint64_t SectorCount = 0;
  int Depth = 0;  // 0 = MBR, 1 = first extended table, ...
  // GPT entries only (Slot is the index in the entry array, TableSector the array's LBA).
  TGuid TypeGuid{};
  TGuid UniqueGuid{};
  std::string Name;
  // A disk image cut short keeps the start of its last volumes, often all of their files: an
  // entry that runs past the device's end is kept, and its volume is read up to the end. One that
  // starts beyond the end is listed only.
  bool RunsPastEnd = false;
  bool StartsPastEnd = false;
};

// The warning a listing shows for an entry that does not fit the device; empty when it does.
std::string PastEndWarning(const TPartitionEntry& entry, uint64_t deviceSectors);

// What the walk found at the top: the scheme, and for GPT which header was used.
struct TPartitionWalk {
  TPartitionScheme Scheme = TPartitionScheme::None;
  uint64_t GPTHeaderSector = 0;
  bool GPTBackupUsed = false;
  std::string GPTPrimaryFault;  // why the primary header was passed over
};

// Walks the MBR and the extended chains: in each table the FAT and NTFS entries in slot order,
// then each extended entry's table, depth first. Every entry is passed to `visit` (extended and
// unknown ones too, so listings can show them). A table sector already visited, a table that
// cannot be read, or more than 1024 tables end a branch. Tables without 55 AA are not used;
// entries that run past the end of the disk are visited marked as such.
// An MBR with a GPT-protective entry (type 0xEE, hybrid MBRs too) leads to the GPT instead when
// a valid GPT header is found; its entries are visited in array order, and those of basic-data or
// EFI system type whose first sector passes the NTFS or FAT boot-sector test get that kind.
TPartitionWalk WalkPartitionTables(TDevice& device, const std::function<void(const TPartitionEntry&)>& visit);

}  // namespace salvex
