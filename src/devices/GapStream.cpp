#include "devices/GapStream.h"

#include <algorithm>

#include "common/StringTable.h"
#include "devices/Model.h"
#include "salvex/StringIds.h"

namespace salvex {

TGapStream::TGapStream(std::unique_ptr<TDataStream> inner, uint64_t firstPiece, uint64_t gap, uint64_t size)
    : inner_(std::move(inner)), firstPiece_(firstPiece), gap_(gap), size_(size) {}

void TGapStream::TakeState() {
  ZeroFilledSectors = inner_->ZeroFilledSectors;
  Damage = inner_->Damage;
  DamagedUnits = inner_->DamagedUnits;
  Failure = inner_->Failure;
}

size_t TGapStream::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || count == 0) return 0;
  if (position_ == firstPiece_ && !gapPassed_) {
    // The other file's bytes between the pieces are read and dropped: the stream goes forward only.
    scratch_.resize(size_t(std::min<uint64_t>(gap_, 1 << 20)));
    for (uint64_t left = gap_; left > 0;) {
      const size_t n = inner_->Read(scratch_.data(), size_t(std::min<uint64_t>(left, scratch_.size())));
      if (n == 0) {
        TakeState();
        if (Failure.empty()) Failure = LoadText(txt::DataEndedEarly);  // the data ended before the file's size
        return 0;
      }
      left -= n;
    }
    gapPassed_ = true;
  }
  uint64_t limit = size_ - position_;
  if (position_ < firstPiece_) limit = std::min(limit, firstPiece_ - position_);
  const size_t n = inner_->Read(buffer, size_t(std::min<uint64_t>(count, limit)));
  position_ += n;
  TakeState();
  return n;
}

std::unique_ptr<TDataStream> WithGap(std::unique_ptr<TDataStream> data, const TCustomFile& file) {
  if (!data || file.GapBytes == 0) return data;
  return std::make_unique<TGapStream>(std::move(data), file.FirstPieceBytes, file.GapBytes, file.Size);
}

}  // namespace salvex
