#include "filetypes/FileTypes.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "common/ByteReader.h"
#include "filetypes/MediaTypes.h"

namespace salvex {
namespace {

using namespace std::string_view_literals;
using Bytes = std::span<const uint8_t>;

// Each test reads through its own reader: a test that would read past the buffer simply does not
// match, and the later tests still run (a short buffer can still be a ZIP even though it is too
// short for the TAR test).
template <class Test>
bool Holds(Bytes bytes, Test test) {
  ByteReader r(bytes);
  const bool matched = test(r);
  return matched && !r.Failed();
}

bool IsOneOf(uint8_t value, std::initializer_list<uint8_t> choices) {
  return std::find(choices.begin(), choices.end(), value) != choices.end();
}

// The RIFF container: the form type at offset 8 names the content.
const char* RiffType(const ByteReader& r) {
  if (r.Equals(8, "CDR")) return "CDR";
  if (r.Equals(8, "WAVE")) return "WAV";
  if (r.Equals(8, "AVI ")) return "AVI";
  if (r.Equals(8, "WEBP")) return "WEBP";
  return "RIFF";
}

// Signatures at fixed offsets, in precedence order.
const char* MatchFixedSignature(Bytes b) {
  auto at = [b](size_t offset, std::string_view text) {
    return ByteReader(b).Equals(offset, text);
  };
  if (at(0, "\xFF\xD8"sv)) return "JPG";
  if (at(0, "\xDC\xA5"sv) || at(0, "\xDB\xA5"sv) || at(0, "\xEC\xA5"sv) ||
      at(0, "\xD0\xCF\x11\xE0"sv))
    return "DOC";
  if (Holds(b, [](ByteReader& r) { return r.U8(0) == 0x09 && IsOneOf(r.U8(1), {0x04, 0x02, 0x00, 0x08}); }))
    return "XLS";
  if (at(0, "BM")) return "BMP";
  if (Holds(b, [](ByteReader& r) {
        return r.Equals(0, "GIF8") && IsOneOf(r.U8(4), {'9', '7'}) && r.U8(5) == 'a';
      }))
    return "GIF";
  if (at(0, "II") || at(0, "MM")) return TiffKind(b);
  if (at(0, "\x89PNG\r\n\x1A\n"sv)) return "PNG";
  if (at(0, "RIFF")) return RiffType(ByteReader(b));
  if (at(0, "MZ")) return "EXE";
  if (Holds(b, [](ByteReader& r) {
        return IsOneOf(r.U8(0), {0x03, 0x83, 0xF5, 0x8B, 0x8E}) && r.U8(12) == 0 && r.U8(13) == 0 &&
               r.U8(30) == 0 && r.U8(31) == 0;
      }))
    return "DBF";
  if (at(0, "\x3F\x5F\x03\x00"sv)) return "HLP";
  if (at(257, "ustar\0"sv)) return "TAR";
  if (at(2, "-lh") || at(2, "-lz")) return "LZH";
  if (at(0, "PK\x03\x04"sv)) return "ZIP";
  if (at(0, "\x60\xEA"sv)) return "ARJ";
  if (at(0, "Rar!\x1A\x07\x00"sv)) return "RAR";
  if (Holds(b, [](ByteReader& r) {
        const uint8_t minor = r.U8(7);
        return r.Equals(0, "%PDF-1.") && minor >= '0' && minor <= '5';
      }))
    return "PDF";
  if (at(0, "MThd")) return "MID";
  if (at(4, "moov")) return "MOV";
  return nullptr;
}

// Types of today that the older list above does not know. They follow it, so a buffer it names
// keeps its name.
const char* MatchCurrentSignature(Bytes b) {
  auto at = [b](size_t offset, std::string_view text) { return ByteReader(b).Equals(offset, text); };
  if (Holds(b, [](ByteReader& r) {
        const uint8_t major = r.U8(5), minor = r.U8(7);
        return r.Equals(0, "%PDF-") && (major == '1' || major == '2') && r.U8(6) == '.' && minor >= '0' &&
               minor <= '9';
      }))
    return "PDF";
  if (at(4, "ftyp")) return IsoBrandType(b);
  if (at(0, "7z\xBC\xAF\x27\x1C"sv)) return "7Z";
  if (at(0, "SQLite format 3\0"sv)) return "SQLITE";
  // An ID3v2 tag starts most MPEG audio files of today; high bitrates have too few frames per
  // cluster for the frame-chain test.
  if (Holds(b, [](ByteReader& r) {
        const uint8_t major = r.U8(3);
        return r.Equals(0, "ID3") && major >= 2 && major <= 4 && r.U8(4) != 0xFF &&
               ((r.U8(6) | r.U8(7) | r.U8(8) | r.U8(9)) & 0x80) == 0;
      }))
    return "MP3";
  return MatchMediaSignature(b);
}

// "<HTML>" anywhere but at offset 0 (the fixed-signature tests own the first bytes), ending inside
// the buffer. Probing one byte in six finds exactly these occurrences; jumping from '<' to '<' with
// memchr finds the same ones several times faster on arbitrary data.
bool HasHtmlTag(Bytes b) {
  constexpr std::string_view kTag = "<HTML>";
  if (b.size() < 1 + kTag.size()) return false;
  const ByteReader r(b);
  const uint8_t* const begin = b.data();
  const uint8_t* p = begin + 1;
  const uint8_t* const last = begin + (b.size() - kTag.size());  // last start that fits
  while (p <= last) {
    p = static_cast<const uint8_t*>(std::memchr(p, '<', size_t(last - p) + 1));
    if (p == nullptr) return false;
    if (r.Equals(size_t(p - begin), kTag)) return true;
    ++p;
  }
  return false;
}

// Reads lines of the first 32 bytes. A line ends before a CR, or before the character that precedes
// an LF (so LF-only line ends lose the last character and never match); the reader then skips two
// bytes, the CR LF pair.
class LineReader {
 public:
  explicit LineReader(Bytes b) : window_(b.first(std::min<size_t>(b.size(), 32))) {}

