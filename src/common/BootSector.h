#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace salvex {

// 0xEB jump, 0x55 0xAA at 510, bytes per sector 512..8192 (powers of two), OEM name "NTFS    ".
bool IsNTFSBootSector(std::span<const uint8_t> sector);
// As above without the OEM name; callers apply it only when the NTFS test fails.
bool IsFATBootSector(std::span<const uint8_t> sector);
// 0xEB 0x76 0x90 jump, OEM name "EXFAT   ", 0x55 0xAA at 510, bytes-per-sector shift 9..12.
bool IsExFATBootSector(std::span<const uint8_t> sector);

}  // namespace salvex
