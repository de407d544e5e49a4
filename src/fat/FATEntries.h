#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace salvex {

// FAT variants by cluster count (the on-disk type string is never trusted).
enum TFATType : uint8_t { FATUnknown = 0, FAT12 = 1, FAT16 = 2, FAT32 = 3 };

// Classes of a FAT entry value; bit values so that callers can test sets of them.
enum TFATEntryClass : uint8_t { EntryLink = 1, EntryFree = 2, EntryBad = 4, EntryEnd = 8 };

// The class of a FAT entry value. Value 1 counts as a link; an unknown type gives free for 0
// and link otherwise. Shared by the volume, the directories and the lost-data analyser.
uint8_t ClassifyFATEntry(uint8_t fatType, uint32_t value);

// End-of-chain marks (0xFF8.., 0xFFF8.., 0x0FFFFFF8..); a bad-cluster mark does not end a chain.
bool IsEndOfChainValue(uint8_t fatType, uint32_t value);

// The 8.3 name of a 32-byte directory record in UTF-8: blanks dropped, "." before a non-empty
// extension, bytes decoded with the OEM code page of the settings (ShortNameCodePage). A leading
// 0x05 stands for the OEM character 0xE5; a deleted record's marker byte 0xE5 becomes
// kDeletedMarker, which DisplayName shows as the configured deleted-entry text.
std::string ShortNameOf(std::span<const uint8_t> record);
// The name a record without a long name is shown and saved under: its 8.3 name with the letters
// of the base or the extension in lower case where the record's case bits say so (how Windows
// stores "notes.txt" or "IMG_0001.jpg" without a long name, and how it shows them).
std::string EntryNameOf(std::span<const uint8_t> record);

// One long name read from its run of records (stored last part first, 13 UTF-16 units each, at most
// 18 records). Directory reading and the lost-folder analyser both collect names through it.
class TLongName {
 public:
  // 255 characters, the longest name, take 20 records of 13.
  static constexpr size_t kMaxRecords = 20;
  // Starts over at `record` when it is the last-part record of a long name.
  bool Start(std::span<const uint8_t> record);
  // Whether `record` continues the started name (a long-name record with its checksum), room left.
  bool Continues(std::span<const uint8_t> record) const;
  // Takes the characters of a record that Continues accepted (the starting record included).
  void Take(std::span<const uint8_t> record);
  // The name up to its first NUL in UTF-8. An unpaired surrogate becomes U+FFFD and the name is
  // tagged "entry N" with the index of its short record in the folder (see TaggedName).
  std::string Name(uint32_t entryIndex) const;

 private:
  std::u16string chars_;  // the parts taken so far, first part first
  size_t taken_ = 0;
  uint8_t checksum_ = 0;
};

// Directory record layout.
namespace dirent {
constexpr size_t kSize = 32;
constexpr size_t kAttributes = 11;
constexpr size_t kCase = 12;
constexpr uint8_t kCaseLowerBase = 0x08;
constexpr uint8_t kCaseLowerExtension = 0x10;
constexpr size_t kClusterHigh = 20;
constexpr size_t kTime = 22;
constexpr size_t kDate = 24;
constexpr size_t kClusterLow = 26;
constexpr size_t kFileSize = 28;
constexpr uint8_t kDeleted = 0xE5;
constexpr uint8_t kKanjiE5 = 0x05;  // stands for a leading 0xE5 byte of a live name
constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrVolume = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;
}  // namespace dirent

}  // namespace salvex
