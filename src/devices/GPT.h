#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace salvex {

class TDevice;

using TGuid = std::array<uint8_t, 16>;

// The GUID in its usual text form (the first three groups are stored little-endian).
std::string GuidText(const TGuid& guid);
// "basic data", "EFI system", ... for the common partition types; empty for others.
std::string GPTTypeName(const TGuid& type);
// Whether a partition of this type may hold a FAT or NTFS volume we open.
bool GPTTypeMayHoldVolume(const TGuid& type);

// CRC-32 (IEEE 802.3, reflected, as GPT and zlib use it).
uint32_t Crc32(std::span<const uint8_t> bytes);

// The validated fields of a GPT header.
struct TGPTHeader {
  uint64_t MyLBA = 0;
  uint64_t AlternateLBA = 0;
  uint64_t FirstUsableLBA = 0;
  uint64_t LastUsableLBA = 0;
  TGuid DiskGuid{};
  uint64_t EntryLBA = 0;
  uint32_t EntryCount = 0;
  uint32_t EntrySize = 0;
  uint32_t EntryArrayCrc = 0;
};

// Entry arrays larger than this are refused (128 entries of 128 bytes take 16 KiB).
constexpr uint64_t kMaxGPTEntryBytes = 128 * 1024;

// Checks signature, header size, header CRC, the header's own LBA and that the entry array lies
// within a disk of `totalSectors` sectors and is at most kMaxGPTEntryBytes. On failure `why` says
// which rule failed.
bool ParseGPTHeader(std::span<const uint8_t> sector, uint64_t lba, uint64_t totalSectors, TGPTHeader& header,
                    std::string& why);

struct TGPTEntry {
  uint32_t Index = 0;  // 0-based position in the array
  TGuid TypeGuid{};
  TGuid UniqueGuid{};
  uint64_t FirstLBA = 0;
  uint64_t LastLBA = 0;
  uint64_t Attributes = 0;
  std::string Name;  // UTF-8
};

// The used entries (type GUID not zero) of an entry array whose CRC already matched.
std::vector<TGPTEntry> ParseGPTEntries(std::span<const uint8_t> array, const TGPTHeader& header);

// A device's GPT: the primary header at LBA 1, or the backup at the disk's last LBA when the
// primary or its entry array is damaged.
struct TGPTTable {
  TGPTHeader Header;
  bool BackupUsed = false;
  std::string PrimaryFault;  // why the primary was not used
  std::vector<TGPTEntry> Entries;
};
bool ReadGPT(TDevice& device, TGPTTable& table);

}  // namespace salvex
