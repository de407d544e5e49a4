#include <array>
#include <set>

#include "filetypes/FileReader.h"
#include "filetypes/FileTypes.h"

namespace salvex::fileend {

namespace {

using namespace std::string_view_literals;

// Box types that stand at the top level of ISO base media files (MP4, MOV, 3GP, M4A, HEIF, AVIF, CR3).
// The walk stops at the first other type: what follows the file is seldom a box of these.
bool IsTopLevelBox(FileReader& r, uint64_t p) {
  static constexpr std::string_view kTypes[] = {"ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "meta",
                                                "uuid", "moof", "mfra", "sidx", "ssix", "prft", "pdin", "udta",
                                                "emsg", "pnot", "PICT", "junk", "idat"};
  for (std::string_view type : kTypes)
    if (r.Equals(p + 4, type)) return true;
  return false;
}

// A Matroska element ID or size: the leading zero bits of its first byte say how many bytes follow.
struct Vint {
  uint64_t value = 0;
  unsigned length = 0;  // 0: not a valid number
  bool unknown = false;  // a size of all ones: "until the parent ends"
};

Vint ReadVint(FileReader& r, uint64_t p, bool keepMarker) {
  Vint v;
  const uint8_t first = r.U8(p);
  if (first == 0 || r.Failed()) return v;
  unsigned length = 1;
  while (!(first & (0x80 >> (length - 1)))) ++length;
  uint64_t value = keepMarker ? first : first & (0xFF >> length);
  bool allOnes = (first & (0xFF >> length)) == (0xFF >> length);
  for (unsigned i = 1; i < length; ++i) {
    const uint8_t b = r.U8(p + i);
    value = value << 8 | b;
    allOnes = allOnes && b == 0xFF;
  }
  if (r.Failed()) return v;
  v.value = value;
  v.length = length;
  v.unknown = !keepMarker && allOnes;
  return v;
}

// CRC-8 of FLAC frame headers: polynomial 0x07, most significant bit first, starting at 0.
uint8_t Crc8(std::span<const uint8_t> bytes) {
  uint8_t crc = 0;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

struct FlacFrame {
  uint64_t first = 0;  // first sample (variable block size) or frame number (fixed)
  uint32_t samples = 0;
  bool valid = false;
};

// The frame header at p when its sync, reserved bits and CRC-8 check out.
FlacFrame FlacFrameAt(FileReader& r, uint64_t p, uint32_t streamBlockSize) {
  FlacFrame f;
  auto head = r.Span(p, 16);
  if (head.size() < 6 || head[0] != 0xFF || (head[1] & 0xFE) != 0xF8) return f;
  const unsigned blockCode = head[2] >> 4, rateCode = head[2] & 15;
  if (blockCode == 0 || rateCode == 15 || (head[3] & 1) || (head[3] >> 4) > 10 || ((head[3] >> 1) & 7) == 3)
    return f;
  size_t q = 4;
  // The frame or sample number, coded like UTF-8 up to 7 bytes.
  uint64_t number = head[q];
  unsigned more = 0;
  if (number >= 0xFE) return f;
  while (number & (0x80 >> more)) ++more;
  if (more == 1) return f;
  if (more > 0) number &= 0x7F >> more, --more;
  for (unsigned i = 0; i < more; ++i) {
    if (++q >= head.size() || (head[q] & 0xC0) != 0x80) return f;
    number = number << 6 | (head[q] & 0x3F);
  }
  ++q;
  uint32_t samples = 0;
  if (blockCode == 1) samples = 192;
  else if (blockCode <= 5) samples = 576u << (blockCode - 2);
  else if (blockCode >= 8) samples = 256u << (blockCode - 8);
  else if (blockCode == 6 && q < head.size()) samples = head[q++] + 1u;
  else if (blockCode == 7 && q + 1 < head.size()) samples = (head[q] << 8 | head[q + 1]) + 1u, q += 2;
  if (rateCode == 12) ++q;
  else if (rateCode == 13 || rateCode == 14) q += 2;
  if (samples == 0 || q >= head.size() || Crc8(head.first(q)) != head[q]) return f;
  f.first = (head[1] & 1) ? number : number * streamBlockSize;
  f.samples = samples;
  f.valid = true;
  return f;
}

// CRC-32 of Ogg pages: polynomial 0x04C11DB7, most significant bit first, no inversion.
uint32_t OggCrc(std::span<const uint8_t> bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[n] = c;
    }
    return t;
  }();
  for (uint8_t b : bytes) crc = (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFF];
  return crc;
}

// Transport stream packets of `stride` bytes, the sync byte 0x47 at `sync` in each: the file ends
// with the last packet whose sync byte is in place.
End PacketsEnd(FileReader& r, uint64_t stride, uint64_t sync) {
  uint64_t p = 0;
  while (r.Has(p + sync, 1) && r.U8(p + sync) == 0x47) p += stride;
  if (p < 2 * stride) return std::nullopt;
  return Checked(r, p);
}

}  // namespace

