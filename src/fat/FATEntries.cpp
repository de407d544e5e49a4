#include "fat/FATEntries.h"

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Options.h"
#include "common/Unicode.h"
#include "fat/FATSectorTests.h"

namespace salvex {

namespace {
struct Bounds {
  uint32_t lastLink, lastBad;
};
bool BoundsOf(uint8_t fatType, Bounds& b) {
  switch (fatType) {
    case FAT12: b = {0xFF0, 0xFF7}; return true;
    case FAT16: b = {0xFFF0, 0xFFF7}; return true;
    case FAT32: b = {0x0FFFFFF0, 0x0FFFFFF7}; return true;
    default: return false;
  }
}
}  // namespace

uint8_t ClassifyFATEntry(uint8_t fatType, uint32_t value) {
  if (value == 0) return EntryFree;
  Bounds b;
  if (!BoundsOf(fatType, b)) return EntryLink;
  if (value <= b.lastLink) return EntryLink;
  if (value <= b.lastBad) return EntryBad;
  return EntryEnd;
}

bool IsEndOfChainValue(uint8_t fatType, uint32_t value) {
  Bounds b;
  return BoundsOf(fatType, b) && value > b.lastBad;
}

namespace {
std::string ShortName(std::span<const uint8_t> record, bool lowerBase, bool lowerExtension) {
  std::string base, ext;
  bool deleted = false;
  for (size_t i = 0; i < 11 && i < record.size(); ++i) {
    char c = static_cast<char>(record[i]);
    if (i == 0 && record[i] == dirent::kDeleted) deleted = true;
    if (i == 0 && record[i] == dirent::kKanjiE5) c = char(dirent::kDeleted);
    if (c == ' ') continue;
    if (c >= 'A' && c <= 'Z' && (i < 8 ? lowerBase : lowerExtension)) c = char(c - 'A' + 'a');
    (i < 8 ? base : ext) += c;
  }
  const std::string& codePage = Options().ShortNameCodePage;
  std::string name = OemToUtf8(deleted ? std::string_view(base).substr(1) : std::string_view(base), codePage);
  if (deleted) name = std::string(kDeletedMarker) + name;
  return ext.empty() ? name : name + "." + OemToUtf8(ext, codePage);
}
}  // namespace

std::string ShortNameOf(std::span<const uint8_t> record) { return ShortName(record, false, false); }

std::string EntryNameOf(std::span<const uint8_t> record) {
  const uint8_t bits = record.size() > dirent::kCase ? record[dirent::kCase] : 0;
  return ShortName(record, bits & dirent::kCaseLowerBase, bits & dirent::kCaseLowerExtension);
}

// Offsets of the 13 UTF-16 units of a long-name record.
constexpr size_t kLongNameUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool TLongName::Start(std::span<const uint8_t> record) {
  chars_.clear();
  taken_ = 0;
  if (!IsLongNameRecord(record) || !(record[0] & 0x40)) return false;
  checksum_ = record[13];
  return true;
}

bool TLongName::Continues(std::span<const uint8_t> record) const {
  return taken_ < kMaxRecords && IsLongNameRecord(record) && record[13] == checksum_;
}

void TLongName::Take(std::span<const uint8_t> record) {
  ByteReader r(record);
  std::u16string part(13, u'\0');
  for (size_t k = 0; k < 13; ++k) part[k] = static_cast<char16_t>(r.U16(kLongNameUnits[k]));
  chars_.insert(0, part);
  ++taken_;
}

std::string TLongName::Name(uint32_t entryIndex) const {
  std::u16string_view text(chars_);
  text = text.substr(0, text.find(u'\0'));
  bool lossy = false;
  std::string name = Utf16ToUtf8(text, &lossy);
  return lossy ? TaggedName(name, "entry " + std::to_string(entryIndex)) : name;
}

}  // namespace salvex
