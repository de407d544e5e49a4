#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Host.h"
#include "devices/DataStream.h"
#include "recovery/Error.h"
#include "recovery/SaveNames.h"

namespace salvex {

class TItem;
class TCustomFile;
class TStatusDialog;

// The name an item is shown and saved under (UTF-8).
std::string ShownName(const TItem& item);

enum class TOverwritePolicy { Ask, All, None };

// What became of one file of a save, for a per-file report.
struct TSavedFile {
  enum class TOutcome { Saved, Skipped, Partial, Failed };
  const TCustomFile* File = nullptr;
  std::string Path;       // the target path the file was meant for
  // Why Path's name is not the file's own (empty when it is): another item of the save has it,
  // it is too long for the target, or it has a ':' the target does not take.
  std::string Renamed;
  std::string SavedPath;  // where its bytes are: Path, "<Path>.partial", or empty when nowhere
  TOutcome Outcome = TOutcome::Failed;
  uint64_t Bytes = 0;        // written
  std::vector<TError> Errors;  // why it is not saved whole (a zero-filled sector makes it Partial)
};

struct TSaveOptions {
  std::string Target;  // an existing folder; nothing is ever created outside it
  TOverwritePolicy Overwrite = TOverwritePolicy::Ask;
  TReadChoice Read;
  bool Recursive = true;
  // Which files are written (a mask, deleted files only); null: all. With a filter, a folder is
  // created only when something inside it is written.
  std::function<bool(const TCustomFile&)> Filter;
  // Optional: told of each file the filter let through, once its outcome is known, in the order
  // of the files (files are finished on a second thread, so this may come a few files later).
  std::function<void(const TSavedFile&)> OnFile;
  // Optional: sees a file's bytes as they are written (a report hashes them). With it, each file
  // is finished before the next is read, and its OnFile comes right after its bytes.
  std::function<void(const TCustomFile&, const uint8_t*, size_t)> OnBytes;
  // Optional: why some of a file's bytes are not its own although they may read (a rescue map
  // says they were never read from the disk); empty when they are. Such a file is failed with
  // that reason, whatever its reads did.
  std::function<std::string(TCustomFile&)> NeverRead;
};

// Answers for the questions a save asks; the desktop shows message boxes, the command line
// answers from its flags.
class TSaveQuestions {
 public:
  using TAnswer = TReplaceAnswer;
  virtual ~TSaveQuestions() = default;
  // `path` exists: replace it?
  virtual TAnswer ReplaceFile(const std::string& path) = 0;
  // The folder `name` exists: save into it, replacing what is there? No ends the save.
  virtual TAnswer EnterFolder(const std::string& name) = 0;
  // Told of each failure as it happens (it is in the report as well).
  virtual void Failed(const std::string& path, const TError& error) {
    (void)path;
    (void)error;
  }
};

struct TSaveFailure {
  std::string Path;  // the target path, or the source's path when nothing was created
  TError Error;
};

struct TSaveReport {
  uint64_t Files = 0;    // written completely from the file's own bytes
  uint64_t Folders = 0;  // created or entered
  uint64_t Bytes = 0;    // written, partial files included
  uint64_t Skipped = 0;  // existing files kept
  // Existing files kept for files this save could not have saved whole: failed, not in Skipped.
  uint64_t KeptNotWhole = 0;
  uint64_t FailedFolders = 0;  // folders that could not be read (named in Failures)
  uint64_t ZeroFilledSectors = 0;
  std::vector<TSaveFailure> Failures;
  // Files whose bytes could not all be read or written: kept under "<name>.partial" so that
  // nothing incomplete stays behind under the file's own name.
  std::vector<std::string> Partial;
  std::vector<std::string> Warnings;  // saved, but the user must know (encrypted data)
  // Items saved under another name than their own: "<path>: <why>".
  std::vector<std::string> Renamed;
  bool Cancelled = false;
  bool Stopped = false;  // ended early: a question answered No, or the target cannot be written
  bool Ok() const { return Failures.empty() && !Cancelled && !Stopped; }
};

// Saves files and folders (with their contents) into options.Target; a tree's top folder is saved
// as its contents. Every entry is created relative to the target's descriptor and never through a
// link; a file is written under a temporary name and renamed into place only when every byte was
// read and written. Items of the save that meet under one name get unique names (TNameClaims);
// the overwrite policy only concerns what was in the target before. A file the target has no room
// for is left out and named, and the save goes on with the rest. `status` may be null; its Cancel
// button ends the save.
TSaveReport SaveItems(const std::vector<TItem*>& items, const TSaveOptions& options, TSaveQuestions& questions,
                      TStatusDialog* status);

}  // namespace salvex
