#pragma once
// The reader and helpers the end finders share (FileEnd.cpp, MediaEnd.cpp); not for other folders.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "filetypes/FileEnd.h"

namespace salvex::fileend {

inline constexpr uint64_t kMiB = uint64_t(1) << 20;

// Forward reads of a found file through a window, bounded by a cap. Like ByteReader: a read outside
// what the source delivers yields 0 and sets a sticky flag, so a finder reads a structure and tests
// Failed() once.
class FileReader {
 public:
  FileReader(TByteSource& source, uint64_t cap) : source_(source), cap_(cap), window_(kWindow) {}

  uint64_t Cap() const { return cap_; }
  bool Failed() const { return failed_; }

  // True when [offset, offset + length) can be read; never sets the flag.
  bool Has(uint64_t offset, size_t length) {
    if (length > kWindow || offset > cap_ || length > cap_ - offset) return false;
    return Load(offset, length);
  }
  uint8_t U8(uint64_t offset) { return At(offset, 1) ? window_[offset - start_] : Fail(); }
  uint16_t U16BE(uint64_t o) { return At(o, 2) ? uint16_t(Byte(o) << 8 | Byte(o + 1)) : Fail(); }
  uint16_t U16LE(uint64_t o) { return At(o, 2) ? uint16_t(Byte(o + 1) << 8 | Byte(o)) : Fail(); }
  uint32_t U32BE(uint64_t o) { return At(o, 4) ? uint32_t(U16BE(o)) << 16 | U16BE(o + 2) : Fail(); }
  uint32_t U32LE(uint64_t o) { return At(o, 4) ? uint32_t(U16LE(o + 2)) << 16 | U16LE(o) : Fail(); }
  uint64_t U64BE(uint64_t o) { return At(o, 8) ? uint64_t(U32BE(o)) << 32 | U32BE(o + 4) : Fail(); }
  uint64_t U64LE(uint64_t o) { return At(o, 8) ? uint64_t(U32LE(o + 4)) << 32 | U32LE(o) : Fail(); }
  uint32_t U32(uint64_t o, bool bigEndian) { return bigEndian ? U32BE(o) : U32LE(o); }
  uint16_t U16(uint64_t o, bool bigEndian) { return bigEndian ? U16BE(o) : U16LE(o); }
  bool Equals(uint64_t offset, std::string_view text) {
    if (!Has(offset, text.size())) return false;
    return std::memcmp(window_.data() + (offset - start_), text.data(), text.size()) == 0;
  }
  // Up to `length` bytes at offset (fewer at the end of the source); sets the flag when none.
  std::span<const uint8_t> Span(uint64_t offset, size_t length) {
    length = std::min<size_t>(length, kWindow);
    if (offset >= cap_) return Fail(), std::span<const uint8_t>{};
    length = size_t(std::min<uint64_t>(length, cap_ - offset));
    Load(offset, 1);
    if (offset < start_ || offset >= start_ + filled_) return Fail(), std::span<const uint8_t>{};
    const size_t have = std::min<size_t>(length, filled_ - size_t(offset - start_));
    return {window_.data() + (offset - start_), have};
  }
  // The first offset >= from (below the cap) holding `byte`.
  std::optional<uint64_t> FindByte(uint64_t from, uint8_t byte) {
    while (from < cap_ && Has(from, 1)) {
      auto piece = Span(from, kWindow);
      if (piece.empty()) return std::nullopt;
      if (auto* hit = static_cast<const uint8_t*>(std::memchr(piece.data(), byte, piece.size())))
        return from + uint64_t(hit - piece.data());
      from += piece.size();
    }
    return std::nullopt;
  }
  // The first offset >= from (below the cap) where `text` starts.
  std::optional<uint64_t> Find(uint64_t from, std::string_view text) {
    while (auto at = FindByte(from, uint8_t(text[0]))) {
      if (Equals(*at, text)) return at;
      if (!Has(*at, text.size())) return std::nullopt;
      from = *at + 1;
    }
    return std::nullopt;
  }

 private:
  static constexpr size_t kWindow = 64 * 1024;

  uint8_t Byte(uint64_t o) const { return window_[o - start_]; }
  bool At(uint64_t offset, size_t length) { return Has(offset, length); }
  uint8_t Fail() {
    failed_ = true;
    return 0;
  }
  // Makes the window hold [offset, offset + length) when the source has those bytes.
  bool Load(uint64_t offset, size_t length) {
    if (offset >= start_ && offset - start_ + length <= filled_) return true;
    start_ = offset;
    const size_t want = size_t(std::min<uint64_t>(kWindow, cap_ - offset));
    filled_ = source_.ReadAt(offset, window_.data(), want);
    return length <= filled_;
  }

  TByteSource& source_;
  uint64_t cap_;
  std::vector<uint8_t> window_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
  bool failed_ = false;
};

using End = std::optional<uint64_t>;

// An end is taken only when the structure read cleanly and the file's last byte is there: a size
// field that points past the volume (or past the cap) describes no file that can be saved.
inline End Checked(FileReader& r, uint64_t end) {
  if (r.Failed() || end == 0 || end > r.Cap() || !r.Has(end - 1, 1)) return std::nullopt;
  return end;
}

// Four printable characters at p (a chunk or box type).
inline bool IsFourCC(FileReader& r, uint64_t p) {
  for (uint64_t q = p; q < p + 4; ++q) {
    const uint8_t c = r.U8(q);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return !r.Failed();
}

// Finders of the camera, phone and media formats (MediaEnd.cpp).
End IsoMediaEnd(FileReader& r);
End MatroskaEnd(FileReader& r);
End FlacEnd(FileReader& r);
End OggEnd(FileReader& r);
End M2tsEnd(FileReader& r);
End MpegTsEnd(FileReader& r);
End RafEnd(FileReader& r);

// The dc:title of an Office Open XML (docProps/core.xml) or OpenDocument (meta.xml) package of
// `size` bytes; empty when there is none (FoundType.cpp).
std::string ZipPackageTitle(FileReader& r, uint64_t size);

}  // namespace salvex::fileend
