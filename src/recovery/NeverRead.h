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
  bool Known = true;              // false: the file system could not say where the file lies
  uint64_t Bytes = 0;             // of the file's bytes, on unread sectors
  std::vector<TByteRun> Ranges;   // those bytes on the device, in device order, merged
};

// Checks where the file's data lies (its allocation, not its bytes) against `map`, which covers
// the file's device from its first byte.
TNeverRead NeverReadOf(TCustomFile& file, const TReadChoice& choice, const TRescueMap& map);

// "N bytes were never read from the disk (sectors A–B)", sectors of `sectorSize` bytes of the
// device; empty when nothing is missing.
std::string NeverReadReason(const TNeverRead& unread, uint32_t sectorSize);

}  // namespace salvex
