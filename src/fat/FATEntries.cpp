#include "fat/FATEntries.h"

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

std::string ShortNameOf(std::span<const uint8_t> record) {
  std::string base, ext;
  for (size_t i = 0; i < 11 && i < record.size(); ++i) {
    char c = static_cast<char>(record[i]);
    if (c == ' ') continue;
    (i < 8 ? base : ext) += c;
  }
  return ext.empty() ? base : base + "." + ext;
}

}  // namespace salvex
