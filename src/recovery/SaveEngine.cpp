#include "recovery/SaveEngine.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "common/AlignedBuffer.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "recovery/Browse.h"
#include "recovery/FileFinisher.h"
#include "recovery/SaveTarget.h"
#include "disk/PhysicalDisk.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/MFTFile.h"

namespace salvex {

std::string ShownName(const TItem& item) {
  // Only FAT names carry the deleted-entry marker; on other file systems "å" is a letter.
  const bool fat = dynamic_cast<const TFATFile*>(&item) || dynamic_cast<const TMFTFile*>(&item) ||
                   dynamic_cast<const TFATDirectory*>(&item);
  if (auto* f = dynamic_cast<const TCustomFile*>(&item)) return fat ? DisplayName(f->Name) : f->Name;
  if (auto* d = dynamic_cast<const TCustomDirectory*>(&item)) return fat ? DisplayName(d->Name) : d->Name;
  return {};
}

namespace {

constexpr size_t kPiece = 1 << 20;

TError Make(TErrorKind kind, std::string what, std::string why) {
  TError e;
  e.Kind = kind;
  e.What = std::move(what);
  e.Why = std::move(why);
  return e;
}

class TSaver {
 public:
  TSaver(const TSaveOptions& options, TSaveQuestions& questions, TStatusDialog* status)
      : options_(options), questions_(questions), status_(status), overwrite_(options.Overwrite) {}

  TSaveReport Report;

  void Run(const std::vector<TItem*>& items, TFolderTarget& top) {
    for (TItem* item : items) {
      bool go = true;
      if (auto* f = dynamic_cast<TCustomFile*>(item))
        go = SaveFile(*f, top);
      else if (auto* d = dynamic_cast<TCustomDirectory*>(item); d && !d->Parent)
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
      if (auto* f = dynamic_cast<TCustomFile*>(item)) {
        if (!options_.Filter || options_.Filter(*f)) total += f->Size;
      } else if (auto* d = dynamic_cast<TCustomDirectory*>(item))
        total += FolderBytes(*d, 0);
    }
    return total;
  }

 private:
  bool Cancelled() const { return status_ && status_->Cancelled; }

  // Failures are told in the order of the files: those of files still being finished come first.
  void Fail(const std::string& path, TError error) {
    HarvestAll();
    Record(path, std::move(error));
  }

  void Record(const std::string& path, TError error) {
    // A target that takes nothing fails every file alike: the save ends at the first, said once.
    if (error.Kind == TErrorKind::TargetError && error.Errno == EROFS) Report.Stopped = true;
    questions_.Failed(path, error);
    if (status_) status_->RestartClock();
    if (current_) current_->Errors.push_back(error);
    Report.Failures.push_back({path, std::move(error)});
  }

  // Reports every file handed over, waiting for those still being finished.
  void HarvestAll() { Harvest(0); }

  // Reports the files the other thread has finished, oldest first, having first waited until no
  // more than `keep` are left unreported.
  void Harvest(size_t keep) {
    if (harvesting_) return;
    harvesting_ = true;
    TSavedFile* const was = current_;
    if (finisher_.Submitted() - finisher_.Reported() > keep) finisher_.WaitUntil(finisher_.Submitted() - keep);
    while (std::unique_ptr<TFinishJob> j = finisher_.Next()) {
      current_ = &j->Out;
      const bool tell = Conclude(*j);
      current_ = was;
      if (tell) Tell(j->Out);
    }
    while (!retired_.empty() && retired_.front().first <= finisher_.Reported()) retired_.pop_front();
    harvesting_ = false;
  }

  void Tell(TSavedFile& out) {
    if (!options_.OnFile) return;
    if (out.Outcome == TSavedFile::TOutcome::Saved && !out.Errors.empty()) out.Outcome = TSavedFile::TOutcome::Partial;
    options_.OnFile(out);
  }

