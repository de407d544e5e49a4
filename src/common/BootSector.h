#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace salvex {

// The sector sizes a boot sector may announce and a volume is mounted with: 512, 1024, 2048, 4096, 8192.
bool IsBootSectorSize(uint32_t bytesPerSector);

// 0xEB jump, 0x55 0xAA at 510, bytes per sector 512..8192 (powers of two), OEM name "NTFS    ".
bool IsNTFSBootSector(std::span<const uint8_t> sector);
// As above without the OEM name; callers apply it only when the NTFS test fails.
bool IsFATBootSector(std::span<const uint8_t> sector);
// 0xEB 0x76 0x90 jump, OEM name "EXFAT   ", 0x55 0xAA at 510, bytes-per-sector shift 9..12.
bool IsExFATBootSector(std::span<const uint8_t> sector);

// The sectors (of the boot sector's own size) the volume covers as its boot sector gives them: FAT's
// 16-bit total, else its 32-bit one; NTFS's total plus the backup boot sector that follows the
// counted sectors. 0 when the sector does not say.
uint64_t VolumeSectorsOf(std::span<const uint8_t> bootSector, bool ntfs);

}  // namespace salvex
