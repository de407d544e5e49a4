#include "common/BootSector.h"

#include "common/ByteReader.h"

namespace salvex {
namespace {
bool CommonBootTest(const ByteReader& r) {
  if (r.U8(510) != 0x55 || r.U8(511) != 0xAA || r.U8(0) != 0xEB) return false;
  switch (r.U16(11)) {
    case 512: case 1024: case 2048: case 4096: case 8192: return !r.Failed();
    default: return false;
  }
}
}  // namespace

bool IsNTFSBootSector(std::span<const uint8_t> sector) {
  ByteReader r(sector);
  return CommonBootTest(r) && r.Equals(3, "NTFS    ");
}

bool IsFATBootSector(std::span<const uint8_t> sector) { return CommonBootTest(ByteReader(sector)); }

bool IsExFATBootSector(std::span<const uint8_t> sector) {
  ByteReader r(sector);
  const uint8_t shift = r.U8(108);
  return r.U8(0) == 0xEB && r.U8(1) == 0x76 && r.U8(2) == 0x90 && r.Equals(3, "EXFAT   ") && r.U8(510) == 0x55 &&
         r.U8(511) == 0xAA && shift >= 9 && shift <= 12 && !r.Failed();
}

}  // namespace salvex
