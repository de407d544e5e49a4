#include "recovery/TargetTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/StatusDialog.h"
#include "recovery/SaveNames.h"
#include "salvex/StringIds.h"

namespace salvex {

bool TTargetTree::Open(TFolderTarget& t) {
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
        outcome_.Fail(path, SaveError(TErrorKind::TargetError, path, LoadText(txt::ExistsNotFolder)));
        t.Failed = true;
        return false;
      }
      if (overwrite_ == TOverwritePolicy::Ask && !foldersAnswered_) {
        if (outcome_.CatchUp) outcome_.CatchUp();
        const auto answer = questions_.EnterFolder(t.Shown);
        if (status_) status_->RestartClock();
        if (answer == TSaveQuestions::TAnswer::No) {
          outcome_.Report.Stopped = true;
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
      outcome_.Fail(path, TError::FromErrno(TErrorKind::TargetError, path, error));
      t.Failed = true;
      return false;
    }
    break;
  }
  const std::string path = t.Path.substr(0, t.Path.size() - 1);
  const int fd = ::openat(parent.Fd, t.Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    outcome_.Fail(path, TError::FromErrno(TErrorKind::TargetError, path, errno));
    t.Failed = true;
    return false;
  }
  if (t.Fresh && !parent.Fresh) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) parent.Made.insert({st.st_dev, st.st_ino});
  }
  if (const std::string why = RenameReason(t.Shown, t.Safe, t.Wanted, t.Name); !why.empty())
    outcome_.Report.Renamed.push_back(path + ": " + why);
  t.Handle = std::make_shared<TFolderFd>(fd, t.Meta.Modified, t.Fresh);
  t.Fd = fd;
  ++outcome_.Report.Folders;
  return true;
}

void TTargetTree::Refused(const TFolderTarget& dir, int error) {
  if (!dir.Parent && (error == EACCES || error == EPERM)) outcome_.Report.Stopped = true;
}

bool TTargetTree::ChooseName(TFolderFd& folder, const std::string& dirPath, const std::string& wanted,
                             TSavedFile& out, std::string& name, std::optional<TEntryKey>& replaces) {
  for (int tries = 0;; ++tries) {
    name = folder.Claims.Claim(wanted);
    out.Path = dirPath + name;
    if (folder.Fresh) return true;
    TEntryKey key{};
    const TNameHolder holder = WhoHolds(folder, name, &key);
    if (holder == TNameHolder::Nobody) return true;
    // One of this save's own (under another letter case), or a folder: the next name.
    if (holder != TNameHolder::FileBefore && tries < kMaxTries) continue;
    if (!PolicyReplaces(out, out.Path)) return false;
    replaces = key;
    return true;
  }
}

bool TTargetTree::PolicyReplaces(TSavedFile& out, const std::string& path) {
  if (overwrite_ == TOverwritePolicy::Ask) {
    if (outcome_.CatchUp) outcome_.CatchUp();
    const auto answer = questions_.ReplaceFile(path);
    if (status_) status_->RestartClock();
    if (answer == TSaveQuestions::TAnswer::All) overwrite_ = TOverwritePolicy::All;
    if (answer != TSaveQuestions::TAnswer::No) return true;
  } else if (overwrite_ != TOverwritePolicy::None) {
    return true;
  }
  ++outcome_.Report.Skipped;
  out.Outcome = TSavedFile::TOutcome::Skipped;
  return false;
}

void TTargetTree::Settle(TFinishJob& j) {
  TFolderFd& folder = *j.Dir;
  TSavedFile& out = j.Out;
  const std::string dirPath = out.Path.substr(0, out.Path.size() - j.Name.size());
  const char* temporary = j.Temporary.c_str();
  // A file not whole goes under "<name>.partial", which the same rules give.
  const bool whole = j.Outcome.Whole();
  const TFileOutcome::TStage named = whole ? TFileOutcome::TStage::Named : TFileOutcome::TStage::Partial;
  for (int tries = 0; tries < kMaxTries; ++tries) {
    const std::string name = whole ? j.Name : j.Name + ".partial";
    const TNameHolder holder = WhoHolds(folder, name);
    if (holder != TNameHolder::Nobody) {
      if (holder != TNameHolder::FileBefore) {
        j.Name = folder.Claims.Claim(j.Wanted);
        out.Path = dirPath + j.Name;
        continue;
      }
      if (!PolicyReplaces(out, dirPath + name)) {
        ::unlinkat(j.DirFd, temporary, 0);
        j.Outcome.Stage = TFileOutcome::TStage::Kept;
        return;
      }
      if (::renameat(j.DirFd, temporary, j.DirFd, name.c_str()) == 0) {
        j.Outcome.Stage = named;
        return;
      }
    } else if (::renameat2(j.DirFd, temporary, j.DirFd, name.c_str(), RENAME_NOREPLACE) == 0 ||
               (errno == EINVAL && ::renameat(j.DirFd, temporary, j.DirFd, name.c_str()) == 0)) {
      j.Outcome.Stage = named;
      return;
    } else if (errno == EEXIST) {
      continue;
    }
    j.Outcome.Refused(errno);
    break;
  }
  if (!j.Outcome.Error) j.Outcome.Refused(EEXIST);
  ::unlinkat(j.DirFd, temporary, 0);
  j.Outcome.Stage = TFileOutcome::TStage::Removed;
}

}  // namespace salvex
