#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "devices/DataStream.h"
#include "recovery/SaveEngine.h"

namespace salvex {

class TCustomFile;

// An entry of the target by its identity, so that one the save made is told from one that was there.
using TEntryKey = std::pair<dev_t, ino_t>;

// A folder of the target, open: the save and the files still being finished in it share it.
// Its time is set last, once nothing more is written into it.
struct TFolderFd {
  int Fd;
  std::optional<timespec> Modified;
  // Made by this save: whatever lies in it was written by it.
  bool Fresh = false;
  // The saving thread's: names given in the folder, and (in a folder that was there) the entries made.
  TNameClaims Claims;
  std::set<TEntryKey> Made;
  bool NoAnonymous = false;  // its file system makes no files without a name (O_TMPFILE)
  TFolderFd(int fd, std::optional<timespec> modified, bool fresh) : Fd(fd), Modified(modified), Fresh(fresh) {}
  TFolderFd(const TFolderFd&) = delete;
  TFolderFd& operator=(const TFolderFd&) = delete;
  ~TFolderFd();
};

// What became of a file's bytes and of its name, from the copy through the finishing thread to
// the report.
struct TFileOutcome {
  // Copying: not finished yet; Short: the kernel copied less than the image promised, the saving
  // thread reads the rest; Named: under its own name; Partial: under "<name>.partial"; Taken: left
  // under its temporary name for the saving thread to find another name or ask the overwrite
  // policy (for "<name>.partial" when it is not whole); Removed: not kept (Error says why); Kept:
  // the policy kept what has the name;
  // Abandoned: not copied, the target was full.
  enum class TStage { Copying, Short, Named, Partial, Taken, Removed, Kept, Abandoned };
  TStage Stage = TStage::Copying;
  uint64_t Written = 0;
  // Why the file is not whole, or could not be named: a read failure (Corrupt), bytes that never
  // came (ReadError, or Cancelled), the target's refusal (TargetError with Errno). Empty: every
  // byte was read and written.
  std::optional<TError> Error;
  // Whole, but: sectors read as zeros, read errors the user ignored, a damaged format's reason.
  uint64_t ZeroFilled = 0;
  bool Ignored = false;
  std::string Damage;
  std::string NeverRead;  // TSaveOptions::NeverRead's reason

  bool Whole() const { return !Error; }
  // The target refused with errno `error`; a refusal already recorded stands.
  void Refused(int error) {
    if (Error && Error->Kind == TErrorKind::TargetError && Error->Errno != 0) return;
    Error.emplace();
    Error->Kind = TErrorKind::TargetError;
    Error->Errno = error;
  }
  // The target ran out of space (or quota) for the file.
  bool TargetFull() const;
};

// What is left of a file once its bytes are written: its time and read-only bit, closing it and
// giving it its name. Those system calls cost about as much as copying a small file, so a second
// thread makes them while the next file is read and copied.
struct TFinishJob {
  std::shared_ptr<TFolderFd> Dir;
  int DirFd = -1;
  bool Replace = false;  // the name was found taken by a file that was there, and may be replaced
  TEntryKey Replaces{};  // that file
  int Fd = -1;           // the file, open under its temporary name or (Anonymous) under none yet
  bool Anonymous = false;
  std::string Temporary, Name;
  std::string Safe;      // the file's own name, made safe
  std::string Wanted;    // that name, short enough: numbered when another item of the save has it
  TEntryKey Key{};       // the file's identity, taken in a folder that was there (Dir->Fresh false)
  TFileMeta Meta;
  // A small file that lies whole in an image file is copied by the thread as well. When the kernel
  // copies less (the image ends early), the stage becomes Short and the saving thread reads the rest.
  std::vector<TPlainExtent> Plain;
  TCustomFile* Source = nullptr;
  uint64_t Size = 0;
  TFileOutcome Outcome;
  // For the report, on the saving thread.
  TSavedFile Out;

  TFinishJob() = default;
  TFinishJob(const TFinishJob&) = delete;
  TFinishJob& operator=(const TFinishJob&) = delete;
  ~TFinishJob();
};

// Opens a new file in `dir` to be written and named when finished: without any name where the
// target lets a file be named later by its descriptor (`anonymous`), else under `temporary`, never
// through a link. -1 with errno when neither can be made.
int OpenTargetFile(TFolderFd& dir, const std::string& temporary, bool& anonymous);
// Whether files may be made without a name at all (tests turn it off to cover temporary names).
void AllowAnonymousFiles(bool allowed);

// Copies up to `count` bytes at `offset` of `from` to the current position of `to` in the kernel
// (copy_file_range, else sendfile) and moves `offset` past them; the system call's result.
ssize_t CopyRange(int from, off_t& offset, int to, size_t count);

// Bytes copied from the extents to `fd` by the kernel, up to the first it does not copy whole.
// `error` is the reason it stopped short (0 at the end of the source).
uint64_t CopyExtents(const std::vector<TPlainExtent>& extents, int fd, int& error);

// Copies a job's extents if it has them, sets the time and read-only bit, closes the file and gives
// it its name (or "<name>.partial"). Runs on either thread.
void Finish(TFinishJob& j);

// Drops a file that cannot be finished because the target is full: closes and removes its
// temporary file. Its stage becomes Abandoned.
void Abandon(TFinishJob& j);

// Finishes files in the order they were handed over. Whatever was handed over is finished, also
// when the save ends by an exception: the thread only stops with an empty queue. Files are handed
// over in batches and their completion is counted without a lock, so that waking the thread does
// not cost more than the work it takes over.
class TFinisher {
 public:
  ~TFinisher();

  void Submit(std::unique_ptr<TFinishJob> job) {
    pending_.push_back(std::move(job));
    if (pending_.size() - (handedOver_ - taken_) >= kBatch) Flush();
  }

  // The oldest job handed over, once finished.
  std::unique_ptr<TFinishJob> Next() {
    if (pending_.empty() || finished_.load() == taken_) return nullptr;
    std::unique_ptr<TFinishJob> j = std::move(pending_.front());
    pending_.pop_front();
    ++taken_;
    return j;
  }

  // Until `count` jobs in all are finished.
  void WaitUntil(size_t count);

  size_t Submitted() const { return taken_ + pending_.size(); }
  size_t Reported() const { return taken_; }
  // Submitted and not yet finished by the thread: how far it lags behind.
  size_t Unfinished() const { return Submitted() - finished_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kBatch = 16;

  void Flush() noexcept;
  void Run(TFinishJob& j);

  void Work();

  std::deque<std::unique_ptr<TFinishJob>> pending_;  // the saving thread's: not yet reported, oldest first
  size_t taken_ = 0;                                 // reported so far
  size_t handedOver_ = 0;                            // given to the thread so far
  std::atomic<size_t> finished_{0};                  // finished by the thread so far, in order
  std::atomic<bool> waiting_{false};
  std::atomic<size_t> wanted_{0};
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<TFinishJob*> queue_;
  bool stop_ = false, inline_ = false;
  std::thread thread_;
};

}  // namespace salvex
