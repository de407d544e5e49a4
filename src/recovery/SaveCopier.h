#pragma once
#include <cstdint>
#include <memory>

#include "common/AlignedBuffer.h"
#include "recovery/FileFinisher.h"

namespace salvex {

class TStatusDialog;

// Copies a file's bytes into its open target file: what lies unchanged in an image file through
// the kernel, the rest read piece by piece; and says in the job's outcome how far it got and why
// not further.
class TSaveCopier {
 public:
  static constexpr size_t kPiece = 1 << 20;
  static constexpr uint64_t kHandOverCopy = 4 * kPiece;  // bounds how long a wait for the thread lasts

  TSaveCopier(const TSaveOptions& options, TStatusDialog* status) : options_(options), status_(status) {}

  // Copies `data` into j.Fd, or (a small file that lies whole in an image file, when `handOver`)
  // leaves the copy to the finishing thread in j.Plain. `data` may be opened again where the kernel
  // stopped short.
  void Copy(TCustomFile& f, std::unique_ptr<TDataStream>& data, TFinishJob& j, bool handOver);
  // The kernel copied less of a handed-over file than the image promised: the rest is read here
  // as for any other file, and the file finished here.
  void Resume(TFinishJob& j);

 private:
  bool Cancelled() const;
  // Reads the stream from `written` on and writes it to `fd`; returns how far it got.
  uint64_t ReadRest(TDataStream& data, const TCustomFile& f, int fd, uint64_t written, uint64_t size, int& writeError);
  uint64_t CopyPlain(TDataStream& data, int fd, uint64_t size);
  // Why the copy is not whole, if it is not: a write error outranks a read failure, which outranks
  // bytes that did not come.
  void Judge(TFileOutcome& o, bool whole, const std::string& failure, int writeError) const;

  const TSaveOptions& options_;
  TStatusDialog* status_;
  std::unique_ptr<AlignedBuffer> buffer_;
};

}  // namespace salvex
