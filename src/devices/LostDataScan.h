#pragma once
#include <cstdint>
#include <exception>

#include "devices/StatusDialog.h"

namespace salvex {

class TCustomDrive;

// Asks the host which clusters (or blocks) from `lowest` to `highest` the lost-data search covers.
// Typed values reach the answer unchecked: they are kept inside the volume and in order. False when
// the user cancelled.
bool AskLostRange(uint64_t lowest, uint64_t highest, uint64_t& first, uint64_t& last);

// The frame every lost-data search runs in: the Lost folder emptied, the main window disabled,
// the progress window set up for `clusters` steps, the drive's LastLostSearch started; on leaving,
// however the search ended, the report completed from the Lost folder, the device's read-ahead
// switched off, the window enabled again and the progress window hidden.
class TLostDataScan {
 public:
  TLostDataScan(TCustomDrive& drive, TStatusDialog* status, uint64_t clusters);
  ~TLostDataScan();
  TLostDataScan(const TLostDataScan&) = delete;
  TLostDataScan& operator=(const TLostDataScan&) = delete;

  TStatusDialog& Dialog() { return dialog_; }
  // The search stopped early: recorded in the report (and the log) for the caller to show.
  void Fail(const std::exception& e);
  // A signature found inside a file already listed.
  void NoteNestedHit();

 private:
  TCustomDrive& drive_;
  TStatusDialog silent_;
  TStatusDialog& dialog_;
};

}  // namespace salvex
