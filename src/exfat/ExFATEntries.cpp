#include "exfat/ExFATEntries.h"

#include "common/ByteReader.h"
#include "common/Unicode.h"

namespace salvex {

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

TExFATTime TimeAt(const ByteReader& r, size_t stamp, size_t tenMs, size_t utc) {
  TExFATTime t;
  t.Stamp = r.U32(stamp);
  t.TenMs = tenMs ? r.U8(tenMs) : 0;
  t.UtcOffset = r.U8(utc);
  return t;
}

}  // namespace

std::optional<timespec> ExFATTimeToTimespec(const TExFATTime& t) {
  const unsigned date = t.Date(), time = t.Time();
  if (date == 0 && time == 0) return std::nullopt;
  const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, second = (time & 0x1F) * 2;
  if (month < 1 || month > 12 || day == 0 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const unsigned tenMs = t.TenMs <= 199 ? t.TenMs : 0;
  timespec ts{};
  if (t.UtcOffset & 0x80) {
    // Seven-bit two's complement in quarter hours; UTC is the local time minus the offset.
    int offset = t.UtcOffset & 0x7F;
    if (offset & 0x40) offset -= 0x80;
    const int64_t days = DaysFromCivil(1980 + (date >> 9), month, day);
    const int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second - int64_t(offset) * 15 * 60;
    ts.tv_sec = static_cast<time_t>(secs + tenMs / 100);
  } else {
    std::tm tm{};
    tm.tm_year = 80 + (date >> 9);
    tm.tm_mon = int(month) - 1;
    tm.tm_mday = int(day);
    tm.tm_hour = int(hour);
    tm.tm_min = int(minute);
    tm.tm_sec = int(second);
    tm.tm_isdst = -1;
    const time_t local = std::mktime(&tm);
    if (local == time_t(-1)) return std::nullopt;
    ts.tv_sec = local + tenMs / 100;
  }
  ts.tv_nsec = long(tenMs % 100) * 10'000'000L;
  return ts;
}

uint16_t ExFATEntrySetChecksum(std::span<const uint8_t> set, bool asInUse) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = set[i];
    if (asInUse && i % exentry::kSize == 0) b |= exentry::kInUse;
    sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

std::optional<TExFATEntrySet> ParseExFATEntrySet(std::span<const uint8_t> dir, size_t offset) {
  ByteReader d(dir);
  const uint8_t type = d.U8(offset);
  if ((type & 0x7F) != (exentry::kFile & 0x7F) || d.Failed()) return std::nullopt;
  const bool inUse = type & exentry::kInUse;
  const uint8_t secondaries = d.U8(offset + 1);
  // A stream extension and at least one name entry; at most 17 name entries and a few vendor ones.
  if (secondaries < 2 || secondaries > 18) return std::nullopt;
  const size_t entries = size_t(secondaries) + 1;
  if (!d.Has(offset, entries * exentry::kSize)) return std::nullopt;
  ByteReader set(d.Sub(offset, entries * exentry::kSize));
  const uint8_t inUseBit = inUse ? exentry::kInUse : 0;
  ByteReader stream(set.Sub(exentry::kSize, exentry::kSize));
  if (stream.U8(0) != ((exentry::kStream & 0x7F) | inUseBit)) return std::nullopt;
  const uint8_t nameLength = stream.U8(3);
  const size_t nameEntries = (nameLength + exentry::kNameCharsPerEntry - 1) / exentry::kNameCharsPerEntry;
  if (nameLength == 0 || nameEntries > size_t(secondaries) - 1) return std::nullopt;
  std::string utf16;
  for (size_t k = 0; k < nameEntries; ++k) {
    ByteReader name(set.Sub((2 + k) * exentry::kSize, exentry::kSize));
    if (name.U8(0) != ((exentry::kName & 0x7F) | inUseBit)) return std::nullopt;
    utf16 += name.Str(2, 30);
  }
  utf16.resize(size_t(nameLength) * 2);

  TExFATEntrySet s;
  s.Deleted = !inUse;
  s.Entries = entries;
  s.ChecksumOk = ExFATEntrySetChecksum(set.Bytes(), !inUse) == set.U16(2);
  s.Attributes = set.U16(4);
  s.Created = TimeAt(set, 8, 20, 22);
  s.Modified = TimeAt(set, 12, 21, 23);
  s.Accessed = TimeAt(set, 16, 0, 24);
  s.Flags = stream.U8(1);
  s.ValidDataLength = stream.U64(8);
  s.FirstCluster = stream.U32(20);
  s.DataLength = stream.U64(24);
  s.Name = Utf16LeToUtf8({reinterpret_cast<const uint8_t*>(utf16.data()), utf16.size()}, &s.NameLossy);
  if (set.Failed() || stream.Failed()) return std::nullopt;
  return s;
}

uint32_t ExFATBootChecksum(std::span<const uint8_t> elevenSectors) {
  uint32_t sum = 0;
  for (size_t i = 0; i < elevenSectors.size(); ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + elevenSectors[i];
  }
  return sum;
}

bool ParseExFATBootSector(std::span<const uint8_t> sector, TExFATBoot& boot, std::string& why) {
  ByteReader r(sector);
  auto fail = [&why](std::string text) {
    why = std::move(text);
    return false;
  };
  if (!r.Equals(3, "EXFAT   ")) return fail("the file system name is not \"EXFAT\"");
  if (r.U8(510) != 0x55 || r.U8(511) != 0xAA) return fail("the boot signature 55 AA is missing");
  TExFATBoot b;
  b.VolumeLength = r.U64(72);
  b.FatOffset = r.U32(80);
  b.FatLength = r.U32(84);
  b.ClusterHeapOffset = r.U32(88);
  b.ClusterCount = r.U32(92);
  b.RootCluster = r.U32(96);
  b.SerialNumber = r.U32(100);
  b.VolumeFlags = r.U16(106);
  b.BytesPerSectorShift = r.U8(108);
  b.SectorsPerClusterShift = r.U8(109);
  b.NumberOfFats = r.U8(110);
  if (r.Failed()) return fail("the boot sector is shorter than 512 bytes");
  if (b.BytesPerSectorShift < 9 || b.BytesPerSectorShift > 12)
    return fail("bytes per sector (2^" + std::to_string(b.BytesPerSectorShift) + ") is not 512 to 4096");
  if (b.SectorsPerClusterShift > 25 - b.BytesPerSectorShift)
    return fail("the cluster size (2^" + std::to_string(b.BytesPerSectorShift + b.SectorsPerClusterShift) +
                " bytes) is larger than 32 MiB");
  if (b.NumberOfFats != 1 && b.NumberOfFats != 2)
    return fail("number of FATs (" + std::to_string(b.NumberOfFats) + ") is not 1 or 2");
  if (b.FatOffset < 24) return fail("the FAT (sector " + std::to_string(b.FatOffset) + ") overlaps the boot regions");
  if (b.ClusterCount == 0 || b.ClusterCount > 0xFFFFFFF5u)
    return fail("cluster count (" + std::to_string(b.ClusterCount) + ") is impossible");
  const uint64_t bps = uint64_t(1) << b.BytesPerSectorShift;
  if (uint64_t(b.FatLength) * bps < (uint64_t(b.ClusterCount) + 2) * 4)
    return fail("the FAT (" + std::to_string(b.FatLength) + " sectors) is too short for " +
                std::to_string(b.ClusterCount) + " clusters");
  if (uint64_t(b.FatOffset) + uint64_t(b.FatLength) * b.NumberOfFats > b.ClusterHeapOffset)
    return fail("the cluster heap (sector " + std::to_string(b.ClusterHeapOffset) + ") overlaps the FATs");
  const uint64_t heapEnd = uint64_t(b.ClusterHeapOffset) + (uint64_t(b.ClusterCount) << b.SectorsPerClusterShift);
  if (heapEnd > b.VolumeLength)
    return fail("the cluster heap ends at sector " + std::to_string(heapEnd) + ", past the volume's " +
                std::to_string(b.VolumeLength) + " sectors");
  if (b.RootCluster < 2 || uint64_t(b.RootCluster) > uint64_t(b.ClusterCount) + 1)
    return fail("the root directory cluster (" + std::to_string(b.RootCluster) + ") is outside the cluster heap");
  boot = b;
  return true;
}

bool CheckExFATBootRegion(std::span<const uint8_t> region, TExFATBoot& boot, std::string& why) {
  if (!ParseExFATBootSector(region.first(std::min<size_t>(region.size(), 512)), boot, why)) return false;
  const size_t bps = size_t(1) << boot.BytesPerSectorShift;
  if (region.size() < 12 * bps) {
    why = "the boot region is shorter than 12 sectors";
    return false;
  }
  const uint32_t sum = ExFATBootChecksum(region.first(11 * bps));
  ByteReader checksums(region.subspan(11 * bps, bps));
  for (size_t i = 0; i < bps; i += 4)
    if (checksums.U32(i) != sum) {
      why = "the boot checksum does not match the boot region";
      return false;
    }
  return true;
}

}  // namespace salvex
