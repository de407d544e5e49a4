#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace salvex {

// Reads [offset, offset + length) through `read` (bytes read from the start of its range, -1 with
// errno when none), as two requests at once when `length` reaches `splitAt`, the halves cut on an
// `align` boundary. Returns the bytes read from the start, as one read would: a failure in the
// second half keeps the whole first; -1 with the first request's errno when nothing was read.
using TRangeRead = std::function<ssize_t(char* buffer, size_t length, uint64_t offset)>;
ssize_t ReadInHalves(char* buffer, size_t length, uint64_t offset, uint32_t align, size_t splitAt,
                     const TRangeRead& read);

}  // namespace salvex
