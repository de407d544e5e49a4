#pragma once
#include <optional>
#include <string>

#include "recovery/SaveOutcome.h"
#include "recovery/SaveTarget.h"

namespace salvex {

class TStatusDialog;

// The folders and names of a save's target: folders opened or made when something goes into them,
// names given so that no two items of the save meet, and the overwrite policy for what was there.
class TTargetTree {
 public:
  TTargetTree(const TSaveOptions& options, TSaveQuestions& questions, TStatusDialog* status, TSaveOutcome& outcome)
      : questions_(questions), status_(status), outcome_(outcome), overwrite_(options.Overwrite) {}

  // Opens (or makes) the folder and those above it; false, said once, when it cannot be.
  bool Open(TFolderTarget& t);
  // The chosen target folder lets nothing be made in it: every file would fail alike, so the save
  // ends at the first (a read-only file system ends it wherever it is met, see TSaveOutcome::Record).
  void Refused(const TFolderTarget& dir, int error);
  // Gives a file a name in `folder` that no other item of this save has there. In a folder that
  // was there before, the name must also be free, or held by a file that was there and that the
  // policy lets the save replace (`replaces`); false when the policy keeps that file.
  bool ChooseName(TFolderFd& folder, const std::string& dirPath, const std::string& wanted, TSavedFile& out,
                  std::string& name, std::optional<TEntryKey>& replaces);
  // The rename found the file's name (or, for a file not whole, "<name>.partial") taken. By an
  // item of this save (a twin it met on a target that folds letter case, or in a folder it made)
  // or a folder: the file takes the next free name. By a file that was there before the save: the
  // policy decides.
  void Settle(TFinishJob& j);

  static constexpr int kMaxTries = 10000;  // numbered names tried for one item

 private:
  // Whether the policy or the user lets the save replace the file at `path`, which was in the
  // target before the save; a kept file is a skip.
  bool PolicyReplaces(TSavedFile& out, const std::string& path);

  TSaveQuestions& questions_;
  TStatusDialog* status_;
  TSaveOutcome& outcome_;
  TOverwritePolicy overwrite_;
  bool foldersAnswered_ = false;
};

}  // namespace salvex
