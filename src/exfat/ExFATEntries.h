#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

namespace salvex {

// Directory entries are 32 bytes; bit 7 of the type is the in-use bit, so a deleted entry set keeps
// its types with that bit clear (0x05, 0x40, 0x41).
namespace exentry {
constexpr size_t kSize = 32;
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kBitmap = 0x81;
constexpr uint8_t kUpcase = 0x82;
constexpr uint8_t kLabel = 0x83;
constexpr uint8_t kFile = 0x85;
constexpr uint8_t kGuid = 0xA0;
constexpr uint8_t kStream = 0xC0;
constexpr uint8_t kName = 0xC1;
constexpr uint16_t kAttrReadOnly = 0x01;
constexpr uint16_t kAttrDirectory = 0x10;
constexpr uint8_t kFlagNoFatChain = 0x02;
constexpr size_t kNameCharsPerEntry = 15;
}  // namespace exentry

// A timestamp as stored: DOS date (high half) and time (low half), 10 ms increments, UTC offset.
struct TExFATTime {
  uint32_t Stamp = 0;
  uint8_t TenMs = 0;      // 0..199
  uint8_t UtcOffset = 0;  // bit 7: valid; bits 0..6: signed quarter hours
  uint16_t Date() const { return uint16_t(Stamp >> 16); }
  uint16_t Time() const { return uint16_t(Stamp & 0xFFFF); }
};
// The time as UTC: exact when the offset is valid, else the stored time taken as local time.
std::optional<timespec> ExFATTimeToTimespec(const TExFATTime& t);

// A file or folder as its entry set describes it.
struct TExFATEntrySet {
  bool Deleted = false;
  bool ChecksumOk = false;
  size_t Entries = 0;  // the file entry and its secondaries
  uint16_t Attributes = 0;
  TExFATTime Created, Modified, Accessed;
  uint8_t Flags = 0;  // the stream extension's general secondary flags
  uint64_t ValidDataLength = 0;
  uint64_t DataLength = 0;
  uint32_t FirstCluster = 0;
  std::string Name;  // UTF-8
  bool NameLossy = false;  // an unpaired surrogate became U+FFFD
  bool Directory() const { return Attributes & exentry::kAttrDirectory; }
  bool NoFatChain() const { return Flags & exentry::kFlagNoFatChain; }
};

// The set checksum over `set` (the file entry first), skipping the checksum field; `asInUse`
// counts every type byte with the in-use bit set, as it was when a deleted set was written.
uint16_t ExFATEntrySetChecksum(std::span<const uint8_t> set, bool asInUse);

// The entry set whose file entry starts at `offset` of a directory's bytes: a file entry, a
// stream extension and the file name entries the name length needs, all with the file entry's
// in-use state. Nothing when the bytes are not such a set (a bad checksum is reported, not refused).
std::optional<TExFATEntrySet> ParseExFATEntrySet(std::span<const uint8_t> dir, size_t offset);


// The volume's boot region: what the reader needs of it, validated.
struct TExFATBoot {
  uint64_t VolumeLength = 0;  // sectors
  uint32_t FatOffset = 0;
  uint32_t FatLength = 0;
  uint32_t ClusterHeapOffset = 0;
  uint32_t ClusterCount = 0;
  uint32_t RootCluster = 0;
  uint32_t SerialNumber = 0;
  uint16_t VolumeFlags = 0;
  uint8_t BytesPerSectorShift = 0;
  uint8_t SectorsPerClusterShift = 0;
  uint8_t NumberOfFats = 0;
};

// The boot checksum over the first 11 sectors of a boot region, skipping VolumeFlags and PercentInUse.
uint32_t ExFATBootChecksum(std::span<const uint8_t> elevenSectors);
// Reads the boot sector's fields and checks the geometry; on failure `why` says which rule failed.
bool ParseExFATBootSector(std::span<const uint8_t> sector, TExFATBoot& boot, std::string& why);
// The whole 12-sector boot region: the boot sector's rules and the checksum sector.
bool CheckExFATBootRegion(std::span<const uint8_t> region, TExFATBoot& boot, std::string& why);

}  // namespace salvex
