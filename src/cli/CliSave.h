#pragma once
#include <string>
#include <vector>

#include "recovery/SaveEngine.h"

namespace salvex {
class TItem;
class TDevice;
}

namespace salvex::cli {

struct TCliContext;

// The save options every saving command shares.
struct TSaveArgs {
  std::string To;
  std::string Overwrite = "ask";  // ask (on a terminal; otherwise keep), all, none
  bool AllowExaminedDevice = false;
};

// Checks and creates the target folder (refusing one on the examined device unless allowed),
// saves the items, prints the summary and the failures, and returns the exit status.
int SaveAndReport(TCliContext& ctx, const TDevice* device, const std::vector<TItem*>& items, const TSaveArgs& args,
                  TSaveOptions options);

}  // namespace salvex::cli
