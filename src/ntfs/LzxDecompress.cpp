#include <algorithm>
#include <array>
#include <span>

#include "ntfs/HuffmanCode.h"
#include "ntfs/NTFSCompression.h"

namespace salvex::ntfs {

// LZX as the Windows Overlay Filter (and a WIM) stores it: every 32 KiB chunk on its own, with a
// 32 KiB window, recent offsets that start at 1, and call instructions translated against a file
// size of 12,000,000.
namespace {
constexpr unsigned kPositionSlots = 30;  // what a 32 KiB window needs
constexpr unsigned kMainSymbols = 256 + 8 * kPositionSlots;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kMaxCodeLength = 16;
constexpr size_t kDefaultBlockSize = 32768;
constexpr int32_t kTranslationSize = 12000000;

constexpr unsigned FooterBits(unsigned slot) { return slot < 4 ? 0 : (slot - 2) / 2; }

constexpr std::array<uint32_t, kPositionSlots> kSlotBase = [] {
  std::array<uint32_t, kPositionSlots> base{};
  for (unsigned slot = 1; slot < kPositionSlots; ++slot) base[slot] = base[slot - 1] + (1u << FooterBits(slot - 1));
  return base;
}();

// Bits most significant first out of 16-bit little-endian words. Past the end of the input they
// read as zeros; the output bound ends decoding regardless, and Overran() tells afterwards.
class TBitReader {
 public:
  explicit TBitReader(std::span<const uint8_t> in) : in_(in) {}

  uint32_t Peek16() const {
    const uint32_t both = (Word(bit_ / 16) << 16) | Word(bit_ / 16 + 1);
    return (both << (bit_ % 16)) >> 16;
  }
  uint32_t Read(unsigned count) {  // at most 16
    if (count == 0) return 0;
    const uint32_t value = Peek16() >> (16 - count);
    bit_ += count;
    return value;
  }
  void Skip(unsigned count) { bit_ += count; }
  // To the start of the next word (a whole word when already at one): where an uncompressed
  // block's bytes begin. Returns that byte offset.
  size_t AlignToWord() {
    bit_ = (bit_ / 16 + 1) * 16;
    return bit_ / 8;
  }
  void MoveToByte(size_t byte) { bit_ = byte * 8; }
  bool Overran() const { return bit_ > in_.size() * 8; }

