#include "recovery/SaveEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "disk/PhysicalDisk.h"
#include "recovery/Browse.h"
#include "recovery/FileFinisher.h"
#include "recovery/SaveCopier.h"
#include "recovery/SaveOutcome.h"
#include "recovery/SaveTarget.h"
#include "recovery/TargetTree.h"
#include "salvex/StringIds.h"

namespace salvex {

std::string ShownName(const TItem& item) {
  const bool fat = item.NameHasDeletedMark();
  if (auto* f = item.AsFile()) return fat ? DisplayName(f->Name) : f->Name;
  if (auto* d = item.AsFolder()) return fat ? DisplayName(d->Name) : d->Name;
  return {};
}

namespace {

class TSaver {
 public:
  TSaver(const TSaveOptions& options, TSaveQuestions& questions, TStatusDialog* status)
      : options_(options), status_(status), outcome_(options, questions, status),
        tree_(options, questions, status, outcome_), copier_(options, status), Report(outcome_.Report) {
    outcome_.CatchUp = [this] { HarvestAll(); };
  }

  void Run(const std::vector<TItem*>& items, TFolderTarget& top) {
    for (TItem* item : items) {
      bool go = true;
      if (auto* f = AsFile(item))
        go = SaveFile(*f, top);
      else if (auto* d = AsFolder(item); d && !d->Parent)
        go = SaveChildren(*d, top, 0);  // a whole tree: its contents, not a folder named after it
      else if (d)
        go = SaveFolder(*d, top);
      if (!go || Cancelled()) break;
    }
    HarvestAll();
    Report.Cancelled = Cancelled();
  }

  uint64_t TotalBytes(const std::vector<TItem*>& items) {
    uint64_t total = 0;
    for (TItem* item : items) {
      if (Cancelled()) break;
      if (auto* f = AsFile(item)) {
        if (!options_.Filter || options_.Filter(*f)) total += f->Size;
      } else if (auto* d = AsFolder(item))
        total += FolderBytes(*d, 0);
    }
    return total;
  }

 private:
  bool Cancelled() const { return status_ && status_->Cancelled; }

  // Reports every file handed over, waiting for those still being finished.
  void HarvestAll() { Harvest(0); }

  // Reports the files the other thread has finished, oldest first, having first waited until no
  // more than `keep` are left unreported.
  void Harvest(size_t keep) {
    if (harvesting_) return;
    harvesting_ = true;
    TSavedFile* const was = outcome_.Current;
    if (finisher_.Submitted() - finisher_.Reported() > keep) finisher_.WaitUntil(finisher_.Submitted() - keep);
    while (std::unique_ptr<TFinishJob> j = finisher_.Next()) {
      outcome_.Current = &j->Out;
      const bool tell = Conclude(*j);
      outcome_.Current = was;
      if (tell) outcome_.Tell(j->Out);
    }
    while (!retired_.empty() && retired_.front().first <= finisher_.Reported()) retired_.pop_front();
    harvesting_ = false;
  }

  // Entries a walk may still visit; folders of a damaged volume that share clusters would
  // otherwise repeat without end (see MaxWalkEntries).
  struct TWalkBudget {
    uint64_t Left = 0;
    bool Set = false;
    bool Take(const TCustomDirectory& d) {
      if (!Set && d.Drive) {
        Left = MaxWalkEntries(*d.Drive);
        Set = true;
      }
      if (Set && Left == 0) return false;
      if (Set) --Left;
      return true;
    }
  };

