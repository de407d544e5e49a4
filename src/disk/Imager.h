#pragma once
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/AlignedBuffer.h"
#include "disk/RescueMap.h"

namespace salvex {

class TRawIO;

struct TImagerOptions {
  uint32_t SectorSize = 512;
  uint32_t ClusterSectors = 128;  // sectors per read of the copying passes near failures (64 KiB)
  // Sectors per read of the copying passes where reads succeed (1 MiB): fewer, larger reads are
  // what keeps a good disk at its sequential speed. A large read that fails is read again in
  // clusters, and clusters are read until 2 large reads' worth succeeded in a row.
  uint32_t LargeReadSectors = 2048;
  int Retries = 1;                // passes over the bad sectors after scraping
  bool Reverse = false;           // the first copying pass runs from the end backwards
  double MapIntervalSeconds = 5;  // how often the map is saved while the run goes on
};

// Where a run stands, for progress lines and the summary.
struct TImagerProgress {
  uint64_t Size = 0;
  uint64_t Rescued = 0, NonTried = 0, NonTrimmed = 0, NonScraped = 0, BadSector = 0;
  uint64_t Reads = 0, ReadErrors = 0;
  uint64_t BadAreas = 0;          // blocks of the map that are not finished nor non-tried
  char Phase = RescueNonTried;    // ? copying, * trimming, / scraping, - retrying, + finished
  int Pass = 1;
  uint64_t Position = 0;
  double Seconds = 0;             // since the run started
  double SecondsSinceGoodRead = 0;
  uint64_t RescuedThisRun = 0;
};

// Copies a source into a target file in the passes of GNU ddrescue, keeping a TRescueMap of what
// was read: a copying pass in large reads that skips ahead on errors (further on each error in a
// row), a second one backwards and a third without skipping; then the edges of each failed area
// are trimmed sector by sector, what is left is scraped sector by sector, and the bad sectors are
// retried. A map that already says something is continued: finished bytes are never read again.
// The source is only read (through TRawIO, which opens read-only); the target is written at the
// same offsets and never truncated.
class TImager {
 public:
  TImager(TRawIO& io, int source, int target, TRescueMap& map, TImagerOptions options);

  // Called about twice a second and at the end of each pass.
  std::function<void(const TImagerProgress&)> OnProgress;
  // Polled between reads; true ends the run after the map is saved.
  std::function<bool()> Cancelled;
  // Saves the map; called every MapIntervalSeconds, at each phase's end and at the end. A false
  // return ends the run (the map is the run's memory: going on without it would be lost work).
  std::function<bool(const TRescueMap&, std::string& why)> SaveMap;

  // False with Error set when the target or the map could not be written; a cancelled run
  // returns true with WasCancelled.
  bool Run();
  std::string Error;
  bool WasCancelled = false;
  TImagerProgress Progress() const;

 private:
  enum class ReadOutcome { Good, Bad, Stop };
  // `next`/`nextSize`: the read that follows when this one succeeds (0: none known); it is started
  // on another thread before this one's bytes are written, so that the source is never idle.
  ReadOutcome ReadRange(uint64_t pos, uint64_t size, uint64_t& good, uint64_t next = 0, uint64_t nextSize = 0);
  ssize_t Fetch(uint64_t pos, uint64_t size);
  bool CopyPass(bool reverse, bool skipping);
  bool Trim();
  bool Scrape(char status);
  bool Checkpoint(bool force);
  void Report(bool force);
  bool Stopped();

  TRawIO& io_;
  int source_, target_;
  TRescueMap& map_;
  TImagerOptions options_;
  // Page-aligned, so that a source opened for direct I/O can read into them: the one being
  // written and the one the next read goes to.
  std::unique_ptr<AlignedBuffer> buffer_, spare_;
  struct TAhead {
    uint64_t Pos = 0, Size = 0;
    std::future<std::pair<ssize_t, int>> Got;  // bytes read (-1: failed) and errno
  } ahead_;  // after the buffers: it is waited for before they go
  uint64_t reads_ = 0, readErrors_ = 0, rescuedThisRun_ = 0;
  double start_ = 0, lastGood_ = 0, lastSave_ = 0, lastReport_ = 0;
  bool failed_ = false, mapFailed_ = false;
};

}  // namespace salvex
