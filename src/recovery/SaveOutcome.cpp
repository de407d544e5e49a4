#include "recovery/SaveOutcome.h"

#include <cerrno>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "recovery/SaveNames.h"
#include "salvex/StringIds.h"

namespace salvex {

TError SaveError(TErrorKind kind, std::string what, std::string why) {
  TError e;
  e.Kind = kind;
  e.What = std::move(what);
  e.Why = std::move(why);
  return e;
}

void TSaveOutcome::Record(const std::string& path, TError error) {
  // A target that takes nothing fails every file alike: the save ends at the first, said once.
  if (error.Kind == TErrorKind::TargetError && error.Errno == EROFS) Report.Stopped = true;
  questions_.Failed(path, error);
  if (status_) status_->RestartClock();
  if (Current) Current->Errors.push_back(error);
  Report.Failures.push_back({path, std::move(error)});
}

void TSaveOutcome::Tell(TSavedFile& out) {
  if (!options_.OnFile) return;
  if (out.Outcome == TSavedFile::TOutcome::Saved && !out.Errors.empty()) out.Outcome = TSavedFile::TOutcome::Partial;
  options_.OnFile(out);
}

bool TSaveOutcome::Conclude(TFinishJob& j) {
  using TStage = TFileOutcome::TStage;
  const TFileOutcome& o = j.Outcome;
  TSavedFile& out = j.Out;
  const std::string& path = out.Path;
  if (o.TargetFull() || o.Stage == TStage::Abandoned) {
    // The target had no room for it: it is left out, named, and the save goes on.
    Record(path, TError::FromErrno(TErrorKind::TargetError, path, o.Stage == TStage::Abandoned ? ENOSPC : o.Error->Errno));
    return true;
  }
  if (o.Stage == TStage::Kept) {  // the policy kept the file that was there
    if (o.Whole()) return true;
    // ...under "<name>.partial": an earlier copy, no more this save's than a whole one would be.
    KeptNotWhole(out);
    if (o.Error->Kind == TErrorKind::Cancelled) return true;  // the save says it was cancelled
    const std::string partial = path + ".partial";
    TError e = o.Error->Kind == TErrorKind::TargetError ? TError::FromErrno(TErrorKind::TargetError, partial, o.Error->Errno)
                                                         : SaveError(o.Error->Kind, partial, o.Error->Why);
    e.Why = TextF(txt::NotWholeKeptThere, {e.Why});
    Record(partial, std::move(e));
    return true;
  }
  if (o.Stage == TStage::Named || o.Stage == TStage::Partial) {
    if (!j.Dir->Fresh) j.Dir->Made.insert(j.Key);
    Report.Bytes += o.Written;
    out.Bytes = o.Written;
    Report.ZeroFilledSectors += o.ZeroFilled;
    out.Renamed = RenameReason(ShownName(*j.Source), j.Safe, j.Wanted, j.Name);
    if (!out.Renamed.empty()) Report.Renamed.push_back(path + ": " + out.Renamed);
  }
  if (o.Stage == TStage::Partial) {
    Report.Partial.push_back(path + ".partial");
    out.SavedPath = path + ".partial";
    out.Outcome = TSavedFile::TOutcome::Partial;
  }
  if (o.Error) {
    switch (o.Error->Kind) {
      case TErrorKind::TargetError: Record(path, TError::FromErrno(TErrorKind::TargetError, path, o.Error->Errno)); break;
      case TErrorKind::Cancelled: break;
      case TErrorKind::ReadError:  // bytes that did not come: a rescue map's reason says more
        if (o.NeverRead.empty()) Record(path, SaveError(TErrorKind::ReadError, path, o.Error->Why));
        break;
      default: Record(path, SaveError(o.Error->Kind, path, o.Error->Why)); break;
    }
    if (!o.NeverRead.empty()) {
      Record(path, SaveError(TErrorKind::ReadError, path, o.NeverRead));
      out.Outcome = TSavedFile::TOutcome::Failed;
    }
    return true;
  }
  if (o.Stage != TStage::Named) {
    Record(path, TError::FromErrno(TErrorKind::TargetError, path, EEXIST));
    return true;
  }
  out.SavedPath = path;
  out.Outcome = TSavedFile::TOutcome::Saved;
  if (!o.NeverRead.empty()) {
    // The image holds zeros where the disk was never read: those bytes are not the file's.
    Record(path, SaveError(TErrorKind::ReadError, path, o.NeverRead));
    out.Outcome = TSavedFile::TOutcome::Failed;
  } else if (o.ZeroFilled > 0 || o.Ignored) {
    // Every byte is there, but some are zeros standing in for sectors that could not be read.
    Record(path,
           SaveError(TErrorKind::ReadError, path,
                     o.ZeroFilled > 0 ? TextF(txt::SectorsZeroedCount, {o.ZeroFilled}) : LoadText(txt::SectorsZeroed)));
  } else if (!o.Damage.empty()) {
    Record(path, SaveError(TErrorKind::Corrupt, path, TextF(txt::BytesZeroed, {o.Damage})));
  } else if (!j.Meta.Damage.empty()) {
    Record(path, SaveError(TErrorKind::Corrupt, path, j.Meta.Damage));
  } else {
    ++Report.Files;
  }
  if (!j.Meta.Warning.empty()) Report.Warnings.push_back(path + ": " + j.Meta.Warning);
  return true;
}

}  // namespace salvex
