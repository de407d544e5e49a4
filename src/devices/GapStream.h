#pragma once
#include <memory>
#include <vector>

#include "devices/DataStream.h"

namespace salvex {

class TCustomFile;

// A file's bytes with a gap left out: the first `firstPiece` bytes of `inner`, then, `gap` bytes
// further on, the rest up to `size`. `inner` covers both pieces and the gap between them.
class TGapStream : public TDataStream {
 public:
  TGapStream(std::unique_ptr<TDataStream> inner, uint64_t firstPiece, uint64_t gap, uint64_t size);
  uint64_t Size() const override { return size_; }
  size_t Read(uint8_t* buffer, size_t count) override;

 private:
  void TakeState();
  std::unique_ptr<TDataStream> inner_;
  uint64_t firstPiece_, gap_, size_, position_ = 0;
  bool gapPassed_ = false;
  std::vector<uint8_t> scratch_;
};

// `data` as it is, or through a TGapStream when the file is in two pieces; `data` must have been
// opened with file.Size + file.GapBytes bytes.
std::unique_ptr<TDataStream> WithGap(std::unique_ptr<TDataStream> data, const TCustomFile& file);

}  // namespace salvex
