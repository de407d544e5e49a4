#pragma once
#include <cstdint>
#include <span>

namespace salvex {

// What libjpeg-turbo's decoder makes of a JPEG held in memory.
struct TJpegCheck {
  bool Clean = false;      // every scan line decoded without a warning or an error, up to the end marker
  uint64_t FirstBad = 0;   // when not clean: bytes the decoder had taken in when it first complained
};

// Decodes the whole image (at 1/8 scale: the entropy-coded data is still read in full, so every
// Huffman code, restart marker and the exact length of each scan are checked). Corrupt data, a
// restart marker out of sequence, bytes left before the end marker or an end that comes too early
// each make it unclean.
TJpegCheck CheckJpegDecodes(std::span<const uint8_t> bytes);

}  // namespace salvex
