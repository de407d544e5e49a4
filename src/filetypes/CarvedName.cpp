#include "filetypes/CarvedName.h"

#include <cstring>
#include <optional>
#include <vector>

#include "common/Unicode.h"
#include "filetypes/FileReader.h"

namespace salvex {

namespace {

using namespace std::string_view_literals;
using namespace fileend;

constexpr size_t kMaxTextBytes = 80;

// Text from a file made fit for a name: control characters and slashes go, runs of spaces become
// one, and the result stays under kMaxTextBytes without cutting a character.
std::string Clean(std::string_view utf8) {
  std::string out;
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t cp = NextCodePoint(utf8, pos);
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0xFFFD) cp = ' ';
    if (cp == '/' || cp == '\\') cp = '-';
    if (cp == ' ' && (out.empty() || out.back() == ' ')) continue;
    std::string piece;
    AppendUtf8(piece, cp);
    if (out.size() + piece.size() > kMaxTextBytes) break;
    out += piece;
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  return out;
}

std::string Latin1(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) AppendUtf8(out, b);
  return out;
}

std::string Utf16(std::span<const uint8_t> bytes, bool bigEndian) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(char16_t(bigEndian ? bytes[i] << 8 | bytes[i + 1] : bytes[i + 1] << 8 | bytes[i]));
  return Utf16ToUtf8(text);
}

// --- EXIF ------------------------------------------------------------------------------------------

struct Exif {
  std::string make, model, date;
};

// "YYYY:MM:DD HH:MM:SS" as "YYYY-MM-DD HH-MM-SS"; empty when it is not a real date.
std::string ExifDate(std::string_view text) {
  if (text.size() < 19) return "";
  std::string out(text.substr(0, 19));
  for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u})
    if (out[i] < '0' || out[i] > '9') return "";
  if (out.starts_with("0000")) return "";
  out[4] = out[7] = '-';
  out[10] = ' ';
  out[13] = out[16] = '-';
  return out;
}

// The EXIF fields of the TIFF structure at `base`: IFD0's maker and model, the Exif IFD's time of
// capture (IFD0's time of change when there is none).
Exif ReadTiffExif(FileReader& r, uint64_t base) {
  Exif exif;
  bool be;
  if (r.Equals(base, "MM")) be = true;
  else if (r.Equals(base, "II")) be = false;
  else return exif;
  auto ascii = [&](uint64_t entry) {
    const uint32_t count = std::min<uint32_t>(r.U32(entry + 4, be), 64);
    const uint64_t at = count <= 4 ? entry + 8 : base + r.U32(entry + 8, be);
    auto bytes = r.Span(at, count);
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
  };
  std::string changed, taken;
  uint64_t exifIfd = 0;
  for (uint64_t ifd : {uint64_t(r.U32(base + 4, be)), uint64_t(0)}) {
    if (ifd == 0) ifd = exifIfd;
    if (ifd == 0) break;
    const uint16_t entries = r.U16(base + ifd, be);
    if (r.Failed() || entries > 512) break;
    for (uint16_t i = 0; i < entries && !r.Failed(); ++i) {
      const uint64_t entry = base + ifd + 2 + 12 * uint64_t(i);
      switch (r.U16(entry, be)) {
        case 0x010F: exif.make = ascii(entry); break;
        case 0x0110: exif.model = ascii(entry); break;
        case 0x0132: changed = ascii(entry); break;
        case 0x9003: taken = ascii(entry); break;
        case 0x8769: exifIfd = r.U32(entry + 8, be); break;
      }
    }
    if (exifIfd == ifd) break;
  }
  exif.date = ExifDate(taken);
  if (exif.date.empty()) exif.date = ExifDate(changed);
  return exif;
}

