#include "recovery/SaveEngine.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

std::string SafeSaveName(const std::string& shownName) {
  // Control characters (a terminal escape in a name) would make every later listing of the
  // target act on the terminal.
  std::string name = WithoutControls(shownName);
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

namespace {

constexpr size_t kPiece = 1 << 20;

// Network file systems report free space unreliably; the free-space test skips them.
bool IsNetworkFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
      return true;
    default: return false;
  }
}

bool WriteAll(int fd, const uint8_t* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

TError Make(TErrorKind kind, std::string what, std::string why) {
  TError e;
  e.Kind = kind;
  e.What = std::move(what);
  e.Why = std::move(why);
  return e;
}

// A folder of the target, opened (or created) only when something is written into it.
struct TFolderTarget {
  TFolderTarget* Parent = nullptr;
  std::string Name;  // safe name inside Parent
  std::string Path;  // for messages, ending with "/"
  std::string Shown;
  TFileMeta Meta;
  int Fd = -1;
  bool Failed = false;
  // Made by this save: what lies in it was written by it, so a name is first looked for when
  // it is taken (a rename that refuses to replace), not before each file.
  bool Fresh = false;
  // Free space last asked of the file system, less what was written since.
  std::optional<uint64_t> SpaceLeft;
  ~TFolderTarget() {
    if (Fd < 0) return;
    if (Meta.Modified && Parent) {
      const timespec times[2] = {{0, UTIME_OMIT}, *Meta.Modified};
      ::futimens(Fd, times);
    }
    ::close(Fd);
  }
};

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
      else if (auto* d = dynamic_cast<TCustomDirectory*>(item))
        go = SaveFolder(*d, top);
      if (!go || Cancelled()) break;
    }
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

  void Fail(const std::string& path, TError error) {
    questions_.Failed(path, error);
    if (status_) status_->RestartClock();
    Report.Failures.push_back({path, std::move(error)});
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
    d.LoadChildren(DeletedView(d));
    bool go = true;
    if (d.Children)
      for (auto& child : *d.Children) {
        if (!budget.Take(d)) {
          if (&budget == &saveBudget_) {
            const std::string path = ShownName(d);
            Fail(path, Make(TErrorKind::Corrupt, path,
                            "more entries than the volume can hold: its folders are damaged and repeat each other"));
            Report.Stopped = true;
          }
          go = false;
          break;
        }
        if (!(go = visit(*child))) break;
      }
    if (readHere) d.Children.reset();
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
    const std::string path = t.Path.substr(0, t.Path.size() - 1);
    struct stat st {};
    if (::fstatat(t.Parent->Fd, t.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        // A file or a link of that name: entering it could lead out of the target.
        Fail(path, Make(TErrorKind::TargetError, path, "exists and is not a folder"));
        t.Failed = true;
        return false;
      }
      if (overwrite_ == TOverwritePolicy::Ask && !foldersAnswered_) {
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
    } else if (::mkdirat(t.Parent->Fd, t.Name.c_str(), 0777) != 0) {
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, errno));
      t.Failed = true;
      return false;
    } else {
      t.Fresh = true;
    }
    t.Fd = ::openat(t.Parent->Fd, t.Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (t.Fd < 0) {
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, errno));
      t.Failed = true;
      return false;
    }
    ++Report.Folders;
    return true;
  }

  bool SaveFolder(TCustomDirectory& d, TFolderTarget& parent, int depth = 0) {
    if (Cancelled() || depth > 4096) return false;
    TFolderTarget t;
    t.Parent = &parent;
    t.Shown = ShownName(d);
    t.Name = SafeSaveName(t.Shown);
    t.Path = parent.Path + t.Name + "/";
    t.Meta = d.Meta();
    // Without a filter the folder is made even when empty: the user chose it.
    if (!options_.Filter && !Open(t)) return !Report.Stopped;
    if (status_) status_->RestartClock();
    return EachChild(d, saveBudget_, [&](TItem& child) {
      bool go = true;
      if (auto* f = dynamic_cast<TCustomFile*>(&child))
        go = SaveFile(*f, t);
      else if (auto* sub = dynamic_cast<TCustomDirectory*>(&child); sub && options_.Recursive)
        go = SaveFolder(*sub, t, depth + 1);
      return go && !Cancelled();
    });
  }

  // The file system is asked again only when what is left of its last answer would not hold the
  // file: three system calls a file would cost more than writing a small one.
  static bool EnoughSpace(TFolderTarget& dir, uint64_t size) {
    constexpr uint64_t kBlock = 4096;
    const uint64_t need = (size + kBlock - 1) / kBlock * kBlock + kBlock;  // data and its entry
    if (!dir.SpaceLeft || *dir.SpaceLeft < need) {
      struct statvfs vfs {};
      if (IsNetworkFileSystem(dir.Fd) || ::fstatvfs(dir.Fd, &vfs) != 0)
        dir.SpaceLeft = UINT64_MAX;
      else
        dir.SpaceLeft = uint64_t(vfs.f_bavail) * vfs.f_frsize;
      if (*dir.SpaceLeft < size) return false;
    }
    if (*dir.SpaceLeft != UINT64_MAX) *dir.SpaceLeft -= std::min(*dir.SpaceLeft, need);
    return true;
  }

  bool SaveFile(TCustomFile& f, TFolderTarget& dir) {
    if (options_.Filter && !options_.Filter(f)) return true;
    const size_t failuresBefore = Report.Failures.size();
    TSavedFile out;
    out.File = &f;
    out.Path = dir.Path + SafeSaveName(ShownName(f));
    const bool go = WriteFile(f, dir, out);
    if (options_.OnFile) {
      for (size_t i = failuresBefore; i < Report.Failures.size(); ++i) out.Errors.push_back(Report.Failures[i].Error);
      if (out.Outcome == TSavedFile::TOutcome::Saved && !out.Errors.empty()) out.Outcome = TSavedFile::TOutcome::Partial;
      options_.OnFile(out);
    }
    return go;
  }

  // Whether `name` may be written in `dir`: free, or taken by a file the policy or the user lets
  // the save replace. A folder of that name is a failure, a kept file a skip.
  bool MayTake(TFolderTarget& dir, const std::string& name, TSavedFile& out) {
    const std::string& path = out.Path;
    struct stat st {};
    if (::fstatat(dir.Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (S_ISDIR(st.st_mode)) {
      Fail(path, Make(TErrorKind::TargetError, path, "a folder of that name exists"));
      return false;
    }
    if (overwrite_ == TOverwritePolicy::Ask) {
      const auto answer = questions_.ReplaceFile(path);
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

  // Moves the finished temporary file to its name. In a folder this save made, the name is only
  // looked for when the rename finds it taken (two entries with one name, or names the target
  // file system does not tell apart).
  bool TakeName(TFolderTarget& dir, const std::string& temporary, const std::string& name, TSavedFile& out,
                int& error) {
    if (dir.Fresh) {
      if (::renameat2(dir.Fd, temporary.c_str(), dir.Fd, name.c_str(), RENAME_NOREPLACE) == 0) return true;
      if (errno != EEXIST && errno != EINVAL) {
        error = errno;
        return false;
      }
      // EINVAL: the file system cannot refuse to replace; ask it first, as elsewhere.
      if (!MayTake(dir, name, out)) {
        ::unlinkat(dir.Fd, temporary.c_str(), 0);
        return false;
      }
    }
    if (::renameat(dir.Fd, temporary.c_str(), dir.Fd, name.c_str()) == 0) return true;
    error = errno;
    return false;
  }

  uint64_t CopyPlain(TDataStream& data, int fd, uint64_t size) {
    uint64_t written = 0;
    TPlainExtent extent;
    while (written < size && !Cancelled() && data.PlainExtent(extent)) {
      off_t from = off_t(extent.Offset);
      const size_t want = size_t(std::min<uint64_t>({extent.Length, size - written, 16 * kPiece}));
      const ssize_t n = ::sendfile(fd, extent.Fd, &from, want);
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

  bool WriteFile(TCustomFile& f, TFolderTarget& dir, TSavedFile& out) {
    const std::string name = SafeSaveName(ShownName(f));
    const std::string& path = out.Path;
    if (!Open(dir)) return !Report.Stopped;

    if (!dir.Fresh && !MayTake(dir, name, out)) return true;

    std::unique_ptr<TDataStream> data = f.OpenData(options_.Read);
    if (!data) {
      Fail(path, Make(TErrorKind::Corrupt, path, "the file has no data on the volume"));
      return true;
    }
    if (!data->Failure.empty()) {
      Fail(path, Make(TErrorKind::Corrupt, path, data->Failure));
      return true;
    }
    const uint64_t size = data->Size();
    if (!EnoughSpace(dir, size)) {
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, ENOSPC));
      Report.Stopped = true;
      return false;
    }
    if (status_) {
      status_->UpdateTexts(LoadText(709), TextF(710, {ShortenPath(path, 30)}));
      Host().ProcessMessages();
    }

    static std::atomic<uint64_t> counter{0};
    static const std::string prefix = ".salvex-" + std::to_string(::getpid()) + "-";
    const std::string temporary = prefix + std::to_string(counter.fetch_add(1)) + ".tmp";
    // O_EXCL on a fresh name: neither a planted symbolic link nor a hard link is ever written through.
    const int fd = ::openat(dir.Fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, errno));
      return errno != ENOSPC || !(Report.Stopped = true);
    }
    if (!buffer_) buffer_ = std::make_unique<AlignedBuffer>(kPiece);
    const uint64_t ignoredBefore = IgnoredReadCount();
    // Bytes that lie unchanged in an image file are copied by the kernel; the rest, and anything
    // the kernel did not copy, is read below.
    uint64_t written = options_.OnBytes ? 0 : CopyPlain(*data, fd, size);
    int writeError = 0;
    while (written < size) {
      const size_t n = data->Read(buffer_->data(), size_t(std::min<uint64_t>(kPiece, size - written)));
      if (n == 0) break;
      if (!WriteAll(fd, buffer_->data(), n, writeError)) break;
      if (options_.OnBytes) options_.OnBytes(f, buffer_->data(), n);
      written += n;
      if (status_) {
        status_->StepSize = 1;
        status_->StepBy(int64_t(n));
      }
      Host().ProcessMessages();
      if (Cancelled()) break;
    }
    const TFileMeta meta = f.Meta();
    if (meta.Modified) {
      const timespec times[2] = {{0, UTIME_OMIT}, *meta.Modified};
      ::futimens(fd, times);
    }
    if (meta.ReadOnly) {
      struct stat own {};
      if (::fstat(fd, &own) == 0) ::fchmod(fd, own.st_mode & ~mode_t(0222) & 07777);
    }
    if (::close(fd) != 0 && writeError == 0) writeError = errno;
    Report.Bytes += written;
    out.Bytes = written;
    const uint64_t zeroFilled = data->ZeroFilledSectors;
    const bool ignored = IgnoredReadCount() != ignoredBefore;
    Report.ZeroFilledSectors += zeroFilled;

    const bool complete = written == size && data->Failure.empty() && writeError == 0;
    if (!complete) {
      const std::string partial = name + ".partial";
      if (::renameat(dir.Fd, temporary.c_str(), dir.Fd, partial.c_str()) == 0) {
        Report.Partial.push_back(path + ".partial");
        out.SavedPath = path + ".partial";
        out.Outcome = TSavedFile::TOutcome::Partial;
      } else
        ::unlinkat(dir.Fd, temporary.c_str(), 0);
      if (writeError != 0) {
        Fail(path, TError::FromErrno(TErrorKind::TargetError, path, writeError));
        if (writeError == ENOSPC || writeError == EDQUOT) Report.Stopped = true;
        return !Report.Stopped;
      }
      if (!data->Failure.empty())
        Fail(path, Make(TErrorKind::Corrupt, path, data->Failure));
      else if (!Cancelled())
        Fail(path, Make(TErrorKind::ReadError, path, "the data ended before the file's size"));
      return !Cancelled();
    }
    int renameError = 0;
    if (!TakeName(dir, temporary, name, out, renameError)) {
      if (renameError == 0) {  // kept the file there, or a folder has the name
        Report.Bytes -= written;
        out.Bytes = 0;
        Report.ZeroFilledSectors -= zeroFilled;
        return true;
      }
      ::unlinkat(dir.Fd, temporary.c_str(), 0);
      Fail(path, TError::FromErrno(TErrorKind::TargetError, path, renameError));
      return true;
    }
    out.SavedPath = path;
    out.Outcome = TSavedFile::TOutcome::Saved;
    if (zeroFilled > 0 || ignored) {
      // Every byte is there, but some are zeros standing in for sectors that could not be read.
      TError e = Make(TErrorKind::ReadError, path,
                      zeroFilled > 0 ? std::to_string(zeroFilled) + " sector(s) could not be read and were saved as zeros"
                                     : "sectors that could not be read were saved as zeros");
      Fail(path, std::move(e));
    } else if (!data->Damage.empty()) {
      Fail(path, Make(TErrorKind::Corrupt, path, data->Damage + "; those bytes were saved as zeros"));
    } else {
      ++Report.Files;
    }
    if (!meta.Warning.empty()) Report.Warnings.push_back(path + ": " + meta.Warning);
    return true;
  }

  const TSaveOptions& options_;
  TSaveQuestions& questions_;
  TStatusDialog* status_;
  TOverwritePolicy overwrite_;
  bool foldersAnswered_ = false;
  TWalkBudget sizeBudget_;
  TWalkBudget saveBudget_;
  std::unique_ptr<AlignedBuffer> buffer_;
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
