#include "recovery/SaveCopier.h"

#include <algorithm>
#include <cerrno>

#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "disk/PhysicalDisk.h"
#include "recovery/SaveOutcome.h"
#include "recovery/SaveTarget.h"
#include "salvex/StringIds.h"

namespace salvex {

bool TSaveCopier::Cancelled() const { return status_ && status_->Cancelled; }

void TSaveCopier::Judge(TFileOutcome& o, bool whole, const std::string& failure, int writeError) const {
  o.Error.reset();
  if (writeError != 0)
    o.Refused(writeError);
  else if (!failure.empty())
    o.Error = SaveError(TErrorKind::Corrupt, {}, failure);
  else if (!whole)
    o.Error = Cancelled() ? SaveError(TErrorKind::Cancelled, {}, {})
                          : SaveError(TErrorKind::ReadError, {}, LoadText(txt::DataEndedEarly));
}

uint64_t TSaveCopier::ReadRest(TDataStream& data, const TCustomFile& f, int fd, uint64_t written, uint64_t size,
                               int& writeError) {
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

uint64_t TSaveCopier::CopyPlain(TDataStream& data, int fd, uint64_t size) {
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

void TSaveCopier::Copy(TCustomFile& f, std::unique_ptr<TDataStream>& data, TFinishJob& j, bool handOver) {
  const uint64_t size = j.Size;
  const int fd = j.Fd;
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
    handOverCopy = handOver && plain == size && size > 0;
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
  TFileOutcome& o = j.Outcome;
  std::string failure;
  if (!data) {
    failure = "the file has no data on the volume";
  } else {
    o.ZeroFilled = data->ZeroFilledSectors;
    failure = data->Failure;
    o.Damage = data->Damage;
  }
  o.Written = written;
  Judge(o, handOverCopy || written == size, failure, writeError);
  o.Ignored = IgnoredReadCount() != ignoredBefore;
}

void TSaveCopier::Resume(TFinishJob& j) {
  TFileOutcome& o = j.Outcome;
  o.Stage = TFileOutcome::TStage::Copying;
  const uint64_t ignoredBefore = IgnoredReadCount();
  std::unique_ptr<TDataStream> data = j.Source->OpenData(options_.Read);
  std::string failure;
  int writeError = 0;
  if (!data || !data->Failure.empty()) {
    failure = data ? data->Failure : LoadText(txt::NoDataOnVolume);
  } else {
    data->Skip(o.Written);
    o.Written = ReadRest(*data, *j.Source, j.Fd, o.Written, j.Size, writeError);
    o.ZeroFilled = data->ZeroFilledSectors;
    failure = data->Failure;
    o.Damage = data->Damage;
  }
  o.Ignored = o.Ignored || IgnoredReadCount() != ignoredBefore;
  Judge(o, o.Written == j.Size, failure, writeError);
  Finish(j);
}

}  // namespace salvex