// Top-level boxes one after another; the file ends after the last box of a sequence that holds a
// movie header (video, sound, CR3) or an item table (HEIF, AVIF). A 64-bit size follows a size of 1;
// a size of 0 runs to an end that a carver cannot see.
End IsoMediaEnd(FileReader& r) {
  uint64_t p = 0;
  bool described = false;
  for (unsigned boxes = 0; boxes < 4096; ++boxes) {
    if (!r.Has(p, 8) || !IsTopLevelBox(r, p)) break;
    uint64_t size = r.U32BE(p);
    if (size == 1) size = r.U64BE(p + 8);
    if (size == 0 || r.Failed()) return std::nullopt;
    if (size < 8 || size > r.Cap() - p) break;
    if (r.Equals(p + 4, "moov") || r.Equals(p + 4, "meta")) described = true;
    p += size;
  }
  if (!described || p == 0) return std::nullopt;
  return Checked(r, p);
}

// The EBML header, then one Segment whose size says where the file ends. A Segment of unknown size
// (written live) ends after its last top-level child of a known kind.
End MatroskaEnd(FileReader& r) {
  if (!r.Equals(0, "\x1A\x45\xDF\xA3"sv)) return std::nullopt;
  const Vint headerSize = ReadVint(r, 4, false);
  if (headerSize.length == 0 || headerSize.unknown) return std::nullopt;
  const uint64_t segment = 4 + headerSize.length + headerSize.value;
  if (!r.Equals(segment, "\x18\x53\x80\x67"sv)) return std::nullopt;
  const Vint size = ReadVint(r, segment + 4, false);
  if (size.length == 0) return std::nullopt;
  const uint64_t data = segment + 4 + size.length;
  if (!size.unknown) {
    if (size.value > r.Cap() - data) return std::nullopt;
    return Checked(r, data + size.value);
  }
  static constexpr uint32_t kChildren[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1C53BB6B, 0x1F43B675,
                                           0x1254C367, 0x1941A469, 0x1043A770, 0xEC, 0xBF};
  uint64_t p = data;
  for (unsigned n = 0; n < (1u << 20); ++n) {
    const Vint id = ReadVint(r, p, true);
    if (id.length == 0 || id.length > 4 || std::find(std::begin(kChildren), std::end(kChildren), id.value) == std::end(kChildren))
      break;
    const Vint childSize = ReadVint(r, p + id.length, false);
    if (childSize.length == 0 || childSize.unknown) return std::nullopt;
    const uint64_t next = p + id.length + childSize.length + childSize.value;
    if (next > r.Cap() || !r.Has(next - 1, 1)) break;
    p = next;
  }
  if (p == data) return std::nullopt;
  return Checked(r, p);
}

