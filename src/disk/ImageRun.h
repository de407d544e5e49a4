#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/Imager.h"
#include "disk/RescueMap.h"

namespace salvex {

class TRawIO;

struct TImageRequest {
  std::string Source, Target, Map;
  // A window of the source (a volume inside a disk); Length 0 takes the source from Offset to its end.
  uint64_t Offset = 0, Length = 0;
  int Retries = 1;
  bool Reverse = false;
  uint32_t SectorSize = 512;
  std::string Creator = "salvex";  // named in the map's comment
  std::string CommandLine;         // the map's second comment line, when set
};

// One imaging run as both front ends start it: opens the source read-only (direct I/O for block
// devices), checks that the target is a file that is not the source, continues the map when one
// exists (a target without its map is refused: its bytes would be taken for rescued ones), sizes
// the target sparse, and runs TImager, saving the map atomically as it goes.
class TImageRun {
 public:
  explicit TImageRun(TRawIO& io);
  ~TImageRun();
  TImageRun(const TImageRun&) = delete;
  TImageRun& operator=(const TImageRun&) = delete;

  // False with Error set (UsageError when the request itself is wrong); the texts are the
  // string table's, in the chosen language.
  bool Prepare(const TImageRequest& request);
  // Runs the passes; called from any one thread after Prepare. False with Error set when the
  // target or the map could not be written; a cancelled run returns true with WasCancelled().
  bool Run();

  // Called from the thread that runs, about twice a second; the map may be read inside it.
  std::function<void(const TImagerProgress&)> OnProgress;
  std::function<bool()> Cancelled;

  const TRescueMap& Map() const { return map_; }
  TImagerProgress Progress() const;
  bool WasCancelled() const { return imager_ && imager_->WasCancelled; }
  bool Resumed() const { return resumed_; }
  std::string Error;
  bool UsageError = false;

 private:
  bool Fail(std::string why, bool usage = false);

  TRawIO& io_;
  TImageRequest request_;
  std::unique_ptr<TRawIO> window_;
  int source_ = -1, target_ = -1;
  TRescueMap map_;
  std::unique_ptr<TImager> imager_;
  bool resumed_ = false;
};

}  // namespace salvex
