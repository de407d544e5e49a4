#pragma once
#include <cstdint>
#include <string>

#include "filetypes/FileEnd.h"

namespace salvex {

// Why an ISO base media file (MP4, MOV, 3GP, M4A) found by its content is not whole, read from its
// boxes; empty when nothing says so.
// - `size` given (its end was found): the AVC/HEVC video samples its index (the moov box's sample
//   sizes, chunks and chunk offsets) places must each be a chain of NAL units whose lengths add up
//   to the sample's size. Media data written in two pieces fails where the first piece ends.
// - `size` 0 (its end was not found): media data (mdat) followed by no further box is the first
//   piece of a fragmented file whose index follows elsewhere.
std::string IsoMediaDoubt(TByteSource& source, uint64_t size);

}  // namespace salvex
