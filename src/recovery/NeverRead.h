#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "devices/DataStream.h"

namespace salvex {

class TCustomFile;
class TCustomDrive;
class TRescueMap;

// The bytes of a file that an imaging run never read from the disk, by the run's rescue map:
// the image holds zeros there, not the file's data.
struct TNeverRead {
  // False where the file system does not say where the file's bytes lie (data inside its record,
  // compressed data, a chain that cannot be followed to the file's size).
  bool Known = true;
  uint64_t Bytes = 0;  // of the file's bytes, on unread sectors
  struct TRange {
    uint64_t Pos = 0, Size = 0;  // bytes of the device
    uint64_t End() const { return Pos + Size; }
  };
  std::vector<TRange> Ranges;  // those bytes, in device order, merged
};

// Checks where the file's data lies (its byte runs, not its bytes) against `map`, which covers
// the file's device from its first byte.
TNeverRead NeverReadOf(TCustomFile& file, const TReadChoice& choice, const TRescueMap& map);

// "N bytes were never read from the disk (sectors A–B)", sectors of `sectorSize` bytes of the
// device; empty when nothing is missing.
std::string NeverReadReason(const TNeverRead& unread, uint32_t sectorSize);

}  // namespace salvex
