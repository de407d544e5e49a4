#pragma once
#include <cstdint>

namespace salvex {

enum TMediaKind : uint16_t { MediaUnknown = 0, MediaFloppy = 1, MediaRemovable = 2, MediaFixed = 3, MediaCDROM = 4 };

struct DiskGeometry {
  uint16_t MediaKind = MediaUnknown;
  uint16_t Removable = 0;
  uint32_t Heads = 0;
  uint64_t Cylinders = 0;
  uint32_t SectorsPerTrack = 0;
  uint32_t BytesPerSector = 0;
  // The exact size: an image's last partial cylinder stays reachable.
  uint64_t TotalSectors = 0;
};

}  // namespace salvex