// The APP1 Exif segment among the JPEG's first segments.
Exif ReadJpegExif(FileReader& r) {
  uint64_t p = 2;
  for (int segments = 0; segments < 32 && r.U8(p) == 0xFF && !r.Failed(); ++segments) {
    const uint8_t marker = r.U8(p + 1);
    if (marker == 0xDA || marker == 0xD9) break;
    const uint16_t length = r.U16BE(p + 2);
    if (marker == 0xE1 && r.Equals(p + 4, "Exif\0\0"sv)) return ReadTiffExif(r, p + 10);
    p += 2 + uint64_t(length);
  }
  return {};
}

// --- HEIF ------------------------------------------------------------------------------------------

// Calls visit(box, payload, end) for each box in [from, end) until it returns true; a box whose size
// does not fit ends the walk.
template <class Visit>
void WalkBoxes(FileReader& r, uint64_t from, uint64_t end, Visit visit) {
  for (int n = 0; n < 256 && from + 8 <= end && !r.Failed(); ++n) {
    uint64_t size = r.U32BE(from), header = 8;
    if (size == 1) size = r.U64BE(from + 8), header = 16;
    else if (size == 0) size = end - from;
    if (size < header || size > end - from || r.Failed()) return;
    if (visit(from, from + header, from + size)) return;
    from += size;
  }
}

uint64_t SizedField(FileReader& r, uint64_t at, unsigned bytes) {
  return bytes == 4 ? r.U32BE(at) : bytes == 8 ? r.U64BE(at) : 0;
}

// The Exif item of a HEIF image: named by an 'infe' entry of type 'Exif' in the 'meta' box's
// item information, placed by the item locations; its data starts with the offset of the TIFF
// header after the 4 bytes that give it.
Exif ReadHeifExif(FileReader& r, uint64_t size) {
  uint64_t meta = 0, metaEnd = 0;
  WalkBoxes(r, 0, size, [&](uint64_t box, uint64_t payload, uint64_t end) {
    if (!r.Equals(box + 4, "meta")) return false;
    meta = payload + 4, metaEnd = end;  // after its version and flags
    return true;
  });
  if (meta == 0) return {};
  std::optional<uint32_t> exifItem;
  WalkBoxes(r, meta, metaEnd, [&](uint64_t box, uint64_t payload, uint64_t end) {
    if (!r.Equals(box + 4, "iinf")) return false;
    const uint64_t first = payload + (r.U8(payload) == 0 ? 6 : 8);
    WalkBoxes(r, first, end, [&](uint64_t entry, uint64_t p, uint64_t) {
      const uint8_t version = r.U8(p);
      if (!r.Equals(entry + 4, "infe") || version < 2) return false;
      const uint32_t id = version == 2 ? r.U16BE(p + 4) : r.U32BE(p + 4);
      if (r.Equals(p + (version == 2 ? 8 : 10), "Exif")) exifItem = id;
      return exifItem.has_value();
    });
    return true;
  });
  if (!exifItem) return {};
  std::optional<uint64_t> at;
  WalkBoxes(r, meta, metaEnd, [&](uint64_t box, uint64_t p, uint64_t) {
    if (!r.Equals(box + 4, "iloc")) return false;
    const uint8_t version = r.U8(p), sizes = r.U8(p + 4), more = r.U8(p + 5);
    const unsigned offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
    const unsigned indexSize = version == 1 || version == 2 ? more & 15 : 0;
    uint64_t q = p + 6;
    const uint32_t items = version < 2 ? r.U16BE(q) : r.U32BE(q);
    q += version < 2 ? 2 : 4;
    for (uint32_t i = 0; i < items && i < 4096 && !r.Failed(); ++i) {
      const uint32_t id = version < 2 ? r.U16BE(q) : r.U32BE(q);
      q += version < 2 ? 2 : 4;
      unsigned method = 0;
      if (version == 1 || version == 2) method = r.U16BE(q) & 15, q += 2;
      const uint64_t base = SizedField(r, q + 2, baseSize);  // after the data reference index
      q += 2 + baseSize;
      const uint16_t extents = r.U16BE(q);
      q += 2;
      if (id == *exifItem && method == 0 && extents > 0) {
        at = base + SizedField(r, q + indexSize, offsetSize);
        return true;
      }
      q += uint64_t(extents) * (indexSize + offsetSize + lengthSize);
    }
    return true;
  });
  if (!at || r.Failed()) return {};
  const uint32_t headerOffset = r.U32BE(*at);
  if (r.Failed() || headerOffset > 64) return {};
  return ReadTiffExif(r, *at + 4 + headerOffset);
}