 private:
  uint32_t Word(size_t index) const {
    const size_t at = index * 2;
    return at + 1 < in_.size() ? uint32_t(in_[at] | in_[at + 1] << 8) : 0;
  }
  std::span<const uint8_t> in_;
  size_t bit_ = 0;
};

using TCode = TCanonicalCode<kMaxCodeLength, kMainSymbols>;

// The next symbol of `code`, or -1.
int Next(const TCode& code, TBitReader& bits) {
  unsigned length = 0;
  const int symbol = code.Decode(bits.Peek16(), length);
  if (symbol >= 0) bits.Skip(length);
  return symbol;
}

// Code lengths sent as changes to the previous ones (kept from block to block), through a small
// code of their own: 0-16 change one length, 17 and 18 are runs of zeros, 19 a run of one change.
bool ReadLengths(TBitReader& bits, std::span<uint8_t> lengths) {
  std::array<uint8_t, kPretreeSymbols> pre{};
  for (uint8_t& length : pre) length = uint8_t(bits.Read(4));
  TCode code;
  if (!code.Build(pre, false)) return false;
  for (size_t i = 0; i < lengths.size();) {
    const int symbol = Next(code, bits);
    if (symbol < 0) return false;
    if (symbol <= 16) {
      lengths[i] = uint8_t((lengths[i] + 17 - symbol) % 17);
      ++i;
      continue;
    }
    size_t run = 0;
    uint8_t value = 0;
    if (symbol == 17) {
      run = 4 + bits.Read(4);
    } else if (symbol == 18) {
      run = 20 + bits.Read(5);
    } else {
      run = 4 + bits.Read(1);
      const int change = Next(code, bits);
      if (change < 0 || change > 16) return false;
      value = uint8_t((lengths[i] + 17 - change) % 17);
    }
    if (run > lengths.size() - i) return false;
    std::fill_n(lengths.begin() + ptrdiff_t(i), run, value);
    i += run;
  }
  return true;
}

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The compressor turned the relative targets of E8 (call) instructions into absolute ones, which
// repeat more often; turn them back. The last ten bytes are never translated.
void UndoCallTranslation(std::span<uint8_t> out) {
  if (out.size() <= 10) return;
  for (size_t i = 0; i < out.size() - 10; ++i) {
    if (out[i] != 0xE8) continue;
    const int32_t at = int32_t(i);
    const int32_t absolute = int32_t(Le32(&out[i + 1]));
    if (absolute >= -at && absolute < kTranslationSize) {
      const uint32_t relative = uint32_t(absolute >= 0 ? absolute - at : absolute + kTranslationSize);
      for (int k = 0; k < 4; ++k) out[i + 1 + size_t(k)] = uint8_t(relative >> (8 * k));
    }
    i += 4;
  }
}

bool DecodeLzx(std::span<const uint8_t> in, std::span<uint8_t> out) {
  TBitReader bits(in);
  std::array<uint8_t, kMainSymbols> mainLengths{};
  std::array<uint8_t, kLengthSymbols> lengthLengths{};
  std::array<uint32_t, 3> recent = {1, 1, 1};
  size_t o = 0;
  while (o < out.size()) {
    const unsigned type = bits.Read(3);
    size_t blockSize = bits.Read(1) ? kDefaultBlockSize : bits.Read(16);
    if (blockSize == 0) return false;
    blockSize = std::min(blockSize, out.size() - o);  // the last block of a short chunk may say 32 KiB

    if (type == 3) {  // stored: the recent offsets, then the bytes, padded to a whole word
      size_t at = bits.AlignToWord();
      if (at > in.size() || in.size() - at < 12) return false;
      for (uint32_t& offset : recent) {
        offset = Le32(&in[at]);
        at += 4;
      }
      if (in.size() - at < blockSize) return false;
      std::copy_n(in.begin() + ptrdiff_t(at), blockSize, out.begin() + ptrdiff_t(o));
      o += blockSize;
      bits.MoveToByte(at + blockSize + (blockSize & 1));
      continue;
    }
    if (type != 1 && type != 2) return false;  // 1 verbatim, 2 with aligned offset bits
    TCode aligned;
    if (type == 2) {
      std::array<uint8_t, kAlignedSymbols> alignedLengths{};
      for (uint8_t& length : alignedLengths) length = uint8_t(bits.Read(3));
      if (!aligned.Build(alignedLengths, true)) return false;
    }
    TCode main, lengths;
    if (!ReadLengths(bits, std::span(mainLengths).first(256)) || !ReadLengths(bits, std::span(mainLengths).subspan(256)) ||
        !ReadLengths(bits, lengthLengths) || !main.Build(mainLengths, false) || !lengths.Build(lengthLengths, true))
      return false;

    const size_t end = o + blockSize;
    while (o < end) {
      const int symbol = Next(main, bits);
      if (symbol < 0) return false;
      if (symbol < 256) {
        out[o++] = uint8_t(symbol);
        continue;
      }
      const unsigned match = unsigned(symbol) - 256;
      size_t length = match & 7;
      if (length == 7) {
        const int more = Next(lengths, bits);
        if (more < 0) return false;
        length += size_t(more);
      }
      length += 2;
      const unsigned slot = match >> 3;
      uint32_t offset = 0;
      if (slot < 3) {  // a recent offset, moved to the front
        offset = recent[slot];
        recent[slot] = recent[0];
        recent[0] = offset;
      } else {
        const unsigned footer = FooterBits(slot);
        uint32_t formatted = kSlotBase[slot];
        if (type == 2 && footer >= 3) {
          formatted += bits.Read(footer - 3) << 3;
          const int low = Next(aligned, bits);
          if (low < 0) return false;
          formatted += uint32_t(low);
        } else {
          formatted += bits.Read(footer);
        }
        offset = formatted - 2;
        recent = {offset, recent[0], recent[1]};
      }
      if (offset == 0 || offset > o || length > out.size() - o) return false;
      for (size_t k = 0; k < length; ++k, ++o) out[o] = out[o - offset];  // may overlap itself
    }
  }
  if (bits.Overran()) return false;
  UndoCallTranslation(out);
  return true;
}
}  // namespace

bool DecompressLzx(std::span<const uint8_t> in, std::span<uint8_t> out) {
  return ZerosUnless(!in.empty() && DecodeLzx(in, out), out);
}

}  // namespace salvex::ntfs
