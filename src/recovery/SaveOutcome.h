#pragma once
#include <functional>
#include <string>

#include "recovery/FileFinisher.h"
#include "recovery/SaveEngine.h"

namespace salvex {

class TStatusDialog;

// The report of a save: each failure told to the questions as it comes, and what each finished
// file's outcome adds to the report.
class TSaveOutcome {
 public:
  TSaveOutcome(const TSaveOptions& options, TSaveQuestions& questions, TStatusDialog* status)
      : options_(options), questions_(questions), status_(status) {}

  TSaveReport Report;
  TSavedFile* Current = nullptr;  // the file whose failures are being recorded
  // Reports the files still being finished, so that what is told comes in the order of the files.
  std::function<void()> CatchUp;

  // A failure of the walk or of the file being saved: told after those of earlier files.
  void Fail(const std::string& path, TError error) {
    if (CatchUp) CatchUp();
    Record(path, std::move(error));
  }
  void Record(const std::string& path, TError error);
  // The policy kept the file that has the name, but this one could not have been saved whole: it
  // counts as failed, not as skipped (the caller records why).
  void KeptNotWhole(TSavedFile& out) {
    --Report.Skipped;
    ++Report.KeptNotWhole;
    out.Outcome = TSavedFile::TOutcome::Failed;
  }
  // Tells OnFile of a file whose outcome is known.
  void Tell(TSavedFile& out);
  // Adds a finished file (its name settled) to the report; false when there is nothing to tell of it.
  bool Conclude(TFinishJob& j);

 private:
  const TSaveOptions& options_;
  TSaveQuestions& questions_;
  TStatusDialog* status_;
};

// A failure of `kind` on `what` for `why`.
TError SaveError(TErrorKind kind, std::string what, std::string why);

}  // namespace salvex