std::string PhotoName(const Exif& exif) {
  std::string camera = Clean(exif.model);
  const std::string make = Clean(exif.make.substr(0, exif.make.find(' ')));
  // "Canon EOS R6" names its maker already; "ILCE-7M3" does not.
  if (!make.empty() && CompareNamesNoCase(camera.substr(0, make.size()), make) != 0)
    camera = camera.empty() ? make : make + " " + camera;
  std::string name = exif.date;
  if (!camera.empty()) name += (name.empty() ? "" : " ") + camera;
  return name;
}

// --- ID3 -------------------------------------------------------------------------------------------

std::string Id3Text(std::span<const uint8_t> frame) {
  if (frame.empty()) return "";
  const uint8_t encoding = frame[0];
  auto text = frame.subspan(1);
  std::string out;
  if (encoding == 1 && text.size() >= 2) {
    const bool be = text[0] == 0xFE && text[1] == 0xFF;
    out = Utf16(text.subspan(2), be);
  } else if (encoding == 2) {
    out = Utf16(text, true);
  } else if (encoding == 3) {
    out.assign(text.begin(), text.end());
  } else {
    out = Latin1(text);
  }
  return out.substr(0, out.find('\0'));
}

std::string Mp3Name(FileReader& r, uint64_t size) {
  std::string artist, title;
  if (r.Equals(0, "ID3") && r.Has(0, 10)) {
    const uint8_t major = r.U8(3);
    uint64_t tagSize = 0;
    for (uint64_t i = 6; i < 10; ++i) tagSize = tagSize << 7 | (r.U8(i) & 0x7F);
    const uint64_t end = std::min<uint64_t>(10 + tagSize, 1 << 20);
    uint64_t p = 10;
    if ((r.U8(5) & 0x40) && major == 3) p += 4 + r.U32BE(10);
    const size_t idLength = major == 2 ? 3 : 4, headerLength = major == 2 ? 6 : 10;
    while (p + headerLength <= end && r.U8(p) != 0 && !r.Failed()) {
      uint64_t length = 0;
      for (size_t i = 0; i < idLength; ++i)
        length = major == 4 ? length << 7 | (r.U8(p + idLength + i) & 0x7F) : length << 8 | r.U8(p + idLength + i);
      const uint64_t data = p + headerLength;
      if (length > end - data) break;
      auto bytes = r.Span(data, size_t(std::min<uint64_t>(length, 512)));
      if (r.Equals(p, major == 2 ? "TT2"sv : "TIT2"sv)) title = Id3Text(bytes);
      if (r.Equals(p, major == 2 ? "TP1"sv : "TPE1"sv)) artist = Id3Text(bytes);
      p = data + length;
    }
  }
  // ID3v1: 128 bytes at the very end.
  if (title.empty() && size >= 128 && r.Equals(size - 128, "TAG")) {
    title = Latin1(r.Span(size - 125, 30));
    artist = Latin1(r.Span(size - 95, 30));
    title = title.substr(0, title.find('\0'));
    artist = artist.substr(0, artist.find('\0'));
  }
  title = Clean(title), artist = Clean(artist);
  if (title.empty()) return "";
  return artist.empty() ? title : artist + " - " + title;
}

// --- PDF -------------------------------------------------------------------------------------------