  // Visits the children of a folder, reading them for the walk and releasing them afterwards.
  template <class Visit>
  bool EachChild(TCustomDirectory& d, TWalkBudget& budget, Visit visit) {
    const bool readHere = !d.Children;
    std::optional<TError> unreadable = LoadFolder(d);
    if (&budget == &sizeBudget_) {
      // The save reads the folder again, maybe from a cache that does not fail a second time.
      if (unreadable) unreadable_.emplace(unreadable->What, *unreadable);
    } else {
      if (!unreadable && readHere && !unreadable_.empty()) {
        auto earlier = unreadable_.find(d.Parent ? RowOf(d).Path : ShownName(d));
        if (earlier != unreadable_.end()) unreadable = earlier->second;
      }
      if (unreadable) {
        ++Report.FailedFolders;
        outcome_.Fail(unreadable->What, std::move(*unreadable));
      }
    }
    bool go = true;
    if (d.Children)
      for (auto& child : *d.Children) {
        if (!budget.Take(d)) {
          if (&budget == &saveBudget_) {
            const std::string path = ShownName(d);
            outcome_.Fail(path, SaveError(TErrorKind::Corrupt, path, LoadText(txt::FoldersRepeat)));
            Report.Stopped = true;
          }
          go = false;
          break;
        }
        if (!(go = visit(*child))) break;
      }
    if (readHere) {
      // Files still being finished are reported with their items: those go when they have been.
      if (finisher_.Submitted() > finisher_.Reported()) retired_.emplace_back(finisher_.Submitted(), std::move(*d.Children));
      d.Children.reset();
    }
    return go;
  }

  uint64_t FolderBytes(TCustomDirectory& d, int depth) {
    uint64_t total = 0;
    EachChild(d, sizeBudget_, [&](TItem& child) {
      if (auto* f = child.AsFile()) {
        if (!options_.Filter || options_.Filter(*f)) total += f->Size;
      } else if (auto* sub = child.AsFolder(); sub && options_.Recursive && depth < 4096) {
        total += FolderBytes(*sub, depth + 1);
        Host().ProcessMessages();
      }
      return !Cancelled();
    });
    return total;
  }

  bool SaveFolder(TCustomDirectory& d, TFolderTarget& parent, int depth = 0) {
    if (Cancelled() || depth > 4096) return false;
    TFolderTarget t;
    t.Parent = &parent;
    t.Shown = ShownName(d);
    t.Meta = d.Meta();
    t.Safe = SafeSaveName(t.Shown, Colons);
    t.Wanted = FittedName(t.Safe, t.Meta.Location.Value);
    t.Path = parent.Path + t.Wanted + "/";
    // Without a filter the folder is made even when empty: the user chose it.
    if (!options_.Filter && !tree_.Open(t)) return !Report.Stopped;
    if (status_) status_->RestartClock();
    return SaveChildren(d, t, depth);
  }

  bool SaveChildren(TCustomDirectory& d, TFolderTarget& t, int depth) {
    return EachChild(d, saveBudget_, [&](TItem& child) {
      bool go = true;
      if (auto* f = child.AsFile())
        go = SaveFile(*f, t);
      else if (auto* sub = child.AsFolder(); sub && options_.Recursive)
        go = SaveFolder(*sub, t, depth + 1);
      return go && !Cancelled();
    });
  }

  bool SaveFile(TCustomFile& f, TFolderTarget& dir) {
    if (options_.Filter && !options_.Filter(f)) return true;
    // Files waiting to be finished hold descriptors: their number is bounded.
    Harvest(finisher_.Submitted() - finisher_.Reported() >= kMaxUnfinished ? kMaxUnfinished / 2 : SIZE_MAX);
    if (Report.Stopped) return false;
    TSavedFile out;
    out.File = &f;
    const std::string safe = SafeSaveName(ShownName(f), Colons);
    out.Path = dir.Path + safe;
    outcome_.Current = &out;
    bool tellHere = true;
    const bool go = WriteFile(f, safe, dir, out, tellHere);
    outcome_.Current = nullptr;
    if (tellHere) outcome_.Tell(out);
    return go && !Report.Stopped;
  }

