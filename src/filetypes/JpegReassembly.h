#pragma once
#include <cstdint>
#include <optional>

#include "filetypes/FileEnd.h"

namespace salvex {

// The bytes of `inner` with `gapBytes` left out after the first `firstBytes`: a file in two pieces.
class TGappedSource : public TByteSource {
 public:
  TGappedSource(TByteSource& inner, uint64_t firstBytes, uint64_t gapBytes)
      : inner_(inner), first_(firstBytes), gap_(gapBytes) {}
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) override;

 private:
  TByteSource& inner_;
  uint64_t first_, gap_;
};

// A JPEG in two pieces: its first FirstClusters clusters, then GapClusters clusters of other data,
// then the rest; Size bytes in all (the gap not counted).
struct TTwoPieces {
  uint64_t FirstClusters = 0;
  uint64_t GapClusters = 0;
  uint64_t Size = 0;
};

// Bifragment gap carving of a JPEG whose bytes, read straight on from its first cluster, stop
// decoding at `firstBad`: the split is tried at the cluster holding that byte and at the few
// before it (the decoder notices foreign data a little after it starts), and the continuation in
// each following cluster up to a bound, nearest first. A continuation must look like entropy-coded
// data (every 0xFF stuffed or a restart or end marker), lead to the end marker, and make the
// whole image decode cleanly; the first that does is taken.
std::optional<TTwoPieces> ReassembleJpeg(TByteSource& from, uint32_t clusterBytes, uint64_t firstBad);

// Whether the JPEG read straight on from the source's start decodes cleanly up to `end` (its end
// marker as found); when not, where the decoder first complained.
bool JpegDecodesStraight(TByteSource& from, uint64_t end, uint64_t& firstBad);

}  // namespace salvex
