#include "filetypes/MediaTypes.h"

#include <string_view>

#include "common/ByteReader.h"

namespace salvex {

namespace {

using namespace std::string_view_literals;
using Bytes = std::span<const uint8_t>;

uint32_t Get(const ByteReader& r, size_t offset, size_t width, bool bigEndian) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) {
    const uint8_t b = r.U8(offset + (bigEndian ? i : width - 1 - i));
    v = v << 8 | b;
  }
  return v;
}

// Transport stream packets from the start of the cluster: every sync byte in place, and the first
// packet starts a table a recording begins with (the program association or service table).
bool IsPacketStream(Bytes b, size_t stride, size_t sync) {
  const ByteReader r(b);
  if (b.size() < 8 * stride) return false;
  for (size_t p = sync; p < b.size(); p += stride)
    if (r.U8(p) != 0x47) return false;
  const unsigned pid = (r.U8(sync + 1) & 0x1F) << 8 | r.U8(sync + 2);
  return (r.U8(sync + 1) & 0x40) && (pid == 0 || pid == 0x11);
}

}  // namespace

const char* TiffKind(Bytes b) {
  const ByteReader r(b);
  if (r.Equals(0, "IIRO") || r.Equals(0, "IIRS") || r.Equals(0, "MMOR")) return "ORF";
  if (r.Equals(0, "IIU\0"sv)) return "RW2";
  const bool be = r.Equals(0, "MM\0*"sv);
  if (!be && !r.Equals(0, "II*\0"sv)) return "TIF";
  if (r.Equals(8, "CR\x02"sv)) return "CR2";
  const uint32_t ifd = Get(r, 4, 4, be);
  const uint32_t entries = Get(r, ifd, 2, be);
  if (r.Failed() || entries == 0 || entries > 512) return "TIF";
  for (uint32_t i = 0; i < entries; ++i) {
    const size_t entry = ifd + 2 + 12 * size_t(i);
    const uint32_t tag = Get(r, entry, 2, be);
    if (r.Failed()) break;
    if (tag == 0xC612) return "DNG";
    if (tag != 0x010F) continue;
    const uint32_t count = Get(r, entry + 4, 4, be);
    const size_t at = count <= 4 ? entry + 8 : Get(r, entry + 8, 4, be);
    const std::string make = r.Str(at, std::min<uint32_t>(count, 32));
    if (make.starts_with("NIKON")) return "NEF";
    if (make.starts_with("SONY")) return "ARW";
    if (make.starts_with("PENTAX")) return "PEF";
  }
  return "TIF";
}

const char* IsoBrandType(Bytes b) {
  const ByteReader r(b);
  const uint32_t size = Get(r, 0, 4, true);
  auto brand = [&](std::string_view name) {
    if (r.Equals(8, name)) return true;
    for (size_t p = 16; p + 4 <= size && p < 64; p += 4)
      if (r.Equals(p, name)) return true;
    return false;
  };
  if (r.Equals(8, "qt  ")) return "MOV";
  if (r.Equals(8, "crx ")) return "CR3";
  if (r.Equals(8, "M4A ") || r.Equals(8, "M4B ")) return "M4A";
  if (r.Equals(8, "3gp") || r.Equals(8, "3g2")) return "3GP";
  if (r.Equals(8, "avif") || r.Equals(8, "avis")) return "AVIF";
  for (std::string_view heif : {"heic"sv, "heix"sv, "heim"sv, "heis"sv, "hevc"sv, "hevx"sv})
    if (r.Equals(8, heif)) return "HEIC";
  // A generic image brand names its codec among the compatible ones.
  if (r.Equals(8, "mif1") || r.Equals(8, "msf1")) return brand("avif") ? "AVIF" : "HEIC";
  return "MP4";
}

const char* MatchMediaSignature(Bytes b) {
  const ByteReader r(b);
  if (r.Equals(0, "FUJIFILMCCD-RAW ")) return "RAF";
  if (r.Equals(0, "\x1A\x45\xDF\xA3"sv)) {
    // The DocType string sits in the first few dozen bytes of the EBML header.
    const std::string_view head(reinterpret_cast<const char*>(b.data()), std::min<size_t>(b.size(), 64));
    if (head.find("webm") != std::string_view::npos) return "WEBM";
    if (head.find("matroska") != std::string_view::npos) return "MKV";
  }
  // The first metadata block is the 34-byte stream information.
  if (r.Equals(0, "fLaC") && (r.U8(4) & 0x7F) == 0 && Get(r, 5, 3, true) == 34 && !r.Failed()) return "FLAC";
  // The first page of a stream: version 0, beginning-of-stream flag, page number 0.
  if (r.Equals(0, "OggS\0\x02"sv) && Get(r, 18, 4, false) == 0 && !r.Failed()) return "OGG";
  if (IsPacketStream(b, 192, 4)) return "MTS";
  if (IsPacketStream(b, 188, 0)) return "TS";
  return nullptr;
}

}  // namespace salvex
