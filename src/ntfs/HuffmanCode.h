#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace salvex::ntfs {

// A canonical Huffman code (XPRESS, LZX), decoded a bit at a time by code length: at most
// MaxLength steps a symbol, cheaper than filling a lookup table for every small chunk.
template <unsigned MaxLength, size_t MaxSymbols>
class TCanonicalCode {
 public:
  // False for lengths that over-subscribe the code or leave it incomplete. A code without any
  // symbol is accepted only when `emptyAllowed` (it may then not be used).
  bool Build(std::span<const uint8_t> lengths, bool emptyAllowed) {
    if (lengths.size() > MaxSymbols) return false;
    count_.fill(0);
    for (uint8_t length : lengths) {
      if (length > MaxLength) return false;
      ++count_[length];
    }
    count_[0] = 0;
    std::array<uint16_t, MaxLength + 1> offsets{};
    int left = 1;
    unsigned used = 0;
    for (unsigned length = 1; length <= MaxLength; ++length) {
      left = 2 * left - count_[length];
      if (left < 0) return false;
      offsets[length] = uint16_t(offsets[length - 1] + count_[length - 1]);
      used += count_[length];
    }
    empty_ = used == 0;
    if (empty_ ? !emptyAllowed : left != 0) return false;
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
      if (lengths[symbol]) sorted_[offsets[lengths[symbol]]++] = uint16_t(symbol);
    return true;
  }

  bool Empty() const { return empty_; }

  // The symbol whose code starts the MaxLength bits given (most significant first), and its
  // length; -1 when none does.
  int Decode(uint32_t bits, unsigned& length) const {
    int code = 0, first = 0, index = 0;
    for (length = 1; length <= MaxLength; ++length) {
      code |= int(bits >> (MaxLength - length)) & 1;
      const int count = count_[length];
      if (code - first < count) return sorted_[index + code - first];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;
  }

 private:
  std::array<uint16_t, MaxLength + 1> count_{};
  std::array<uint16_t, MaxSymbols> sorted_{};
  bool empty_ = true;
};

}  // namespace salvex::ntfs