// A PDF string (literal or hexadecimal) at the start of `text`; UTF-16 when it starts with its BOM,
// PDFDocEncoding (taken as Latin-1) otherwise.
std::string PdfString(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\r' || text[i] == '\n')) ++i;
  std::vector<uint8_t> bytes;
  if (i < text.size() && text[i] == '(') {
    int depth = 1;
    for (++i; i < text.size() && depth > 0 && bytes.size() < 1024; ++i) {
      char c = text[i];
      if (c == '\\' && i + 1 < text.size()) {
        c = text[++i];
        if (c >= '0' && c <= '7') {
          int v = 0;
          for (int k = 0; k < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++k, ++i) v = v * 8 + (text[i] - '0');
          --i;
          c = char(v);
        } else if (c == 'n' || c == 'r' || c == 't') {
          c = ' ';
        }
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        break;
      }
      bytes.push_back(uint8_t(c));
    }
  } else if (i < text.size() && text[i] == '<') {
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1; };
    int high = -1;
    for (++i; i < text.size() && text[i] != '>' && bytes.size() < 1024; ++i) {
      const int v = hex(text[i]);
      if (v < 0) continue;
      if (high < 0) high = v;
      else bytes.push_back(uint8_t(high * 16 + v)), high = -1;
    }
  }
  if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return Utf16(std::span(bytes).subspan(2), true);
  return Latin1(bytes);
}

// The title of the document information dictionary the last trailer names.
std::string PdfTitle(TByteSource& source, uint64_t size) {
  constexpr uint64_t kTail = 4 * kMiB;
  const uint64_t from = size > kTail ? size - kTail : 0;
  std::string text(size_t(size - from), '\0');
  text.resize(source.ReadAt(from, reinterpret_cast<uint8_t*>(text.data()), text.size()));
  const size_t info = text.rfind("/Info");
  if (info == std::string::npos) return "";
  unsigned number = 0, generation = 0;
  if (std::sscanf(text.c_str() + info + 5, " %u %u R", &number, &generation) != 2) return "";
  const std::string object = std::to_string(number) + " " + std::to_string(generation) + " obj";
  size_t at = text.rfind(object);
  while (at != std::string::npos && at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9')
    at = at >= 1 ? text.rfind(object, at - 1) : std::string::npos;
  if (at == std::string::npos) return "";
  const size_t end = text.find("endobj", at);
  const size_t title = text.find("/Title", at);
  if (title == std::string::npos || (end != std::string::npos && title > end)) return "";
  return Clean(PdfString(std::string_view(text).substr(title + 6, 2048)));
}

}  // namespace

std::string CarvedFileName(uint64_t cluster, std::string_view type, TByteSource& source, uint64_t size) {
  const std::string extension = CarvedExtension(type);
  const std::string plain = "cluster " + std::to_string(cluster) + "." + extension;
  std::string from;
  try {
    FileReader r(source, size);
    static constexpr std::string_view kTiffTypes[] = {"TIF", "CR2", "NEF", "ARW", "DNG", "ORF", "RW2", "PEF"};
    if (type == "JPG")
      from = PhotoName(ReadJpegExif(r));
    else if (std::find(std::begin(kTiffTypes), std::end(kTiffTypes), type) != std::end(kTiffTypes))
      from = PhotoName(ReadTiffExif(r, 0));
    else if (type == "HEIC" || type == "AVIF")
      from = PhotoName(ReadHeifExif(r, size));
    else if (type == "MP3")
      from = Mp3Name(r, size);
    else if (type == "PDF")
      from = PdfTitle(source, size);
    else if (type == "DOCX" || type == "XLSX" || type == "PPTX" || type == "ODT" || type == "ODS" || type == "ODP")
      from = Clean(ZipPackageTitle(r, size));
  } catch (const std::bad_alloc&) {
    from.clear();
  }
  if (from.empty()) return plain;
  return from + " (cluster " + std::to_string(cluster) + ")." + extension;
}

std::string CarvedExtension(std::string_view type) {
  std::string out(type);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

}  // namespace salvex
