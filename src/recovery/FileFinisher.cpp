#include "recovery/FileFinisher.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "common/Host.h"

namespace salvex {

TFolderFd::~TFolderFd() {
  if (Modified) {
    const timespec times[2] = {{0, UTIME_OMIT}, *Modified};
    ::futimens(Fd, times);
  }
  ::close(Fd);
}

TFinishJob::~TFinishJob() {
  if (Fd < 0) return;  // only when the save ended by an exception before the file was finished
  ::close(Fd);
  if (!Anonymous) ::unlinkat(DirFd, Temporary.c_str(), 0);
}

namespace {
bool IsFull(int error) { return error == ENOSPC || error == EDQUOT; }

// Whether a file without a name can be linked by its descriptor alone (older kernels ask
// CAP_DAC_READ_SEARCH for it; through /proc it would cost more than the rename it saves): 1 yes,
// 0 no, -1 not known yet.
std::atomic<int> linkByFd{-1};
}  // namespace

void AllowAnonymousFiles(bool allowed) { linkByFd = allowed ? -1 : 0; }

int OpenTargetFile(TFolderFd& dir, const std::string& temporary, bool& anonymous) {
  anonymous = false;
  // A file made without a name is one directory operation less than a temporary name and a
  // rename, and an interrupted save leaves nothing behind.
  if (linkByFd.load(std::memory_order_relaxed) != 0 && !dir.NoAnonymous) {
    const int fd = ::openat(dir.Fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (linkByFd.load(std::memory_order_relaxed) == 1) {
        anonymous = true;
        return fd;
      }
      // Whether it can be named later is learnt by naming the first now, under its temporary name.
      if (::linkat(fd, "", dir.Fd, temporary.c_str(), AT_EMPTY_PATH) == 0) {
        linkByFd = 1;
        return fd;
      }
      if (errno == ENOENT || errno == EPERM) linkByFd = 0;
      ::close(fd);
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      dir.NoAnonymous = true;
    }
  }
  return ::openat(dir.Fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool TFileOutcome::TargetFull() const {
  return Error && Error->Kind == TErrorKind::TargetError && IsFull(Error->Errno);
}

ssize_t CopyRange(int from, off_t& offset, int to, size_t count) {
  // copy_file_range lets the file system share or copy the blocks itself; between file systems it
  // may not be offered, and sendfile does the same copy in the kernel.
  static std::atomic<bool> rangeCopies{true};
  // The source whose file system would not copy to the target's (an image on a disk saved to a
  // tmpfs): every file of a save is refused alike, so its later files go to sendfile at once.
  static std::atomic<int> refusedSource{-1};
  if (rangeCopies.load(std::memory_order_relaxed) && refusedSource.load(std::memory_order_relaxed) != from) {
    loff_t in = offset;
    const ssize_t n = ::copy_file_range(from, &in, to, nullptr, count, 0);
    if (n >= 0) {
      offset = in;
      return n;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) return n;
    if (errno == ENOSYS) rangeCopies.store(false, std::memory_order_relaxed);
    if (errno == EXDEV || errno == EOPNOTSUPP) refusedSource.store(from, std::memory_order_relaxed);
  }
  return ::sendfile(to, from, &offset, count);
}

uint64_t CopyExtents(const std::vector<TPlainExtent>& extents, int fd, int& error) {
  uint64_t copied = 0;
  for (const TPlainExtent& e : extents) {
    off_t from = off_t(e.Offset);
    uint64_t left = e.Length;
    while (left > 0) {
      const ssize_t n = CopyRange(e.Fd, from, fd, size_t(std::min<uint64_t>(left, 1 << 30)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : 0;
        return copied;
      }
      copied += uint64_t(n);
      left -= uint64_t(n);
    }
  }
  return copied;
}

namespace {

// Closes a file that has no name: nothing of it is left.
void Drop(TFinishJob& j, int error) {
  if (error != 0) j.Outcome.Refused(error);
  ::close(j.Fd);
  j.Fd = -1;
  j.Anonymous = false;
  j.Outcome.Stage = TFileOutcome::TStage::Removed;
}

// Names a file made without a name, while it is still open. True when it is done with; false when
// it has been given its temporary name and is finished as any other (partial, replacing a file that
// was there, or its name taken).
bool NameAnonymous(TFinishJob& j) {
  using TStage = TFileOutcome::TStage;
  TFileOutcome& o = j.Outcome;
  if (o.TargetFull()) {
    Drop(j, 0);  // its bytes would take the room of files that fit
    return true;
  }
  if (o.Whole() && !j.Replace) {
    // Fails on a name that is there, as a rename that may not replace does.
    if (::linkat(j.Fd, "", j.DirFd, j.Name.c_str(), AT_EMPTY_PATH) == 0) {
      j.Anonymous = false;
      const int closed = ::close(j.Fd);
      const int error = errno;
      j.Fd = -1;
      if (closed == 0) {
        o.Stage = TStage::Named;
        return true;
      }
      // Not all of it may have reached the target: not under the file's own name.
      o.Refused(error);
      const std::string partial = j.Name + ".partial";
      if (!o.TargetFull() && ::renameat(j.DirFd, j.Name.c_str(), j.DirFd, partial.c_str()) == 0) {
        o.Stage = TStage::Partial;
        return true;
      }
      ::unlinkat(j.DirFd, j.Name.c_str(), 0);
      o.Stage = TStage::Removed;
      return true;
    }
    if (errno != EEXIST) {
      Drop(j, errno);
      return true;
    }
  }
  if (::linkat(j.Fd, "", j.DirFd, j.Temporary.c_str(), AT_EMPTY_PATH) != 0) {
    Drop(j, errno);
    return true;
  }
  j.Anonymous = false;
  return false;
}

}  // namespace

void Finish(TFinishJob& j) {
  TFileOutcome& o = j.Outcome;
  using TStage = TFileOutcome::TStage;
  if (!j.Plain.empty()) {
    int error = 0;
    o.Written = CopyExtents(j.Plain, j.Fd, error);
    j.Plain.clear();
    if (o.Written < j.Size) {
      o.Stage = TStage::Short;
      if (IsFull(error)) o.Refused(error);
      return;
    }
  }
  if (j.Meta.Modified) {
    const timespec times[2] = {{0, UTIME_OMIT}, *j.Meta.Modified};
    ::futimens(j.Fd, times);
  }
  const bool there = j.Dir && !j.Dir->Fresh;
  if (j.Meta.ReadOnly || there) {
    struct stat own {};
    if (::fstat(j.Fd, &own) == 0) {
      j.Key = {own.st_dev, own.st_ino};
      if (j.Meta.ReadOnly) ::fchmod(j.Fd, own.st_mode & ~mode_t(0222) & 07777);
    }
  }
  if (j.Anonymous && NameAnonymous(j)) return;
  if (::close(j.Fd) != 0) o.Refused(errno);
  j.Fd = -1;
  if (o.TargetFull()) {
    // Left out rather than kept in part: its bytes would take the room of files that fit.
    ::unlinkat(j.DirFd, j.Temporary.c_str(), 0);
    o.Stage = TStage::Removed;
    return;
  }
  if (j.Replace) {
    // Only the file the policy let go is replaced; a file of this save that took the name since
    // (on a target that folds letter case) sends this one to the saving thread for another name.
    struct stat st {};
    if (::fstatat(j.DirFd, j.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        TEntryKey{st.st_dev, st.st_ino} != j.Replaces)
      j.Replace = false;
  }
  if (!o.Whole()) {
    // Never over a file: one that was there is the policy's to replace, one of this save's keeps it.
    const std::string partial = j.Name + ".partial";
    if (::renameat2(j.DirFd, j.Temporary.c_str(), j.DirFd, partial.c_str(), RENAME_NOREPLACE) == 0) {
      o.Stage = TStage::Partial;
      return;
    }
    if (errno == EEXIST || errno == EINVAL) {
      o.Stage = TStage::Taken;
      return;
    }
  } else if (!j.Replace) {
    // The name may have been taken since it was looked for (names the target file system does not
    // tell apart); in a folder this save made it is only looked for now.
    if (::renameat2(j.DirFd, j.Temporary.c_str(), j.DirFd, j.Name.c_str(), RENAME_NOREPLACE) == 0) {
      o.Stage = TStage::Named;
      return;
    }
    // EINVAL: the file system cannot refuse to replace; the saving thread looks first, as elsewhere.
    if (errno == EEXIST || errno == EINVAL) {
      o.Stage = TStage::Taken;
      return;
    }
    o.Refused(errno);
  } else {
    if (::renameat(j.DirFd, j.Temporary.c_str(), j.DirFd, j.Name.c_str()) == 0) {
      o.Stage = TStage::Named;
      return;
    }
    o.Refused(errno);
  }
  ::unlinkat(j.DirFd, j.Temporary.c_str(), 0);
  o.Stage = TStage::Removed;
}

void Abandon(TFinishJob& j) {
  if (j.Fd >= 0) ::close(j.Fd);
  j.Fd = -1;
  if (!j.Anonymous) ::unlinkat(j.DirFd, j.Temporary.c_str(), 0);
  j.Anonymous = false;
  j.Plain.clear();
  j.Outcome.Stage = TFileOutcome::TStage::Abandoned;
}

TFinisher::~TFinisher() {
  Flush();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TFinisher::WaitUntil(size_t count) {
  Flush();
  if (finished_.load() >= count) return;
  std::unique_lock lock(mutex_);
  wanted_ = count;
  waiting_ = true;
  // In slices, so that a window stays responsive while a slow target takes its time.
  while (!done_.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished_.load() >= count; })) {
    lock.unlock();
    Host().ProcessMessages();
    lock.lock();
  }
  waiting_ = false;
}

void TFinisher::Flush() noexcept {
  const size_t waiting = taken_ + pending_.size() - handedOver_;
  if (waiting == 0) return;
  if (!thread_.joinable() && !inline_) {
    try {
      thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      inline_ = true;  // no thread to be had: finish here
    }
  }
  if (inline_) {
    for (size_t i = pending_.size() - waiting; i < pending_.size(); ++i) Run(*pending_[i]);
    finished_ += waiting;
    handedOver_ += waiting;
    return;
  }
  {
    std::lock_guard lock(mutex_);
    for (size_t i = pending_.size() - waiting; i < pending_.size(); ++i) queue_.push_back(pending_[i].get());
    handedOver_ += waiting;
  }
  work_.notify_one();
}

void TFinisher::Run(TFinishJob& j) { Finish(j); }

void TFinisher::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::deque<TFinishJob*> batch;
    batch.swap(queue_);
    lock.unlock();
    for (TFinishJob* j : batch) {
      Run(*j);
      ++finished_;
      if (waiting_ && finished_.load() >= wanted_.load()) {
        std::lock_guard wake(mutex_);
        done_.notify_all();
      }
    }
    lock.lock();
  }
}

}  // namespace salvex