  // Reads the file and writes it into a new file that does not have its name yet (`safe`: that name,
  // made safe); what is left is handed to the finishing thread and reported when it is done. `tellHere` is cleared when the caller is not to tell of
  // the file (handed over, or dropped at a full target).
  bool WriteFile(TCustomFile& f, const std::string& safe, TFolderTarget& dir, TSavedFile& out, bool& tellHere) {
    const std::string& path = out.Path;
    if (!tree_.Open(dir)) {
      // Each file of a folder that could not be made is in the report, saying why (told once).
      if (!Report.Stopped)
        out.Errors.push_back(SaveError(TErrorKind::TargetError, path, TextF(txt::FolderNotMade, {dir.Path})));
      return !Report.Stopped;
    }

    std::unique_ptr<TDataStream> data = f.OpenData(options_.Read);
    if (!data) {
      outcome_.Fail(path, SaveError(TErrorKind::Corrupt, path, LoadText(txt::NoDataOnVolume)));
      return true;
    }
    if (!data->Failure.empty()) {
      outcome_.Fail(path, SaveError(TErrorKind::Corrupt, path, data->Failure));
      return true;
    }
    const uint64_t size = data->Size();
    if (!EnoughSpace(dir, size)) {
      // Left out, and said; smaller files after it may still fit.
      outcome_.Fail(path, TError::FromErrno(TErrorKind::TargetError, path, ENOSPC));
      return true;
    }
    TFileMeta meta = f.Meta();
    const std::string wanted = FittedName(safe, meta.Location.Value);
    std::string name;
    std::optional<TEntryKey> replaces;
    if (!tree_.ChooseName(*dir.Handle, dir.Path, wanted, out, name, replaces)) {
      NotWholeThough(f, meta, out);
      return true;
    }
    if (status_) {
      // Naming every file of a tree of small ones costs more than the rest of the saving thread's
      // work; nobody reads names that change faster than this anyway.
      const auto now = std::chrono::steady_clock::now();
      if (now - shownAt_ >= std::chrono::milliseconds(40)) {
        shownAt_ = now;
        status_->UpdateTexts(LoadText(txt::SavingFiles), TextF(txt::SavingFile, {ShortenPath(path, 30)}));
      }
      Host().ProcessMessages();
    }

    static std::atomic<uint64_t> counter{0};
    static const std::string prefix = ".salvex-" + std::to_string(::getpid()) + "-";
    auto job = std::make_unique<TFinishJob>();
    job->Temporary = prefix + std::to_string(counter.fetch_add(1)) + ".tmp";
    // A fresh file: neither a planted symbolic link nor a hard link is ever written through.
    const int fd = OpenTargetFile(*dir.Handle, job->Temporary, job->Anonymous);
    if (fd < 0) {
      const int error = errno;
      dir.Handle->Claims.Release(name);
      tree_.Refused(dir, error);
      outcome_.Fail(path, TError::FromErrno(TErrorKind::TargetError, path, error));
      return !Report.Stopped;
    }
    TFinishJob& j = *job;
    j.Dir = dir.Handle;  // from here on the job removes the temporary file if the save is abandoned
    j.DirFd = dir.Fd;
    j.Fd = fd;
    j.Source = &f;
    j.Size = size;
    if (options_.NeverRead) j.Outcome.NeverRead = options_.NeverRead(f);
    // Small files are copied by the finishing thread, unless it lags: then both threads share the
    // copying, which on a tree of small files is most of the work.
    copier_.Copy(f, data, j, finisher_.Unfinished() < kCopyHereBeyond);
    j.Replace = replaces.has_value();
    if (replaces) j.Replaces = *replaces;
    j.Name = name;
    j.Wanted = wanted;
    j.Safe = safe;
    j.Meta = std::move(meta);
    j.Out = std::move(out);
    const bool go = !Cancelled();
    if (options_.OnBytes || !j.Outcome.Whole()) {
      // Whoever sees the bytes hears of the file's outcome before the next file's bytes come; a
      // file that could not be written whole may end the save (a full target) before the next.
      HarvestAll();
      Finish(j);
      TSavedFile* const was = outcome_.Current;
      outcome_.Current = &j.Out;
      tellHere = Conclude(j);
      outcome_.Current = was;
      out = std::move(j.Out);
      return go && !Report.Stopped;
    }
    finisher_.Submit(std::move(job));
    tellHere = false;
    return go;
  }

