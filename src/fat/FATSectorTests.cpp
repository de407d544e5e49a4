#include "fat/FATSectorTests.h"

#include <algorithm>
#include <cstring>

#include "common/ByteReader.h"
#include "fat/FATEntries.h"

namespace salvex {

namespace {

constexpr uint8_t kAttrLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;

// Largest value that still links to a next cluster, by type (1 FAT12, 2 FAT16, 3 FAT32): the link
// class of ClassifyFATEntry, inlined because it runs on every entry of every sector searched.
constexpr uint32_t kLastLink[4] = {0, 0xFF0, 0xFFF0, 0x0FFFFFF0};

bool IsShortNameByte(uint8_t c, bool first) {
  if (c < 0x20) return first && c == 0x05;
  switch (c) {
    case '"': case '*': case '+': case ',': case '.': case '/': case ':': case ';':
    case '<': case '=': case '>': case '?': case '[': case '\\': case ']': case '|':
      return false;
    default:
      return true;
  }
}

bool ValidTime(uint16_t t) { return t == 0 || ((t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23); }

bool ValidDate(uint16_t d) {
  if (d == 0) return true;
  const unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
  return day >= 1 && month >= 1 && month <= 12;
}

// Links counted in one type's reading of the sector, with the largest link value.
struct LinkCount {
  uint32_t Links = 0;
  uint32_t Largest = 0;
  void Add(uint32_t value, uint8_t type) {
    if (value >= 1 && value <= kLastLink[type]) {
      ++Links;
      if (value > Largest) Largest = value;
    }
  }
};

// The links among the entries [from, count) of a FAT32 or FAT16 sector (all inside the sector):
// the test every sector of a search goes through, kept free of branches and bounds checks and run
// on eight entries at a time.
template <class TEntry>
inline __attribute__((always_inline)) LinkCount CountLinks(const uint8_t* sector, size_t from, size_t count,
                                                            uint32_t mask, uint32_t lastLink) {
  constexpr size_t kLanes = 8;
  uint32_t links[kLanes] = {}, largest[kLanes] = {};
  size_t n = from;
  for (; n + kLanes <= count; n += kLanes)
    for (size_t k = 0; k < kLanes; ++k) {
      TEntry raw;
      std::memcpy(&raw, sector + (n + k) * sizeof(TEntry), sizeof(TEntry));
      const uint32_t value = uint32_t(raw) & mask;
      const uint32_t link = value - 1 < lastLink;  // 1..lastLink
      links[k] += link;
      largest[k] = std::max(largest[k], value * link);
    }
  for (; n < count; ++n) {
    TEntry raw;
    std::memcpy(&raw, sector + n * sizeof(TEntry), sizeof(TEntry));
    const uint32_t value = uint32_t(raw) & mask;
    const uint32_t link = value - 1 < lastLink;
    links[0] += link;
    largest[0] = std::max(largest[0], value * link);
  }
  LinkCount c;
  for (size_t k = 0; k < kLanes; ++k) {
    c.Links += links[k];
    c.Largest = std::max(c.Largest, largest[k]);
  }
  return c;
}

// The baseline x86-64 build has 4 lanes of 32 bits and no unsigned maximum; AVX2, where the
// processor has it, doubles the lanes and has one, which nearly triples the rate of the test.
#if defined(__x86_64__) && defined(__GNUC__)
#define SALVEX_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SALVEX_WIDE_CLONES
#endif

SALVEX_WIDE_CLONES LinkCount CountLinks32(const uint8_t* sector, size_t from, size_t count) {
  return CountLinks<uint32_t>(sector, from, count, 0x0FFFFFFF, kLastLink[3]);
}

SALVEX_WIDE_CLONES LinkCount CountLinks16(const uint8_t* sector, size_t from, size_t count) {
  return CountLinks<uint16_t>(sector, from, count, 0xFFFF, kLastLink[2]);
}

// Zero or not, 128 bytes at a time: no early exit inside a block, so the block is one wide OR.
SALVEX_WIDE_CLONES bool AllZero(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  for (; size - i >= 128; i += 128) {
    uint64_t any = 0;
    for (size_t k = 0; k < 16; ++k) {
      uint64_t w;
      std::memcpy(&w, bytes + i + 8 * k, 8);
      any |= w;
    }
    if (any) return false;
  }
  for (; i < size; ++i)
    if (bytes[i]) return false;
  return true;
}

}  // namespace

bool IsFATMediaByte(uint8_t value) { return value == 0xF0 || value >= 0xF8; }

uint32_t RecordFirstCluster(std::span<const uint8_t> record) {
  ByteReader r(record);
  return (uint32_t(r.U16(20)) << 16) | r.U16(26);
}

bool IsLongNameRecord(std::span<const uint8_t> record) {
  ByteReader r(record);
  return r.U8(11) == kAttrLongName && r.U16(26) == 0 && !r.Failed();
}

bool IsPlausibleRecord(std::span<const uint8_t> record, uint64_t sizeLimit, uint64_t clusterLimit) {
  ByteReader r(record);
  if (!r.Has(0, kFATRecordSize)) return false;
  // The attribute first: it turns away three in four random records with one compare.
  const uint8_t attr = r.U8(11);
  if (attr >= 0x40) return false;
  for (size_t i = 0; i < 11; ++i)
    if (!IsShortNameByte(record[i], i == 0)) return false;
  const uint32_t cluster = RecordFirstCluster(record);
  const uint32_t size = r.U32(28);
  if (attr & kAttrLabel) {
    if (cluster != 0) return false;
  } else if (cluster == 0) {
    // An empty file owns no cluster; anything else must point into the data area.
    if ((attr & kAttrDirectory) || size != 0) return false;
  } else if (cluster < 2 || cluster - 2 >= clusterLimit) {
    return false;
  }
  if (size > sizeLimit) return false;
  return ValidTime(r.U16(14)) && ValidTime(r.U16(22)) && ValidDate(r.U16(16)) && ValidDate(r.U16(18)) &&
         ValidDate(r.U16(24));
}

bool IsDirectorySector(std::span<const uint8_t> sector, uint64_t sizeLimit, uint64_t clusterLimit) {
  const size_t records = sector.size() / kFATRecordSize;
  if (records < kDirectoryRunRecords || sector[0] == 0) return false;
  // A long name may have begun in the sector before, so a sector may open inside a run.
  bool inLongName = true;
  for (size_t i = 0; i < kDirectoryRunRecords; ++i) {
    auto rec = sector.subspan(i * kFATRecordSize, kFATRecordSize);
    if (IsLongNameRecord(rec) && (inLongName || (rec[0] & 0x40))) {
      inLongName = true;
      continue;
    }
    inLongName = false;
    if (!IsPlausibleRecord(rec, sizeLimit, clusterLimit)) return false;
  }
  return true;
}

bool IsDirectoryTail(std::span<const uint8_t> sector, uint64_t sizeLimit, uint64_t clusterLimit) {
  const size_t records = sector.size() / kFATRecordSize;
  bool inLongName = true;
  for (size_t i = 0; i < records; ++i) {
    auto rec = sector.subspan(i * kFATRecordSize, kFATRecordSize);
    if (rec[0] == 0) return i > 0 && IsZeroSector(sector.subspan(i * kFATRecordSize));
    if (IsLongNameRecord(rec) && (inLongName || (rec[0] & 0x40))) {
      inLongName = true;
      continue;
    }
    inLongName = false;
    if (!IsPlausibleRecord(rec, sizeLimit, clusterLimit)) return false;
  }
  return false;  // a full sector is a directory sector, not a tail
}

bool IsDotDirSector(std::span<const uint8_t> sector, uint32_t& cluster) {
  if (sector.size() < 2 * kFATRecordSize) return false;
  auto dot = sector.first(kFATRecordSize);
  auto dotdot = sector.subspan(kFATRecordSize, kFATRecordSize);
  if (!(dot[11] & kAttrDirectory) || !(dotdot[11] & kAttrDirectory)) return false;
  // Only a byte '.' reads as '.': the names are built for the few sectors that start so.
  if (dot[0] != '.' || dotdot[0] != '.' || dotdot[1] != '.') return false;
  if (ShortNameOf(dot) != "." || ShortNameOf(dotdot) != "..") return false;
  cluster = RecordFirstCluster(dot);
  return true;
}

bool HasOneVolumeLabel(std::span<const uint8_t> sector) {
  int labels = 0;
  for (size_t off = 0; sector.size() - off >= kFATRecordSize; off += kFATRecordSize) {
    auto rec = sector.subspan(off, kFATRecordSize);
    const uint8_t attr = rec[11];
    if ((attr & kAttrLabel) && attr != kAttrLongName && RecordFirstCluster(rec) == 0 && (rec[0] & 0x40))
      if (++labels > 1) return false;
  }
  return labels == 1;
}

bool IsFATSector(std::span<const uint8_t> window, uint32_t bytesPerSector, TFATSectorGuess& guess) {
  if (bytesPerSector < 4 || window.size() < bytesPerSector) return false;
  ByteReader r(window);
  const uint8_t media = window[0];
  const bool mediaOk = IsFATMediaByte(media);
  // A FAT start is told by its media entry alone; the links of a FAT16 start would otherwise
  // pass as a FAT32 sector in mid-FAT, and the start would be missed.
  uint8_t startType = 0;
  if (mediaOk) {
    if (r.U32(0) == (0x0FFFFF00u | media))
      startType = 3;
    else if (r.U16(0) == (0xFF00u | media))
      startType = 2;
    else if ((r.U16(0) & 0xFFF) == (0xF00u | media))
      startType = 1;
  }
  for (uint8_t type = 3; type >= 1; --type) {
    if (startType && type != startType) continue;
    const bool first = startType == type;
    LinkCount c;
    if (type == 3) {
      c = CountLinks32(window.data(), first ? 2 : 0, bytesPerSector / 4);
    } else if (type == 2) {
      c = CountLinks16(window.data(), first ? 2 : 0, bytesPerSector / 2);
    } else {
      // Three bytes per two entries; the last entries come from the window's second sector.
      for (size_t n = first ? 2 : 0, count = size_t(bytesPerSector) * 3 / 4; n < count; ++n) {
        const uint16_t w = r.U16(n + n / 2);
        c.Add((n & 1) ? w >> 4 : w & 0xFFF, 1);
      }
    }
    if (first || c.Links > 32) {
      guess = {c.Largest, type, first};
      return true;
    }
  }
  return false;
}

bool IsZeroSector(std::span<const uint8_t> sector) {
  // Random data fails on its first word; only zeros pay for the whole sector.
  if (sector.size() >= 8) {
    uint64_t w;
    std::memcpy(&w, sector.data(), 8);
    if (w) return false;
  }
  return AllZero(sector.data(), sector.size());
}

}  // namespace salvex
