#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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
  // The part of AnalyseSector that depends on the window's bytes alone, done ahead on other
  // threads: PrescanBytes() bytes per sector, handed back with the sector to AnalysePrescanned,
  // which is then called in place of AnalyseSector, in order.
  virtual size_t PrescanBytes() const { return 0; }
  virtual void Prescan(uint64_t totalSectors, uint32_t bytesPerSector, const uint8_t* window, uint8_t* out) const {
    (void)totalSectors, (void)bytesPerSector, (void)window, (void)out;
  }
  virtual void AnalysePrescanned(TDevice& device, uint64_t sector, uint32_t& files, uint32_t& folders,
                                 uint32_t& drives, uint32_t bytesPerSector, const uint8_t* window,
                                 const uint8_t* prescan) {
    (void)prescan;
    AnalyseSector(device, sector, files, folders, drives, bytesPerSector, window);
  }
};

// Sectors [First, Last] of a device, both inclusive.
struct TSectorRange {
  uint64_t First = 0;
  uint64_t Last = 0;
  uint64_t Count() const { return Last - First + 1; }
};

// What a lost-drive search covered: the range asked for, the unreadable regions it skipped, and
// where it stopped when it did not reach the end.
struct TLostDriveSearch {
  TSectorRange Range;
  std::vector<TSectorRange> Skipped;
  bool Aborted = false;    // the operator chose Abort at an unreadable region
  bool Cancelled = false;
  uint64_t StoppedAt = 0;  // the first sector not searched when Aborted or Cancelled
  uint64_t SkippedSectors() const;
  bool Complete() const { return !Aborted && !Cancelled && Skipped.empty(); }
};

// The search reads this much at a time, ahead of the sectors it examines; progress and cancelling
// go by these chunks.
inline constexpr uint32_t kLostDriveChunkBytes = 2u << 20;

// Scans [first, last] of the device (clamped to it) sector by sector for the structures that
// announce a volume of each file system of the table (boot sectors, superblocks) and, through the
// file systems' analysers, for lost FAT structures. Volumes found go into `drives`.
// An unreadable region is measured (sector by sector, past the block cache) and the host is
// asked once for the whole region (Abort / Retry / Ignore); Ignore skips it and the search goes
// on to the end of its range.
TLostDriveSearch FindLostDrives(TDevice& device, uint64_t first, uint64_t last, TDriveList& drives,
                                TStatusDialog& status);

}  // namespace salvex
