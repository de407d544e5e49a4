#include "devices/GPT.h"

#include <cstdio>
#include <cstring>

#include "common/ByteReader.h"
#include "common/Debug.h"
#include "devices/Device.h"

namespace salvex {

std::string GuidText(const TGuid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

namespace {

struct KnownType {
  const char* Guid;
  const char* Name;
  bool MayHoldVolume;
};

constexpr KnownType kKnownTypes[] = {
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "basic data", true},
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system", true},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved", false},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery", false},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem", false},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap", false},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM", false},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID", false},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot", false},
};

const KnownType* FindType(const TGuid& type) {
  std::string text = GuidText(type);
  for (const auto& k : kKnownTypes)
    if (text == k.Guid) return &k;
  return nullptr;
}

// UTF-16LE up to the first NUL, to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(ByteReader r, size_t offset, size_t units) {
  std::string out;
  auto put = [&out](uint32_t c) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = r.U16(offset + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      uint32_t low = r.U16(offset + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        put(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    put(c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
  }
  return out;
}

TGuid ReadGuid(ByteReader r, size_t offset) {
  TGuid g{};
  for (size_t i = 0; i < g.size(); ++i) g[i] = r.U8(offset + i);
  return g;
}

}  // namespace

std::string GPTTypeName(const TGuid& type) {
  const KnownType* k = FindType(type);
  return k ? k->Name : "";
}

bool GPTTypeMayHoldVolume(const TGuid& type) {
  const KnownType* k = FindType(type);
  return k && k->MayHoldVolume;
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool ParseGPTHeader(std::span<const uint8_t> sector, uint64_t lba, uint64_t totalSectors, TGPTHeader& h,
                    std::string& why) {
  ByteReader r(sector);
  if (sector.size() < 92 || std::memcmp(sector.data(), "EFI PART", 8) != 0) {
    why = "no GPT signature";
    return false;
  }
  uint32_t headerSize = r.U32(12);
  if (headerSize < 92 || headerSize > sector.size()) {
    why = "implausible header size " + std::to_string(headerSize);
    return false;
  }
  std::vector<uint8_t> copy(sector.begin(), sector.begin() + headerSize);
  std::memset(copy.data() + 16, 0, 4);
  if (Crc32(copy) != r.U32(16)) {
    why = "header checksum mismatch";
    return false;
  }
  h.MyLBA = r.U64(24);
  h.AlternateLBA = r.U64(32);
  h.FirstUsableLBA = r.U64(40);
  h.LastUsableLBA = r.U64(48);
  h.DiskGuid = ReadGuid(r, 56);
  h.EntryLBA = r.U64(72);
  h.EntryCount = r.U32(80);
  h.EntrySize = r.U32(84);
  h.EntryArrayCrc = r.U32(88);
  if (h.MyLBA != lba) {
    why = "header names LBA " + std::to_string(h.MyLBA) + " as its own";
    return false;
  }
  if (h.EntrySize < 128 || h.EntrySize % 8 != 0 || uint64_t(h.EntryCount) * h.EntrySize > kMaxGPTEntryBytes) {
    why = "implausible entry array (" + std::to_string(h.EntryCount) + " entries of " + std::to_string(h.EntrySize) +
          " bytes)";
    return false;
  }
  uint64_t bytes = uint64_t(h.EntryCount) * h.EntrySize;
  uint64_t sectors = (bytes + sector.size() - 1) / sector.size();
  if (h.EntryLBA == 0 || h.EntryLBA >= totalSectors || sectors > totalSectors - h.EntryLBA) {
    why = "entry array outside the disk";
    return false;
  }
  return true;
}

std::vector<TGPTEntry> ParseGPTEntries(std::span<const uint8_t> array, const TGPTHeader& header) {
  std::vector<TGPTEntry> entries;
  ByteReader r(array);
  for (uint32_t i = 0; i < header.EntryCount; ++i) {
    size_t at = size_t(i) * header.EntrySize;
    if (!r.Has(at, 128)) break;
    TGPTEntry e;
    e.Index = i;
    e.TypeGuid = ReadGuid(r, at);
    if (e.TypeGuid == TGuid{}) continue;  // unused slot
    e.UniqueGuid = ReadGuid(r, at + 16);
    e.FirstLBA = r.U64(at + 32);
    e.LastLBA = r.U64(at + 40);
    e.Attributes = r.U64(at + 48);
    e.Name = Utf16ToUtf8(r, at + 56, 36);
    entries.push_back(std::move(e));
  }
  return entries;
}

namespace {

// One header and its entry array; false with `why` when either is damaged.
bool ReadGPTAt(TDevice& device, uint64_t lba, TGPTTable& table, std::string& why) {
  const uint32_t bps = device.BytesPerSector;
  std::vector<uint8_t> sector(bps);
  if (!device.ReadSectors(lba, 1, false, device.TotalSectors, sector.data())) {
    why = "header unreadable";
    return false;
  }
  if (!ParseGPTHeader(sector, lba, device.TotalSectors, table.Header, why)) return false;
  const TGPTHeader& h = table.Header;
  uint64_t bytes = uint64_t(h.EntryCount) * h.EntrySize;
  uint32_t sectors = static_cast<uint32_t>((bytes + bps - 1) / bps);
  std::vector<uint8_t> array(size_t(sectors) * bps);
  if (sectors && !device.ReadSectors(h.EntryLBA, sectors, false, device.TotalSectors, array.data())) {
    why = "entry array unreadable";
    return false;
  }
  if (Crc32(std::span<const uint8_t>(array.data(), size_t(bytes))) != h.EntryArrayCrc) {
    why = "entry array checksum mismatch";
    return false;
  }
  table.Entries = ParseGPTEntries(std::span<const uint8_t>(array.data(), size_t(bytes)), h);
  return true;
}

}  // namespace

bool ReadGPT(TDevice& device, TGPTTable& table) {
  table = TGPTTable{};
  if (device.TotalSectors < 3 || device.BytesPerSector < 512) return false;
  std::string why;
  if (ReadGPTAt(device, 1, table, why)) return true;
  table.PrimaryFault = why;
  DebugLog("primary GPT header: " + why + "; trying the backup at the disk's last sector", 0);
  uint64_t last = device.TotalSectors - 1;
  std::string backupWhy;
  if (ReadGPTAt(device, last, table, backupWhy)) {
    table.BackupUsed = true;
    return true;
  }
  DebugLog("backup GPT header: " + backupWhy, 0);
  table.Entries.clear();
  return false;
}

}  // namespace salvex
