#pragma once
#include <QString>

#include "disk/ImageRun.h"

class QWidget;

namespace salvex {
class TStatusDialog;
}

namespace salvex::ui {

class TStatusWindow;

struct TImagingOutcome {
  bool Ok = false;         // the run ended without a failure (finished or cancelled)
  bool Cancelled = false;
  QString Error;
  TImagerProgress Progress;
  TRescueMap Map;
};

// Runs the imaging `request` on a worker thread, so that a read the disk takes minutes over
// leaves the program answering; the progress window shows the counts and the map as it grows, and
// its Cancel ends the run after the map is saved (a second run with the same map goes on).
TImagingOutcome RunImaging(const TImageRequest& request, TStatusDialog& status, TStatusWindow* window);

// What the run did, for the message that ends it.
QString ImagingSummary(const TImageRequest& request, const TImagingOutcome& outcome);

}  // namespace salvex::ui