  static bool DeletedView(const TCustomDirectory& d) {
    return TreeOf(d) == TTreeKind::Deleted || (d.Flags & ItemDeleted);
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
        Fail(unreadable->What, std::move(*unreadable));
      }
    }
    bool go = true;
    if (d.Children)
      for (auto& child : *d.Children) {
        if (!budget.Take(d)) {
          if (&budget == &saveBudget_) {
            const std::string path = ShownName(d);
            Fail(path, Make(TErrorKind::Corrupt, path, LoadText(876)));
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
      if (auto* f = dynamic_cast<TCustomFile*>(&child)) {
        if (!options_.Filter || options_.Filter(*f)) total += f->Size;
      } else if (auto* sub = dynamic_cast<TCustomDirectory*>(&child); sub && options_.Recursive && depth < 4096) {
        total += FolderBytes(*sub, depth + 1);
        Host().ProcessMessages();
      }
      return !Cancelled();
    });
    return total;
  }

  bool Open(TFolderTarget& t) {
    if (t.Fd >= 0) return true;
    if (t.Failed || !t.Parent || !Open(*t.Parent)) {
      t.Failed = true;
      return false;
    }
    TFolderFd& parent = *t.Parent->Handle;
    // A name another item of this save has (a file, or a twin folder) gives way to a numbered one;
    // a folder that was there before is entered, as the policy or the user says.
    for (int tries = 0;; ++tries) {
      t.Name = parent.Claims.Claim(t.Wanted);
      t.Path = t.Parent->Path + t.Name + "/";
      const std::string path = t.Path.substr(0, t.Path.size() - 1);
      const TNameHolder holder = WhoHolds(parent, t.Name);
      if (holder != TNameHolder::Nobody) {
        // A file or a link of that name is never entered: it could lead out of the target.
        if (holder != TNameHolder::FolderBefore && tries < kMaxTries) continue;
        if (holder != TNameHolder::FolderBefore) {
          Fail(path, Make(TErrorKind::TargetError, path, LoadText(869)));
          t.Failed = true;
          return false;
        }
        if (overwrite_ == TOverwritePolicy::Ask && !foldersAnswered_) {
          HarvestAll();
          const auto answer = questions_.EnterFolder(t.Shown);
          if (status_) status_->RestartClock();
          if (answer == TSaveQuestions::TAnswer::No) {
            Report.Stopped = true;
            t.Failed = true;
            return false;
          }
          overwrite_ = TOverwritePolicy::All;
          if (answer == TSaveQuestions::TAnswer::All) foldersAnswered_ = true;
        }
      } else if (::mkdirat(parent.Fd, t.Name.c_str(), 0777) == 0) {
        t.Fresh = true;
      } else if (errno == EEXIST && tries < kMaxTries) {
        continue;  // taken since it was looked for
      } else {
        const int error = errno;
        Refused(*t.Parent, error);
        Fail(path, TError::FromErrno(TErrorKind::TargetError, path, error));
        t.Failed = true;
        return false;
      }
      break;
    }
    const std::string path = t.Path.substr(0, t.Path.size() - 1);
    const int fd = ::openat(parent.Fd, t.Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, errno));
      t.Failed = true;
      return false;
    }
    if (t.Fresh && !parent.Fresh) {
      struct stat st {};
      if (::fstat(fd, &st) == 0) parent.Made.insert({st.st_dev, st.st_ino});
    }
    if (const std::string why = RenameReason(t.Safe, t.Wanted, t.Name); !why.empty())
      Report.Renamed.push_back(path + ": " + why);
    t.Handle = std::make_shared<TFolderFd>(fd, t.Meta.Modified, t.Fresh);
    t.Fd = fd;
    ++Report.Folders;
    return true;
  }

  // The chosen target folder lets nothing be made in it: every file would fail alike, so the save
  // ends at the first (a read-only file system ends it wherever it is met, see Record).
  void Refused(const TFolderTarget& dir, int error) {
    if (!dir.Parent && (error == EACCES || error == EPERM)) Report.Stopped = true;
  }

  bool SaveFolder(TCustomDirectory& d, TFolderTarget& parent, int depth = 0) {
    if (Cancelled() || depth > 4096) return false;
    TFolderTarget t;
    t.Parent = &parent;
    t.Shown = ShownName(d);
    t.Meta = d.Meta();
    t.Safe = SafeSaveName(t.Shown);
    t.Wanted = FittedName(t.Safe, t.Meta.Location.Value);
    t.Path = parent.Path + t.Wanted + "/";
    // Without a filter the folder is made even when empty: the user chose it.
    if (!options_.Filter && !Open(t)) return !Report.Stopped;
    if (status_) status_->RestartClock();
    return SaveChildren(d, t, depth);
  }

  bool SaveChildren(TCustomDirectory& d, TFolderTarget& t, int depth) {
    return EachChild(d, saveBudget_, [&](TItem& child) {
      bool go = true;
      if (auto* f = dynamic_cast<TCustomFile*>(&child))
        go = SaveFile(*f, t);
      else if (auto* sub = dynamic_cast<TCustomDirectory*>(&child); sub && options_.Recursive)
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
    out.Path = dir.Path + SafeSaveName(ShownName(f));
    current_ = &out;
    bool tellHere = true;
    const bool go = WriteFile(f, dir, out, tellHere);
    current_ = nullptr;
    if (tellHere) Tell(out);
    return go && !Report.Stopped;
  }

  // Whether the policy or the user lets the save replace the file at out.Path, which was in the
  // target before the save; a kept file is a skip.
  bool PolicyReplaces(TSavedFile& out) {
    if (overwrite_ == TOverwritePolicy::Ask) {
      HarvestAll();
      const auto answer = questions_.ReplaceFile(out.Path);
      if (status_) status_->RestartClock();
      if (answer == TSaveQuestions::TAnswer::All) overwrite_ = TOverwritePolicy::All;
      if (answer != TSaveQuestions::TAnswer::No) return true;
    } else if (overwrite_ != TOverwritePolicy::None) {
      return true;
    }
    ++Report.Skipped;
    out.Outcome = TSavedFile::TOutcome::Skipped;
    return false;
  }

  // Gives a file a name in `folder` that no other item of this save has there. In a folder that
  // was there before, the name must also be free, or held by a file that was there and that the
  // policy lets the save replace (`replaces`); false when the policy keeps that file.
  bool ChooseName(TFolderFd& folder, const std::string& dirPath, const std::string& wanted, TSavedFile& out,
                  std::string& name, std::optional<TEntryKey>& replaces) {
    for (int tries = 0;; ++tries) {
      name = folder.Claims.Claim(wanted);
      out.Path = dirPath + name;
      if (folder.Fresh) return true;
      TEntryKey key{};
      const TNameHolder holder = WhoHolds(folder, name, &key);
      if (holder == TNameHolder::Nobody) return true;
      // One of this save's own (under another letter case), or a folder: the next name.
      if (holder != TNameHolder::FileBefore && tries < kMaxTries) continue;
      if (!PolicyReplaces(out)) return false;
      replaces = key;
      return true;
    }
  }

  // Reads the stream from `written` on and writes it to `fd`; returns how far it got.
  uint64_t ReadRest(TDataStream& data, const TCustomFile& f, int fd, uint64_t written, uint64_t size, int& writeError) {
    if (!buffer_) buffer_ = std::make_unique<AlignedBuffer>(kPiece);
    while (written < size && !Cancelled()) {
      const size_t n = data.Read(buffer_->data(), size_t(std::min<uint64_t>(kPiece, size - written)));
      if (n == 0) break;
      if (!WriteAll(fd, buffer_->data(), n, writeError)) break;
      if (options_.OnBytes) options_.OnBytes(f, buffer_->data(), n);
      written += n;
      if (status_) {
        status_->StepSize = 1;
        status_->StepBy(int64_t(n));
      }
      Host().ProcessMessages();
    }
    return written;
  }

  // The kernel copied less of a handed-over file than the image promised: the rest is read here
  // as for any other file, and the file finished here.
  void Resume(TFinishJob& j) {
    j.Short = false;
    const uint64_t ignoredBefore = IgnoredReadCount();
    std::unique_ptr<TDataStream> data = j.Source->OpenData(options_.Read);
    if (!data || !data->Failure.empty()) {
      j.Failure = data ? data->Failure : LoadText(871);
    } else {
      data->Skip(j.Written);
      j.Written = ReadRest(*data, *j.Source, j.Fd, j.Written, j.Size, j.WriteError);
      j.ZeroFilled = data->ZeroFilledSectors;
      j.Failure = data->Failure;
      j.Damage = data->Damage;
    }
    j.Ignored = j.Ignored || IgnoredReadCount() != ignoredBefore;
    j.Cancelled = Cancelled();
    j.Complete = j.Written == j.Size && j.Failure.empty() && j.WriteError == 0;
    Finish(j);
  }

  uint64_t CopyPlain(TDataStream& data, int fd, uint64_t size) {
    uint64_t written = 0;
    TPlainExtent extent;
    while (written < size && !Cancelled() && data.PlainExtent(extent)) {
      off_t from = off_t(extent.Offset);
      const size_t want = size_t(std::min<uint64_t>({extent.Length, size - written, 16 * kPiece}));
      const ssize_t n = CopyRange(extent.Fd, from, fd, want);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the reading path goes on from here and reports what fails
      data.Skip(uint64_t(n));
      written += uint64_t(n);
      if (status_) {
        status_->StepSize = 1;
        status_->StepBy(n);
      }
      Host().ProcessMessages();
    }
    return written;
  }

  // Reads the file and writes it under a temporary name; what is left is handed to the finishing
  // thread and reported when it is done. `tellHere` is cleared when the caller is not to tell of
  // the file (handed over, or dropped at a full target).
  bool WriteFile(TCustomFile& f, TFolderTarget& dir, TSavedFile& out, bool& tellHere) {
    const std::string& path = out.Path;
    if (!Open(dir)) {
      // Each file of a folder that could not be made is in the report, saying why (told once).
      if (!Report.Stopped)
        out.Errors.push_back(Make(TErrorKind::TargetError, path, TextF(870, {dir.Path})));
      return !Report.Stopped;
    }

    std::unique_ptr<TDataStream> data = f.OpenData(options_.Read);
    if (!data) {
      Fail(path, Make(TErrorKind::Corrupt, path, LoadText(871)));
      return true;
    }
    if (!data->Failure.empty()) {
      Fail(path, Make(TErrorKind::Corrupt, path, data->Failure));
      return true;
    }
    const uint64_t size = data->Size();
    if (!EnoughSpace(dir, size)) {
      // Left out, and said; smaller files after it may still fit.
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, ENOSPC));
      return true;
    }
    TFileMeta meta = f.Meta();
    const std::string safe = SafeSaveName(ShownName(f));
    const std::string wanted = FittedName(safe, meta.Location.Value);
    std::string name;
    std::optional<TEntryKey> replaces;
    if (!ChooseName(*dir.Handle, dir.Path, wanted, out, name, replaces)) return true;
    if (status_) {
      status_->UpdateTexts(LoadText(709), TextF(710, {ShortenPath(path, 30)}));
      Host().ProcessMessages();
    }

    static std::atomic<uint64_t> counter{0};
    static const std::string prefix = ".salvex-" + std::to_string(::getpid()) + "-";
    auto job = std::make_unique<TFinishJob>();
    job->Temporary = prefix + std::to_string(counter.fetch_add(1)) + ".tmp";
    // O_EXCL on a fresh name: neither a planted symbolic link nor a hard link is ever written through.
    const int fd =
        ::openat(dir.Fd, job->Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      const int error = errno;
      dir.Handle->Claims.Release(name);
      Refused(dir, error);
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, error));
      return !Report.Stopped;
    }
    TFinishJob& j = *job;
    j.Dir = dir.Handle;  // from here on the job removes the temporary file if the save is abandoned
    j.DirFd = dir.Fd;
    j.Fd = fd;
    j.Source = &f;
    j.Size = size;
    if (options_.NeverRead) j.NeverRead = options_.NeverRead(f);
    const uint64_t ignoredBefore = IgnoredReadCount();
    // Bytes that lie unchanged in an image file are copied by the kernel; the rest, and anything
    // the kernel did not copy, is read below. A small file that lies there whole is copied by
    // the finishing thread while this one goes on to the next.
    uint64_t written = 0;
    int writeError = 0;
    bool handOverCopy = false;
    if (!options_.OnBytes && size <= kHandOverCopy) {
      uint64_t plain = 0;
      TPlainExtent e;
      while (plain < size && data->PlainExtent(e)) {
        e.Length = std::min(e.Length, size - plain);
        j.Plain.push_back(e);
        data->Skip(e.Length);
        plain += e.Length;
      }
      handOverCopy = plain == size && size > 0;
      if (!handOverCopy && plain > 0) {
        int copyError = 0;  // writing the rest meets it again, if it was the target's
        written = CopyExtents(j.Plain, fd, copyError);
        j.Plain.clear();
        if (written < plain) {
          data = f.OpenData(options_.Read);  // read again from where the kernel stopped
          if (data) data->Skip(written);
        }
      }
    } else if (!options_.OnBytes) {
      written = CopyPlain(*data, fd, size);
    }
    if (handOverCopy) {
      if (status_) {
        status_->StepSize = 1;
        status_->StepBy(int64_t(size));
      }
    } else if (data) {
      written = ReadRest(*data, f, fd, written, size, writeError);
    }
    if (!data) {
      j.Failure = "the file has no data on the volume";
    } else {
      j.ZeroFilled = data->ZeroFilledSectors;
      j.Failure = data->Failure;
      j.Damage = data->Damage;
    }
    j.Replace = replaces.has_value();
    if (replaces) j.Replaces = *replaces;
    j.Name = name;
    j.Wanted = wanted;
    j.Safe = safe;
    j.Meta = std::move(meta);
    j.WriteError = writeError;
    j.Written = written;
    j.Complete = (handOverCopy || written == size) && j.Failure.empty() && writeError == 0;
    j.Out = std::move(out);
    j.Ignored = IgnoredReadCount() != ignoredBefore;
    j.Cancelled = Cancelled();
    const bool go = !j.Cancelled;
    if (options_.OnBytes || !j.Complete) {
      // Whoever sees the bytes hears of the file's outcome before the next file's bytes come; a
      // file that could not be written whole may end the save (a full target) before the next.
      HarvestAll();
      Finish(j);
      TSavedFile* const was = current_;
      current_ = &j.Out;
      tellHere = Conclude(j);
      current_ = was;
      out = std::move(j.Out);
      return go && !Report.Stopped;
    }
    finisher_.Submit(std::move(job));
    tellHere = false;
    return go;
  }

  // Reports a file the finishing thread is done with; false when there is nothing to tell of it.
  bool Conclude(TFinishJob& j) {
    if (j.Short && j.DiskFull)
      Abandon(j);
    else if (j.Short)
      Resume(j);
    TSavedFile& out = j.Out;
    const std::string& path = out.Path;
    if (j.DiskFull || j.Named == TFinishJob::TNamed::Abandoned) {
      // The target had no room for it: it is left out, named, and the save goes on.
      const int error = j.WriteError ? j.WriteError : j.Error ? j.Error : ENOSPC;
      Record(path, TError::FromErrno(TErrorKind::TargetError, path, error));
      return true;
    }
    if (j.Named == TFinishJob::TNamed::Taken) Settle(j);
    if (j.Named == TFinishJob::TNamed::Kept) return true;  // the policy kept the file that was there
    if (j.Named == TFinishJob::TNamed::Yes || j.Named == TFinishJob::TNamed::Partial) {
      if (!j.Dir->Fresh) j.Dir->Made.insert(j.Key);
      Report.Bytes += j.Written;
      out.Bytes = j.Written;
      Report.ZeroFilledSectors += j.ZeroFilled;
      out.Renamed = RenameReason(j.Safe, j.Wanted, j.Name);
      if (!out.Renamed.empty()) Report.Renamed.push_back(path + ": " + out.Renamed);
    }
    if (j.Named == TFinishJob::TNamed::Partial) {
      Report.Partial.push_back(path + ".partial");
      out.SavedPath = path + ".partial";
      out.Outcome = TSavedFile::TOutcome::Partial;
    }
    if (!j.Complete || j.WriteError != 0) {
      if (j.WriteError != 0) {
        Record(path, TError::FromErrno(TErrorKind::TargetError, path, j.WriteError));
      } else if (!j.Failure.empty()) {
        Record(path, Make(TErrorKind::Corrupt, path, j.Failure));
      } else if (!j.Cancelled && j.NeverRead.empty()) {
        Record(path, Make(TErrorKind::ReadError, path, LoadText(872)));
      }
      if (!j.NeverRead.empty()) {
        Record(path, Make(TErrorKind::ReadError, path, j.NeverRead));
        out.Outcome = TSavedFile::TOutcome::Failed;
      }
      return true;
    }
    if (j.Named != TFinishJob::TNamed::Yes) {
      Record(path, TError::FromErrno(TErrorKind::TargetError, path, j.Error));
      return true;
    }
    out.SavedPath = path;
    out.Outcome = TSavedFile::TOutcome::Saved;
    if (!j.NeverRead.empty()) {
      // The image holds zeros where the disk was never read: those bytes are not the file's.
      Record(path, Make(TErrorKind::ReadError, path, j.NeverRead));
      out.Outcome = TSavedFile::TOutcome::Failed;
    } else if (j.ZeroFilled > 0 || j.Ignored) {
      // Every byte is there, but some are zeros standing in for sectors that could not be read.
      Record(path, Make(TErrorKind::ReadError, path,
                        j.ZeroFilled > 0
                            ? TextF(873, {j.ZeroFilled})
                            : LoadText(874)));
    } else if (!j.Damage.empty()) {
      Record(path, Make(TErrorKind::Corrupt, path, TextF(875, {j.Damage})));
    } else {
      ++Report.Files;
    }
    if (!j.Meta.Warning.empty()) Report.Warnings.push_back(path + ": " + j.Meta.Warning);
    return true;
  }

  // The rename found the file's name taken. By an item of this save (a twin it met on a target
  // that folds letter case, or in a folder it made) or a folder: the file takes the next free
  // name. By a file that was there before the save: the policy decides.
  void Settle(TFinishJob& j) {
    TFolderFd& folder = *j.Dir;
    TSavedFile& out = j.Out;
    const std::string dirPath = out.Path.substr(0, out.Path.size() - j.Name.size());
    const char* temporary = j.Temporary.c_str();
    for (int tries = 0; tries < kMaxTries; ++tries) {
      const TNameHolder holder = WhoHolds(folder, j.Name);
      if (holder != TNameHolder::Nobody) {
        if (holder != TNameHolder::FileBefore) {
          j.Name = folder.Claims.Claim(j.Wanted);
          out.Path = dirPath + j.Name;
          continue;
        }
        if (!PolicyReplaces(out)) {
          ::unlinkat(j.DirFd, temporary, 0);
          j.Named = TFinishJob::TNamed::Kept;
          return;
        }
        if (::renameat(j.DirFd, temporary, j.DirFd, j.Name.c_str()) == 0) {
          j.Named = TFinishJob::TNamed::Yes;
          return;
        }
      } else if (::renameat2(j.DirFd, temporary, j.DirFd, j.Name.c_str(), RENAME_NOREPLACE) == 0 ||
                 (errno == EINVAL && ::renameat(j.DirFd, temporary, j.DirFd, j.Name.c_str()) == 0)) {
        j.Named = TFinishJob::TNamed::Yes;
        return;
      } else if (errno == EEXIST) {
        continue;
      }
      j.Error = errno;
      break;
    }
    if (j.Error == 0) j.Error = EEXIST;
    ::unlinkat(j.DirFd, temporary, 0);
    j.Named = TFinishJob::TNamed::Removed;
  }

  static constexpr size_t kMaxUnfinished = 64;
  static constexpr int kMaxTries = 10000;  // numbered names tried for one item
  static constexpr uint64_t kHandOverCopy = 4 * kPiece;  // bounds how long a wait for the thread lasts
  const TSaveOptions& options_;
  TSaveQuestions& questions_;
  TStatusDialog* status_;
  TOverwritePolicy overwrite_;
  bool foldersAnswered_ = false;
  TWalkBudget sizeBudget_;
  TWalkBudget saveBudget_;
  std::unique_ptr<AlignedBuffer> buffer_;
  TSavedFile* current_ = nullptr;  // the file whose failures are being recorded
  bool harvesting_ = false;
  // Items read for the walk, kept until the files handed over before their release are reported.
  std::deque<std::pair<size_t, TChildren>> retired_;
  std::map<std::string, TError> unreadable_;  // folders the size pass could not read, by source path
  TFinisher finisher_;  // last: finishes what was handed over before the rest goes
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
  if (status) {
    status->Setup(LoadText(709), LoadText(714), "", "", "", true, true);
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
