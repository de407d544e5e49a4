#include "disk/SplitRead.h"

#include <future>

namespace salvex {

ssize_t ReadInHalves(char* buffer, size_t length, uint64_t offset, uint32_t align, size_t splitAt,
                     const TRangeRead& read) {
  const size_t half = align > 0 && length >= splitAt ? length / 2 / align * align : 0;
  if (half == 0) return read(buffer, length, offset);
  auto second = std::async(std::launch::async, [&] { return read(buffer + half, length - half, offset + half); });
  const ssize_t first = read(buffer, half, offset);
  const ssize_t rest = second.get();
  if (first != ssize_t(half)) return first;
  return ssize_t(half) + (rest > 0 ? rest : 0);
}

}  // namespace salvex