  // The policy kept the file that has the name. What is known of this file without reading it may
  // say that it could not be saved whole: then it fails with that reason, rather than count with
  // the kept files as if the one there stood for it (an earlier save's damaged copy, on a rerun).
  void NotWholeThough(TCustomFile& f, const TFileMeta& meta, TSavedFile& out) {
    TErrorKind kind = TErrorKind::Corrupt;
    std::string why = meta.Damage;
    if (why.empty() && options_.NeverRead) {
      why = options_.NeverRead(f);
      kind = TErrorKind::ReadError;
    }
    if (why.empty()) return;
    outcome_.KeptNotWhole(out);
    outcome_.Fail(out.Path, SaveError(kind, out.Path, TextF(txt::NotWholeKeptThere, {why})));
  }

  // Reports a file the finishing thread is done with; false when there is nothing to tell of it.
  bool Conclude(TFinishJob& j) {
    using TStage = TFileOutcome::TStage;
    if (j.Outcome.Stage == TStage::Short && j.Outcome.TargetFull())
      Abandon(j);
    else if (j.Outcome.Stage == TStage::Short)
      copier_.Resume(j);
    if (j.Outcome.Stage == TStage::Taken) tree_.Settle(j);
    return outcome_.Conclude(j);
  }

  static constexpr size_t kMaxUnfinished = 64;
  static constexpr size_t kCopyHereBeyond = 32;
  const TSaveOptions& options_;
  TStatusDialog* status_;
  TSaveOutcome outcome_;
  TTargetTree tree_;
  TSaveCopier copier_;
  TWalkBudget sizeBudget_;
  TWalkBudget saveBudget_;
  bool harvesting_ = false;
  std::chrono::steady_clock::time_point shownAt_{};
  // Items read for the walk, kept until the files handed over before their release are reported.
  std::deque<std::pair<size_t, TChildren>> retired_;
  std::map<std::string, TError> unreadable_;  // folders the size pass could not read, by source path
  TFinisher finisher_;  // finishes what was handed over before the rest goes

 public:
  TSaveReport& Report;  // the outcome's
  TColonRule Colons = TColonRule::Replace;  // the target's, asked once for the whole save
};

}  // namespace

TSaveReport SaveItems(const std::vector<TItem*>& items, const TSaveOptions& options, TSaveQuestions& questions,
                      TStatusDialog* status) {
  TSaver saver(options, questions, status);
  TFolderTarget top;
  top.Path = options.Target.empty() || options.Target.back() == '/' ? options.Target : options.Target + "/";
  top.Fd = ::open(options.Target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top.Fd < 0) {
    const TError e = TError::FromErrno(TErrorKind::TargetError, options.Target, errno);
    questions.Failed(options.Target, e);
    saver.Report.Failures.push_back({options.Target, e});
    saver.Report.Stopped = true;
    return saver.Report;
  }
  top.Handle = std::make_shared<TFolderFd>(top.Fd, std::nullopt, false);
  saver.Colons = ColonRuleOf(top.Fd);
  if (status) {
    status->Setup(LoadText(txt::SavingFiles), LoadText(txt::PreparingToSave), "", "", "", true, true);
    status->Show();
    status->Max = saver.TotalBytes(items);
    status->IntervalMs = 0;
  }
  if (!(status && status->Cancelled)) saver.Run(items, top);
  saver.Report.Cancelled = saver.Report.Cancelled || (status && status->Cancelled);
  if (status) status->Hide();
  return saver.Report;
}

}  // namespace salvex