// FLAC frames carry no length. The stream information says how many samples there are; the frame
// that holds the last of them ends where the CRC-16 of its bytes is stored.
End FlacEnd(FileReader& r) {
  if (!r.Equals(0, "fLaC")) return std::nullopt;
  uint64_t p = 4;
  uint64_t totalSamples = 0;
  uint32_t blockSize = 0, maxFrame = 0;
  for (bool last = false; !last && !r.Failed();) {
    const uint8_t kind = r.U8(p);
    const uint32_t length = uint32_t(r.U8(p + 1)) << 16 | r.U16BE(p + 2);
    last = kind & 0x80;
    if ((kind & 0x7F) == 0) {
      if (length != 34) return std::nullopt;
      blockSize = r.U16BE(p + 6);
      maxFrame = uint32_t(r.U8(p + 11)) << 16 | r.U16BE(p + 12);
      totalSamples = uint64_t(r.U8(p + 17) & 15) << 32 | r.U32BE(p + 18);
    } else if ((kind & 0x7F) == 127) {
      return std::nullopt;
    }
    p += 4 + uint64_t(length);
  }
  if (r.Failed() || totalSamples == 0 || blockSize < 16) return std::nullopt;
  // From frame to frame: the next header with a valid CRC-8 that starts where this frame's
  // samples end.
  uint64_t expect = 0;
  FlacFrame frame = FlacFrameAt(r, p, blockSize);
  if (!frame.valid || frame.first != 0) return std::nullopt;
  const uint64_t longest = maxFrame ? maxFrame : 16 * kMiB;
  while (frame.first + frame.samples < totalSamples) {
    expect = frame.first + frame.samples;
    std::optional<uint64_t> next;
    for (uint64_t q = p + 1; !next;) {
      const auto ff = r.FindByte(q, 0xFF);
      if (!ff || *ff - p > longest + 16) return std::nullopt;
      const FlacFrame f = FlacFrameAt(r, *ff, blockSize);
      if (f.valid && f.first == expect) next = *ff, frame = f;
      q = *ff + 1;
    }
    p = *next;
  }
  // The last frame: its CRC-16 covers everything from its sync code. The first place where the
  // stored value matches is taken.
  uint16_t crc = 0;
  for (uint64_t q = p; q < p + longest; ++q) {
    if (!r.Has(q, 3)) return std::nullopt;
    const uint8_t b = r.U8(q);
    crc = MpegAudioCrc16({&b, 1}, crc);
    if (q + 1 - p >= 6 && r.U16BE(q + 1) == crc) return Checked(r, q + 3);
  }
  return std::nullopt;
}

// Pages of one or more logical streams, each page checked by its CRC; the file ends with the page
// that closes the last stream still open.
End OggEnd(FileReader& r) {
  uint64_t p = 0;
  std::set<uint32_t> open;
  for (unsigned pages = 0; pages < (1u << 24); ++pages) {
    if (!r.Equals(p, "OggS") || r.U8(p + 4) != 0) break;
    const uint8_t flags = r.U8(p + 5), segments = r.U8(p + 26);
    const uint32_t serial = r.U32LE(p + 14), stored = r.U32LE(p + 22);
    uint64_t body = 0;
    for (unsigned i = 0; i < segments; ++i) body += r.U8(p + 27 + i);
    const uint64_t header = 27 + uint64_t(segments);
    if (r.Failed() || !r.Has(p, size_t(header + body))) break;
    auto page = r.Span(p, size_t(header + body));
    if (page.size() != header + body) break;
    std::array<uint8_t, 4> zero{};
    uint32_t crc = OggCrc(page.first(22), 0);
    crc = OggCrc(zero, crc);
    crc = OggCrc(page.subspan(26), crc);
    if (crc != stored) break;
    if (flags & 0x02) open.insert(serial);
    if (!open.count(serial)) break;  // a page of a stream that never began here
    p += header + body;
    if (flags & 0x04) {
      open.erase(serial);
      if (open.empty()) return Checked(r, p);
    }
  }
  return std::nullopt;
}

// AVCHD (.MTS, .M2TS): 192-byte packets, a 4-byte time code before each sync byte.
End M2tsEnd(FileReader& r) { return PacketsEnd(r, 192, 4); }

End MpegTsEnd(FileReader& r) { return PacketsEnd(r, 188, 0); }

// Fujifilm raw: the big-endian header gives offset and length of the preview JPEG, the CFA header
// and the CFA data; the file ends with the last of them.
End RafEnd(FileReader& r) {
  if (!r.Equals(0, "FUJIFILMCCD-RAW ")) return std::nullopt;
  uint64_t end = 0;
  for (uint64_t field = 84; field < 108; field += 8) {
    const uint64_t offset = r.U32BE(field), length = r.U32BE(field + 4);
    if (offset != 0 && length != 0) end = std::max(end, offset + length);
  }
  if (end < 108) return std::nullopt;
  return Checked(r, end);
}

}  // namespace salvex::fileend
