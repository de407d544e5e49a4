#include "common/BootSector.h"

#include "common/ByteReader.h"

namespace salvex {

bool IsBootSectorSize(uint32_t bps) { return bps >= 512 && bps <= 8192 && (bps & (bps - 1)) == 0; }

namespace {
bool CommonBootTest(const ByteReader& r) {
  if (r.U8(510) != 0x55 || r.U8(511) != 0xAA || r.U8(0) != 0xEB) return false;
  return IsBootSectorSize(r.U16(11)) && !r.Failed();
}
}  // namespace

bool IsNTFSBootSector(std::span<const uint8_t> sector) {
  ByteReader r(sector);
  return CommonBootTest(r) && r.Equals(3, "NTFS    ");
}

bool IsFATBootSector(std::span<const uint8_t> sector) { return CommonBootTest(ByteReader(sector)); }

uint64_t VolumeSectorsOf(std::span<const uint8_t> bootSector, bool ntfs) {
  ByteReader r(bootSector);
  if (ntfs) {
    const uint64_t total = r.U64(0x28);
    return r.Failed() || total == 0 || total == UINT64_MAX ? 0 : total + 1;
  }
  const uint32_t total16 = r.U16(0x13);
  const uint32_t total = total16 ? total16 : r.U32(0x20);
  return r.Failed() ? 0 : total;
}

bool IsExFATBootSector(std::span<const uint8_t> sector) {
  ByteReader r(sector);
  const uint8_t shift = r.U8(108);
  return r.U8(0) == 0xEB && r.U8(1) == 0x76 && r.U8(2) == 0x90 && r.Equals(3, "EXFAT   ") && r.U8(510) == 0x55 &&
         r.U8(511) == 0xAA && shift >= 9 && shift <= 12 && !r.Failed();
}

}  // namespace salvex
