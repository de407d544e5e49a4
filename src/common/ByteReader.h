#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace salvex {

// The one way on-disk bytes are read: little-endian fields at offsets, bounds-checked.
// A read outside the buffer yields 0 and sets a sticky flag, so a parser can read a whole
// structure and test Failed() once instead of checking every field.
class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> bytes) : data_(bytes) {}
  ByteReader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data), size) {}

  size_t Size() const { return data_.size(); }
  bool Failed() const { return failed_; }
  std::span<const uint8_t> Bytes() const { return data_; }

  // True when [offset, offset + length) lies inside the buffer; written so it cannot overflow.
  bool Has(size_t offset, size_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }

  uint8_t U8(size_t offset) const {
    if (!Has(offset, 1)) return Fail();
    return data_[offset];
  }
  uint16_t U16(size_t offset) const {
    if (!Has(offset, 2)) return Fail();
    return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
  }
  uint32_t U24(size_t offset) const {
    if (!Has(offset, 3)) return Fail();
    return data_[offset] | (data_[offset + 1] << 8) | (uint32_t(data_[offset + 2]) << 16);
  }
  uint32_t U32(size_t offset) const {
    if (!Has(offset, 4)) return Fail();
    return uint32_t(data_[offset]) | (uint32_t(data_[offset + 1]) << 8) |
           (uint32_t(data_[offset + 2]) << 16) | (uint32_t(data_[offset + 3]) << 24);
  }
  uint64_t U64(size_t offset) const {
    if (!Has(offset, 8)) return Fail();
    return uint64_t(U32(offset)) | (uint64_t(U32(offset + 4)) << 32);
  }
  // Little-endian unsigned of 0..8 bytes (run lists store fields of any width).
  uint64_t UN(size_t offset, size_t width) const {
    if (width > 8 || !Has(offset, width)) return Fail();
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint64_t(data_[offset + i]) << (8 * i);
    return v;
  }
  // Sign-extended little-endian value of 0..8 bytes.
  int64_t SN(size_t offset, size_t width) const {
    uint64_t v = UN(offset, width);
    if (width == 0 || width >= 8) return static_cast<int64_t>(v);
    const uint64_t sign = uint64_t(1) << (8 * width - 1);
    if (v & sign) v |= ~((sign << 1) - 1);
    return static_cast<int64_t>(v);
  }
  // A sub-range; an out-of-range request gives an empty span and sets the flag.
  std::span<const uint8_t> Sub(size_t offset, size_t length) const {
    if (!Has(offset, length)) {
      Fail();
      return {};
    }
    return data_.subspan(offset, length);
  }
  // Raw bytes as a string (8-bit names, signatures); short when out of range.
  std::string Str(size_t offset, size_t length) const {
    auto s = Sub(offset, length);
    return std::string(s.begin(), s.end());
  }
  bool Equals(size_t offset, std::string_view text) const {
    if (!Has(offset, text.size())) return false;
    for (size_t i = 0; i < text.size(); ++i)
      if (data_[offset + i] != static_cast<uint8_t>(text[i])) return false;
    return true;
  }

 private:
  uint8_t Fail() const {
    failed_ = true;
    return 0;
  }
  std::span<const uint8_t> data_;
  mutable bool failed_ = false;
};

// Little-endian stores into a buffer the caller owns (building boot records and test images).
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace salvex