  std::string_view Next() {
    const size_t start = std::min(position_, window_.size());
    size_t end = start;
    while (end < window_.size() && window_[end] != '\r' &&
           !(end + 1 < window_.size() && window_[end + 1] == '\n'))
      ++end;
    position_ = end < window_.size() ? end + 2 : end;
    return {reinterpret_cast<const char*>(window_.data()) + start, end - start};
  }

 private:
  Bytes window_;
  size_t position_ = 0;
};

// DXF files start with the group pair 0/SECTION, 2/HEADER; RTF files with "{\rtf". Ends because every
// non-empty line moves the reader forward and an exhausted window yields an empty line.
const char* MatchLineScan(Bytes b) {
  LineReader reader(b);
  for (;;) {
    const std::string_view line = reader.Next();
    std::string_view last = line;
    if (line.find('0') != std::string_view::npos) {
      last = reader.Next();
      if (last == "SECTION") {
        last = reader.Next();
        if (last.find('2') != std::string_view::npos) {
          last = reader.Next();
          if (last == "HEADER") return "DXF";
        }
      }
    }
    if (line.find("{\\rtf") != std::string_view::npos) return "RTF";
    if (last.empty()) return nullptr;
  }
}

// kbit/s. Rows 0-2: MPEG-2 and 2.5 Layers III, II, I; rows 3-5: MPEG-1 Layers III, II, I.
constexpr uint16_t kBitrates[6][16] = {
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
};
// Hz, by version code (0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1).
constexpr uint32_t kSampleRates[4][4] = {
    {11025, 12000, 8000, 0}, {0, 0, 0, 0}, {22050, 24000, 16000, 0}, {44100, 48000, 32000, 0}};

constexpr unsigned kMpeg1 = 3;
constexpr unsigned kLayer1 = 3, kLayer2 = 2, kLayer3 = 1;  // layer codes as stored
constexpr unsigned kJointStereo = 1, kMono = 3;
constexpr size_t kMinFrameSize = 32;

struct FrameHeader {
  unsigned version, layer, channelMode, modeExtension;
  bool protectedByCrc;
  size_t size;  // 0 for a header that is not valid
};

// The 4-byte header at the reader's offset. MPEG-2 and 2.5 share the lower bitrate rows, and their
// Layer III frames carry 576 samples instead of 1152, hence 72000 rather than 144000.
FrameHeader DecodeFrameHeader(const ByteReader& r, size_t p) {
  const uint8_t b1 = r.U8(p + 1), b2 = r.U8(p + 2), b3 = r.U8(p + 3);
  FrameHeader h{};
  h.version = (b1 >> 3) & 3;
  h.layer = (b1 >> 1) & 3;
  h.protectedByCrc = (b1 & 1) == 0;  // a cleared protection bit announces the check word
  h.channelMode = b3 >> 6;
  h.modeExtension = (b3 >> 4) & 3;
  const unsigned bitrateIndex = b2 >> 4, rateIndex = (b2 >> 2) & 3, padding = (b2 >> 1) & 1;
  if (h.version == 1 || h.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
      (b3 & 3) == 2)
    return h;
  const uint32_t bitrate = kBitrates[(h.version == kMpeg1 ? 3 : 0) + h.layer - 1][bitrateIndex];
  const uint32_t rate = kSampleRates[h.version][rateIndex];
  if (h.layer == kLayer1)
    h.size = (bitrate * 12000 / rate + padding) * 4;
  else if (h.layer == kLayer3 && h.version != kMpeg1)
    h.size = bitrate * 72000 / rate + padding;
  else
    h.size = bitrate * 144000 / rate + padding;
  return h;
}

// Bytes after the check word that the frame's CRC covers, or 0 when that depends on the coded data
// (Layer II bit allocation tables).
size_t ProtectedLength(const FrameHeader& h) {
  const bool mono = h.channelMode == kMono;
  if (h.layer == kLayer3) return h.version == kMpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  if (h.layer == kLayer2) return 0;
  if (mono) return 16;  // Layer I: 4 allocation bits per subband and channel
  if (h.channelMode != kJointStereo) return 32;
  const size_t bound = 4 * (h.modeExtension + 1);  // subbands below it are coded per channel
  return (bound * 2 * 4 + (32 - bound) * 4) / 8;
}

// The stored check word (big-endian, after the header) must match the CRC of the header's last two
// bytes and the side information, within 8. A stored 0 is taken as "not filled in".
bool PassesFrameCheck(Bytes frame, const FrameHeader& h) {
  const ByteReader r(frame);
  const uint16_t stored = static_cast<uint16_t>((r.U8(4) << 8) | r.U8(5));
  if (stored == 0) return true;
  const size_t covered = ProtectedLength(h);
  if (covered == 0) return true;
  uint16_t crc = MpegAudioCrc16(r.Sub(2, 2));
  crc = MpegAudioCrc16(r.Sub(6, covered), crc);
  const int distance = static_cast<int>(stored) - static_cast<int>(crc);
  return !r.Failed() && distance >= -8 && distance <= 8;
}

// Follows MPEG audio frames from header to header and counts the frames of the last unbroken run.
// A header that is not valid, or whose check word fails, restarts the count one byte later: a cluster
// from inside a stream begins in the middle of a frame whose data can hold sync-like bytes. The frame
// that runs past the end of the buffer ends the scan and keeps the count, since such a cluster also
// ends inside a frame. Needs at least one frame per 512 bytes.
bool IsMpegAudioChain(Bytes b) {
  const size_t size = b.size();
  if (size <= 4) return false;
  const ByteReader r(b);
  size_t count = 0;
  size_t p = 0;
  while (p < size - 4) {
    const void* sync = std::memchr(b.data() + p, 0xFF, size - 4 - p);
    if (sync == nullptr) break;
    p = static_cast<const uint8_t*>(sync) - b.data();
    if ((r.U8(p + 1) & 0xE0) != 0xE0) {
      ++p;
      continue;
    }
    const FrameHeader h = DecodeFrameHeader(r, p);
    if (h.size >= kMinFrameSize && h.size > size - p) break;
    if (h.size < kMinFrameSize ||
        (h.protectedByCrc && !PassesFrameCheck(b.subspan(p, h.size), h))) {
      count = 0;
      ++p;
      continue;
    }
    ++count;
    p += h.size;
  }
  return count > 0 && count >= size / 512;
}

}  // namespace

uint16_t MpegAudioCrc16(std::span<const uint8_t> bytes, uint16_t crc) {
  for (const uint8_t byte : bytes) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

bool IdentifyFileType(std::span<const uint8_t> cluster, std::string& typeName,
                      uint8_t& continuationKind) {
  continuationKind = kStartsNewFile;
  const char* name = MatchFixedSignature(cluster);
  if (name == nullptr) name = MatchCurrentSignature(cluster);
  if (name == nullptr && HasHtmlTag(cluster)) name = "HTML";
  if (name == nullptr) name = MatchLineScan(cluster);
  if (name == nullptr && IsMpegAudioChain(cluster)) {
    name = "MP3";
    continuationKind = kContinuesSameType;
  }
  if (name == nullptr) return false;
  typeName = name;
  return true;
}

size_t MpegAudioFrameSize(std::span<const uint8_t> header) {
  const ByteReader r(header);
  if (r.U8(0) != 0xFF || (r.U8(1) & 0xE0) != 0xE0) return 0;
  const FrameHeader h = DecodeFrameHeader(r, 0);
  return r.Failed() ? 0 : h.size;
}

bool IsMFTRecord(std::span<const uint8_t> buffer) { return ByteReader(buffer).Equals(0, "FILE"); }

}  // namespace salvex
