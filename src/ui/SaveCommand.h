#pragma once
#include <string>
#include <vector>

#include "recovery/SaveEngine.h"

class QWidget;

namespace salvex {
class TCustomDirectory;
class TCustomDrive;
class TStatusDialog;
}  // namespace salvex

namespace salvex::ui {

// What one save did, for its summary: the engine's report and each file's outcome.
struct TSaveRun {
  std::string Target;  // the chosen folder, ending in '/'
  TSaveReport Report;
  std::vector<TSavedFile> Files;  // every file the save reached, in order
  std::vector<std::string> Sources;  // each file's path on the volume, beside Files
  uint64_t Partial = 0;
  uint64_t Failed = 0;
};

// Saves `items` and records each file's outcome for the summary.
TSaveRun SaveAndRecord(const std::vector<TItem*>& items, TSaveOptions options, TSaveQuestions& questions,
                       TStatusDialog* status);

// The desktop's save of the rows selected in the listing of `shown`: the target folder dialog (files found by the
// deleted or lost-data search follow no FAT unless the user picks one), the warning about a target
// on the examined device, then the save engine with the program's questions. An unreadable file
// asks once whether to skip it, skip all such files, or cancel. False when the user cancelled
// before anything was saved.
bool RunSaveCommand(QWidget* window, TCustomDrive& drive, const TCustomDirectory* shown,
                    const std::vector<TItem*>& selected, TStatusDialog* status, TSaveRun& run);

}  // namespace salvex::ui
