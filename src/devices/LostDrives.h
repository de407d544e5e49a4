#pragma once
#include <cstdint>

namespace salvex {

class TDevice;
class TDriveList;
class TStatusDialog;

// The FAT half of the lost-drive search: sees every sector with the one after it and may add
// volumes it rebuilds from FAT and directory structures.
class TLostDriveAnalyser {
 public:
  virtual ~TLostDriveAnalyser() = default;
  virtual void Start(TDevice& device, TDriveList& drives) = 0;
  // `window` holds sector `sector` and the one after it (zeros past the search range).
  virtual void AnalyseSector(TDevice& device, uint64_t sector, uint32_t& files, uint32_t& folders, uint32_t& drives,
                             uint32_t bytesPerSector, const uint8_t* window) = 0;
  virtual void Finish(TStatusDialog* status) = 0;
};

// Scans [first, last] of the device (clamped to it) sector by sector for the structures that
// announce a volume of each file system of the table (boot sectors, superblocks) and, through the
// file systems' analysers, for lost FAT structures. Volumes found go into `drives`.
void FindLostDrives(TDevice& device, uint64_t first, uint64_t last, TDriveList& drives, TStatusDialog& status);

}  // namespace salvex
