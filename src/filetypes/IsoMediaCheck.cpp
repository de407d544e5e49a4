#include "filetypes/IsoMediaCheck.h"

#include <initializer_list>
#include <optional>
#include <vector>

#include "filetypes/FileReader.h"

namespace salvex {

namespace {

using namespace fileend;

struct Box {
  uint64_t at = 0, payload = 0, end = 0;
};

// The child of type `type` among the boxes in [from, end).
std::optional<Box> Child(FileReader& r, uint64_t from, uint64_t end, std::string_view type) {
  for (int n = 0; n < 512 && from + 8 <= end && !r.Failed(); ++n) {
    uint64_t size = r.U32BE(from), header = 8;
    if (size == 1) size = r.U64BE(from + 8), header = 16;
    else if (size == 0) size = end - from;
    if (size < header || size > end - from || r.Failed()) return std::nullopt;
    if (r.Equals(from + 4, type)) return Box{from, from + header, from + size};
    from += size;
  }
  return std::nullopt;
}

std::optional<Box> Path(FileReader& r, Box box, std::initializer_list<std::string_view> types) {
  for (std::string_view type : types) {
    auto child = Child(r, box.payload, box.end, type);
    if (!child) return std::nullopt;
    box = *child;
  }
  return box;
}

constexpr uint64_t kMaxSamples = 1u << 20;

// The first sample of a video track whose NAL units do not add up to its size; its offset in the
// file, or nothing when every sample holds (or the track is no AVC/HEVC video).
std::optional<uint64_t> FirstBrokenSample(FileReader& r, const Box& trak, uint64_t size) {
  const auto stbl = Path(r, trak, {"mdia", "minf", "stbl"});
  if (!stbl) return std::nullopt;
  const auto stsd = Child(r, stbl->payload, stbl->end, "stsd");
  const auto stsz = Child(r, stbl->payload, stbl->end, "stsz");
  const auto stsc = Child(r, stbl->payload, stbl->end, "stsc");
  auto stco = Child(r, stbl->payload, stbl->end, "stco");
  const bool wide = !stco;
  if (wide) stco = Child(r, stbl->payload, stbl->end, "co64");
  if (!stsd || !stsz || !stsc || !stco) return std::nullopt;
  const uint64_t entry = stsd->payload + 8;
  const bool video = r.Equals(entry + 4, "avc1") || r.Equals(entry + 4, "avc3") || r.Equals(entry + 4, "hvc1") ||
                     r.Equals(entry + 4, "hev1");
  if (!video) return std::nullopt;
  const uint32_t fixedSize = r.U32BE(stsz->payload + 4), samples = r.U32BE(stsz->payload + 8);
  const uint32_t runs = r.U32BE(stsc->payload + 4), chunks = r.U32BE(stco->payload + 4);
  if (r.Failed() || samples > kMaxSamples || chunks > kMaxSamples || runs > kMaxSamples) return std::nullopt;
  uint32_t sample = 0;
  for (uint32_t chunk = 0, run = 0; chunk < chunks && sample < samples && !r.Failed(); ++chunk) {
    while (run + 1 < runs && r.U32BE(stsc->payload + 8 + 12 * uint64_t(run + 1)) <= chunk + 1) ++run;
    const uint32_t perChunk = r.U32BE(stsc->payload + 8 + 12 * uint64_t(run) + 4);
    uint64_t at = wide ? r.U64BE(stco->payload + 8 + 8 * uint64_t(chunk)) : r.U32BE(stco->payload + 8 + 4 * uint64_t(chunk));
    for (uint32_t k = 0; k < perChunk && sample < samples && !r.Failed(); ++k, ++sample) {
      const uint64_t bytes = fixedSize ? fixedSize : r.U32BE(stsz->payload + 12 + 4 * uint64_t(sample));
      if (r.Failed()) return std::nullopt;
      if (at + bytes > size) return at;
      // NAL units with 4-byte lengths (what every encoder writes); the forbidden bit clear.
      uint64_t p = at;
      while (p + 5 <= at + bytes) {
        const uint32_t length = r.U32BE(p);
        if (length == 0 || (r.U8(p + 4) & 0x80) || length > at + bytes - p - 4) return at;
        p += 4 + uint64_t(length);
      }
      if (p != at + bytes || r.Failed()) return at;
      at += bytes;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string IsoMediaDoubt(TByteSource& source, uint64_t size) {
  FileReader r(source, size ? size : uint64_t(4096) << 20);
  if (size == 0) {
    // ftyp, then boxes up to an mdat whose end is readable and starts no further box.
    uint64_t p = 0;
    for (int n = 0; n < 16 && r.Has(p, 16); ++n) {
      uint64_t boxSize = r.U32BE(p);
      if (boxSize == 1) boxSize = r.U64BE(p + 8);
      if (boxSize < 8 || r.Failed()) return "";
      if (r.Equals(p + 4, "moov")) return "";
      const bool mdat = r.Equals(p + 4, "mdat");
      p += boxSize;
      if (mdat && r.Has(p, 8) && !r.Equals(p + 4, "moov") && !r.Equals(p + 4, "free") && !r.Equals(p + 4, "udta"))
        return "fragmented: its media data (mdat) continues elsewhere, and its index (moov) was not found after it";
    }
    return "";
  }
  const auto moov = Child(r, 0, size, "moov");
  if (!moov) return "";
  uint64_t from = moov->payload;
  for (int tracks = 0; tracks < 16; ++tracks) {
    const auto trak = Child(r, from, moov->end, "trak");
    if (!trak) break;
    if (auto broken = FirstBrokenSample(r, *trak, size))
      return "fragmented or damaged: the video sample its index places at byte " + std::to_string(*broken) +
             " is not there (its media data continues elsewhere)";
    from = trak->end;
  }
  return "";
}

}  // namespace salvex
