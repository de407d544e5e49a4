#include "filetypes/FileEnd.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>

#include "filetypes/FileReader.h"
#include "filetypes/FileTypes.h"

namespace salvex {

namespace {

using namespace std::string_view_literals;
using namespace fileend;

// Markers from SOI to EOI. Segments are skipped by their length, so the EOI of a thumbnail inside
// an APP segment is never seen; entropy-coded data after SOS runs to the next marker that is not a
// stuffed 00 or a restart marker.
End JpegEnd(FileReader& r) {
  if (!r.Equals(0, "\xFF\xD8"sv)) return std::nullopt;
  uint64_t p = 2;
  while (!r.Failed()) {
    if (r.U8(p) != 0xFF) return std::nullopt;
    while (r.U8(p) == 0xFF && !r.Failed()) ++p;  // fill bytes
    const uint8_t marker = r.U8(p++);
    if (marker == 0xD9) return Checked(r, p);
    if (marker == 0xD8 || marker == 0x00) return std::nullopt;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    const uint16_t length = r.U16BE(p);
    if (length < 2) return std::nullopt;
    p += length;
    if (marker != 0xDA) continue;
    for (;;) {
      const auto ff = r.FindByte(p, 0xFF);
      if (!ff) return std::nullopt;
      const uint8_t next = r.U8(*ff + 1);
      if (r.Failed()) return std::nullopt;
      if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) {
        p = *ff + 1;
        continue;
      }
      p = *ff;
      break;
    }
  }
  return std::nullopt;
}

bool IsChunkTypeChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Chunks to IEND; a chunk whose CRC does not match makes the file corrupt, and then its end is not
// trusted.
End PngEnd(FileReader& r) {
  if (!r.Equals(0, "\x89PNG\r\n\x1A\n"sv)) return std::nullopt;
  uint64_t p = 8;
  while (!r.Failed()) {
    const uint32_t length = r.U32BE(p);
    if (length > 0x7FFFFFFF) return std::nullopt;
    uint32_t crc = 0;
    for (uint64_t q = p + 4; q < p + 8; ++q)
      if (!IsChunkTypeChar(r.U8(q))) return std::nullopt;
    uint64_t covered = 0;
    while (covered < uint64_t(length) + 4) {
      auto piece = r.Span(p + 4 + covered, size_t(std::min<uint64_t>(uint64_t(length) + 4 - covered, 1u << 16)));
      if (piece.empty()) return std::nullopt;
      crc = Crc32(piece, crc);
      covered += piece.size();
    }
    if (r.U32BE(p + 8 + length) != crc || r.Failed()) return std::nullopt;
    const bool end = r.Equals(p + 4, "IEND");
    p += 12 + uint64_t(length);
    if (end) return Checked(r, p);
  }
  return std::nullopt;
}

// Sub-blocks of a GIF extension or image: length bytes up to a 0 terminator.
uint64_t SkipSubBlocks(FileReader& r, uint64_t p) {
  while (!r.Failed()) {
    const uint8_t n = r.U8(p++);
    if (n == 0) break;
    p += n;
  }
  return p;
}

End GifEnd(FileReader& r) {
  if (!r.Equals(0, "GIF87a") && !r.Equals(0, "GIF89a")) return std::nullopt;
  const uint8_t flags = r.U8(10);
  uint64_t p = 13;
  if (flags & 0x80) p += 3u << ((flags & 7) + 1);
  while (!r.Failed()) {
    const uint8_t block = r.U8(p);
    if (block == 0x3B) return Checked(r, p + 1);
    if (block == 0x21) {
      p = SkipSubBlocks(r, p + 2);
    } else if (block == 0x2C) {
      const uint8_t local = r.U8(p + 9);
      p += 10;
      if (local & 0x80) p += 3u << ((local & 7) + 1);
      p = SkipSubBlocks(r, p + 1);  // after the LZW minimum code size
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The file size field, when the header around it is consistent.
End BmpEnd(FileReader& r) {
  if (!r.Equals(0, "BM")) return std::nullopt;
  const uint32_t size = r.U32LE(2), dataOffset = r.U32LE(10), header = r.U32LE(14);
  const bool knownHeader = header == 12 || header == 16 || header == 40 || header == 52 || header == 56 ||
                           header == 64 || header == 108 || header == 124;
  if (!knownHeader || dataOffset < 14 + header || dataOffset > size) return std::nullopt;
  return Checked(r, size);
}


// RIFF's size field counts what follows it.
// An AVI over 1 GiB goes on in further RIFF 'AVIX' lists right after the first.
End RiffEnd(FileReader& r) {
  if (!r.Equals(0, "RIFF") || !IsFourCC(r, 8) || !IsFourCC(r, 12)) return std::nullopt;
  const uint32_t size = r.U32LE(4);
  if (size < 4) return std::nullopt;
  uint64_t end = uint64_t(size) + 8;
  const bool avi = r.Equals(8, "AVI ");
  while (avi && r.Equals(end, "RIFF") && r.Equals(end + 8, "AVIX")) {
    const uint32_t part = r.U32LE(end + 4);
    if (part < 4) break;
    end += uint64_t(part) + 8;
  }
  return Checked(r, end);
}

// The end of central directory record whose central directory lies right before it: records of
// archives stored inside the archive point elsewhere and are passed over.
End ZipEnd(FileReader& r) {
  if (!r.Equals(0, "PK\x03\x04"sv)) return std::nullopt;
  uint64_t from = 4;
  while (auto e = r.Find(from, "PK\x05\x06"sv)) {
    from = *e + 1;
    const uint32_t cdSize = r.U32LE(*e + 12), cdOffset = r.U32LE(*e + 16);
    const uint16_t comment = r.U16LE(*e + 20);
    if (r.Failed()) return std::nullopt;
    bool fits = uint64_t(cdOffset) + cdSize == *e && (cdSize == 0 || r.Equals(cdOffset, "PK\x01\x02"sv));
    // ZIP64: the 32-bit fields are saturated and a locator precedes the record.
    if (!fits && *e >= 20 && r.Equals(*e - 20, "PK\x06\x07"sv)) {
      const uint64_t record = r.U64LE(*e - 12);
      fits = record < *e && r.Equals(record, "PK\x06\x06"sv) && r.U64LE(record + 48) + r.U64LE(record + 40) == record;
    }
    if (fits) return Checked(r, *e + 22 + comment);
  }
  return std::nullopt;
}

// The "%%EOF" (with its line end) that nothing of the PDF follows. An update appended to a PDF
// (and the first part of a linearized one) follows its "%%EOF" at once with objects, a cross-
// reference table or a comment; anything else after it is no longer the PDF.
End PdfEnd(FileReader& r) {
  if (!r.Equals(0, "%PDF-")) return std::nullopt;
  uint64_t p = 5;
  while (auto q = r.FindByte(p, '%')) {
    p = *q + 1;
    if (!r.Equals(*q, "%%EOF")) continue;
    uint64_t e = *q + 5;
    if (r.Has(e, 1) && r.U8(e) == '\r') ++e;
    if (r.Has(e, 1) && r.U8(e) == '\n') ++e;
    uint64_t next = e;
    while (next < e + 16 && r.Has(next, 1) && (r.U8(next) == ' ' || r.U8(next) == '\r' || r.U8(next) == '\n' ||
                                               r.U8(next) == '\t'))
      ++next;
    const uint8_t c = r.Has(next, 1) ? r.U8(next) : 0;
    if (!((c >= '0' && c <= '9') || c == '%' || r.Equals(next, "xref"))) return Checked(r, e);
  }
  return std::nullopt;
}

// The header chunk, then as many track chunks as the header announces (other chunk types are
// skipped without counting).
End MidiEnd(FileReader& r) {
  if (!r.Equals(0, "MThd")) return std::nullopt;
  const uint32_t headerLength = r.U32BE(4);
  const uint16_t tracks = r.U16BE(10);
  if (headerLength < 6 || tracks == 0) return std::nullopt;
  uint64_t p = 8 + uint64_t(headerLength);
  unsigned found = 0, others = 0;
  while (found < tracks && others < 16 && !r.Failed()) {
    if (!IsFourCC(r, p)) return std::nullopt;
    if (r.Equals(p, "MTrk")) ++found; else ++others;
    p += 8 + uint64_t(r.U32BE(p + 4));
  }
  if (found < tracks) return std::nullopt;
  return Checked(r, p);
}

// The highest byte any IFD, out-of-line value, strip or tile reaches.
End TiffEnd(FileReader& r) {
  // Olympus ('RO', 'RS') and Panasonic (0x55) raw files change only the magic number.
  bool be;
  if (r.Equals(0, "II*\0"sv) || r.Equals(0, "IIRO"sv) || r.Equals(0, "IIRS"sv) || r.Equals(0, "IIU\0"sv)) be = false;
  else if (r.Equals(0, "MM\0*"sv) || r.Equals(0, "MMOR"sv)) be = true;
  else return std::nullopt;
  static constexpr uint8_t kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  // Real files have a few IFDs of a few dozen entries; these bounds keep crafted ones cheap.
  constexpr size_t kMaxIfds = 64, kMaxEntries = 1024, kMaxValues = 1u << 16;
  std::vector<uint64_t> pending{r.U32(4, be)}, seen;
  uint64_t end = 8;
  // The SHORT or LONG values of an entry.
  auto values = [&](uint64_t entry, std::vector<uint64_t>& out) {
    out.clear();
    if (entry == 0) return;
    const uint16_t type = r.U16(entry + 2, be);
    const uint32_t count = std::min<uint32_t>(r.U32(entry + 4, be), kMaxValues);
    const size_t width = type == 3 ? 2 : 4;
    const uint64_t at = uint64_t(count) * width <= 4 ? entry + 8 : r.U32(entry + 8, be);
    for (uint32_t i = 0; i < count && !r.Failed(); ++i)
      out.push_back(width == 2 ? r.U16(at + 2 * i, be) : r.U32(at + 4 * i, be));
  };
  std::vector<uint64_t> offsets, counts, links;
  while (!pending.empty() && seen.size() < kMaxIfds && !r.Failed()) {
    const uint64_t ifd = pending.back();
    pending.pop_back();
    if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) continue;
    seen.push_back(ifd);
    const uint16_t entries = r.U16(ifd, be);
    if (entries == 0 || entries > kMaxEntries) return std::nullopt;
    end = std::max(end, ifd + 2 + 12 * uint64_t(entries) + 4);
    uint64_t stripOffsets = 0, stripCounts = 0, tileOffsets = 0, tileCounts = 0, jpegOffset = 0, jpegLength = 0;
    for (uint16_t i = 0; i < entries && !r.Failed(); ++i) {
      const uint64_t entry = ifd + 2 + 12 * uint64_t(i);
      const uint16_t tag = r.U16(entry, be), type = r.U16(entry + 2, be);
      const uint64_t count = r.U32(entry + 4, be);
      if (type == 0 || type >= std::size(kTypeSize) || kTypeSize[type] == 0) continue;
      const uint64_t bytes = count * kTypeSize[type];
      if (bytes > 4) end = std::max(end, uint64_t(r.U32(entry + 8, be)) + bytes);
      if (tag == 273) stripOffsets = entry;
      if (tag == 279) stripCounts = entry;
      if (tag == 324) tileOffsets = entry;
      if (tag == 325) tileCounts = entry;
      if (tag == 513) jpegOffset = entry;  // a raw file's preview or thumbnail JPEG
      if (tag == 514) jpegLength = entry;
      if ((tag == 330 || tag == 34665 || tag == 34853) && pending.size() < kMaxIfds) {  // SubIFDs, Exif, GPS
        values(entry, links);
        for (size_t k = 0; k < links.size() && pending.size() < kMaxIfds; ++k) pending.push_back(links[k]);
      }
    }
    for (auto [o, c] : {std::pair{stripOffsets, stripCounts}, std::pair{tileOffsets, tileCounts},
                        std::pair{jpegOffset, jpegLength}}) {
      values(o, offsets);
      values(c, counts);
      for (size_t k = 0; k < std::min(offsets.size(), counts.size()); ++k) end = std::max(end, offsets[k] + counts[k]);
    }
    pending.push_back(r.U32(ifd + 2 + 12 * uint64_t(entries), be));
  }
  return Checked(r, end);
}

// Portable executables end with their last section's raw data (or a signature appended after it);
// DOS programs say their length in the header.
End ExeEnd(FileReader& r) {
  if (!r.Equals(0, "MZ")) return std::nullopt;
  const uint32_t pe = r.U32LE(0x3C);
  if (!r.Failed() && pe >= 0x40 && r.Equals(pe, "PE\0\0"sv)) {
    const uint16_t sections = r.U16LE(pe + 6), optionalSize = r.U16LE(pe + 20);
    const uint64_t optional = pe + 24;
    const uint16_t magic = r.U16LE(optional);
    if (sections == 0 || sections > 96 || (magic != 0x10B && magic != 0x20B)) return std::nullopt;
    uint64_t end = r.U32LE(optional + 60);  // SizeOfHeaders
    const uint64_t directories = optional + (magic == 0x10B ? 96 : 112);
    const uint32_t directoryCount = r.U32LE(directories - 4);
    if (directoryCount > 4 && uint64_t(directories) + 5 * 8 <= optional + optionalSize) {
      const uint32_t certificate = r.U32LE(directories + 4 * 8), certificateSize = r.U32LE(directories + 4 * 8 + 4);
      if (certificate != 0) end = std::max(end, uint64_t(certificate) + certificateSize);
    }
    const uint64_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
      const uint64_t section = table + 40 * uint64_t(i);
      const uint32_t rawSize = r.U32LE(section + 16), rawPointer = r.U32LE(section + 20);
      if (rawSize != 0) end = std::max(end, uint64_t(rawPointer) + rawSize);
    }
    return Checked(r, end);
  }
  const uint16_t lastPage = r.U16LE(2), pages = r.U16LE(4), headerParagraphs = r.U16LE(8);
  if (pages == 0 || lastPage >= 512) return std::nullopt;
  const uint64_t end = uint64_t(pages) * 512 - (lastPage ? 512 - lastPage : 0);
  if (end < uint64_t(headerParagraphs) * 16) return std::nullopt;
  return Checked(r, end);
}

struct Frame {
  uint8_t b1 = 0, b2 = 0;
  size_t size = 0;
};

Frame FrameAt(FileReader& r, uint64_t p) {
  Frame f;
  if (!r.Has(p, 4) || r.U8(p) != 0xFF) return f;
  f.b1 = r.U8(p + 1);
  f.b2 = r.U8(p + 2);
  if ((f.b1 & 0xE0) != 0xE0) return f;
  const uint8_t header[4] = {0xFF, f.b1, f.b2, r.U8(p + 3)};
  f.size = MpegAudioFrameSize(header);
  return f;
}

// Same stream: the version, layer, protection and sample rate stay the same from frame to frame.
bool SameStream(const Frame& a, const Frame& b) { return a.b1 == b.b1 && (a.b2 & 0x0C) == (b.b2 & 0x0C); }

// Frames follow each other from the first header that starts a chain of a few frames; the stream
// ends where the next header is missing or belongs to another stream. An ID3v2 tag before it and
// an ID3v1 tag after it belong to the file.
End Mp3End(FileReader& r) {
  constexpr unsigned kChainToStart = 4;
  uint64_t start = 0;
  if (r.Equals(0, "ID3") && r.Has(0, 10)) {
    uint64_t size = 0;
    for (uint64_t i = 6; i < 10; ++i) size = size << 7 | (r.U8(i) & 0x7F);
    start = 10 + size + ((r.U8(5) & 0x10) ? 10 : 0);
  }
  // The first frame: a header in the first 4 KiB after the tag that is followed by a short chain.
  std::optional<uint64_t> first;
  for (uint64_t p = start; p < start + 4096 && !first; ++p) {
    const Frame f = FrameAt(r, p);
    if (f.size < 32) continue;
    uint64_t q = p + f.size;
    unsigned chain = 1;
    while (chain < kChainToStart) {
      const Frame g = FrameAt(r, q);
      if (g.size < 32 || !SameStream(f, g)) break;
      q += g.size;
      ++chain;
    }
    if (chain == kChainToStart) first = p;
  }
  if (!first) return std::nullopt;
  const Frame head = FrameAt(r, *first);
  uint64_t p = *first;
  for (;;) {
    const Frame f = FrameAt(r, p);
    if (f.size < 32 || !SameStream(head, f) || !r.Has(p, f.size)) break;
    p += f.size;
  }
  if (r.Equals(p, "TAG") && r.Has(p, 128)) p += 128;
  return Checked(r, p);
}

std::optional<uint64_t> TarNumber(FileReader& r, uint64_t p, size_t width) {
  const uint8_t lead = r.U8(p);
  uint64_t v = 0;
  if (lead & 0x80) {  // base-256 for sizes of 8 GiB and more
    for (size_t i = 1; i < width; ++i) v = v << 8 | r.U8(p + i);
    return v;
  }
  size_t i = 0;
  while (i < width && r.U8(p + i) == ' ') ++i;
  for (; i < width; ++i) {
    const uint8_t c = r.U8(p + i);
    if (c == 0 || c == ' ') break;
    if (c < '0' || c > '7') return std::nullopt;
    v = v << 3 | uint64_t(c - '0');
  }
  return v;
}

bool IsZeroBlock(FileReader& r, uint64_t p) {
  if (!r.Has(p, 512)) return false;
  auto bytes = r.Span(p, 512);
  return bytes.size() == 512 && std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// Headers and their data up to the two zero blocks; tar pads the archive to whole records of
// 10240 bytes with zeros, which belong to the file when they are there.
End TarEnd(FileReader& r) {
  constexpr uint64_t kBlock = 512, kRecord = 20 * kBlock;
  uint64_t p = 0;
  while (!r.Failed()) {
    if (IsZeroBlock(r, p)) {
      if (p == 0 || !IsZeroBlock(r, p + kBlock)) return std::nullopt;
      uint64_t end = p + 2 * kBlock;
      const uint64_t record = (end + kRecord - 1) / kRecord * kRecord;
      uint64_t q = end;
      while (q < record && IsZeroBlock(r, q)) q += kBlock;
      if (q == record) end = record;
      return Checked(r, end);
    }
    auto header = r.Span(p, 512);
    if (header.size() != 512) return std::nullopt;
    uint64_t sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : header[i];
    const auto stored = TarNumber(r, p + 148, 8), size = TarNumber(r, p + 124, 12);
    if (!stored || !size || *stored != sum || *size > r.Cap()) return std::nullopt;
    p += kBlock + (*size + kBlock - 1) / kBlock * kBlock;
  }
  return std::nullopt;
}

// The start header says where the next header lies and how long it is; it ends the archive.
End SevenZipEnd(FileReader& r) {
  if (!r.Equals(0, "7z\xBC\xAF\x27\x1C"sv)) return std::nullopt;
  const uint64_t offset = r.U64LE(12), size = r.U64LE(20);
  if (r.Failed() || size == 0 || offset > r.Cap() || size > r.Cap() - offset) return std::nullopt;
  return Checked(r, 32 + offset + size);
}

// Page size times the page count, when the header says the count is current.
End SqliteEnd(FileReader& r) {
  if (!r.Equals(0, "SQLite format 3\0"sv)) return std::nullopt;
  const uint32_t pageSize = r.U16BE(16) == 1 ? 65536 : r.U16BE(16);
  const uint32_t pages = r.U32BE(28), changes = r.U32BE(24), validFor = r.U32BE(92);
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0 || pages == 0 || validFor != changes) return std::nullopt;
  return Checked(r, uint64_t(pageSize) * pages);
}


// Compound documents (Word, Excel, PowerPoint of Office 97-2003, MSI): the file ends after the last
// sector its allocation table uses. The table's sectors are listed in the header and, for large
// files, in a chain of further list sectors.
End CompoundEnd(FileReader& r) {
  if (!r.Equals(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv)) return std::nullopt;
  const uint16_t shift = r.U16LE(0x1E);
  if (shift != 9 && shift != 12) return std::nullopt;
  const uint64_t sectorSize = uint64_t(1) << shift, perSector = sectorSize / 4;
  const uint32_t fatSectors = r.U32LE(0x2C);
  constexpr uint32_t kFree = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE;
  if (r.Failed() || fatSectors == 0 || fatSectors > r.Cap() / sectorSize / perSector + 1) return std::nullopt;
  // The table sectors: 109 in the header, the rest in the list sectors.
  std::vector<uint32_t> table;
  for (uint64_t i = 0; i < 109 && table.size() < fatSectors; ++i) table.push_back(r.U32LE(0x4C + 4 * i));
  uint32_t list = r.U32LE(0x44);
  for (uint32_t hops = 0; table.size() < fatSectors && list < kEndOfChain && hops < fatSectors && !r.Failed();
       ++hops) {
    const uint64_t at = (uint64_t(list) + 1) * sectorSize;
    for (uint64_t i = 0; i + 1 < perSector && table.size() < fatSectors; ++i) table.push_back(r.U32LE(at + 4 * i));
    list = r.U32LE(at + 4 * (perSector - 1));
  }
  if (table.size() < fatSectors) return std::nullopt;
  std::optional<uint64_t> last;
  for (size_t t = 0; t < table.size() && !r.Failed(); ++t) {
    if (table[t] >= kEndOfChain) return std::nullopt;
    const uint64_t at = (uint64_t(table[t]) + 1) * sectorSize;
    for (uint64_t i = 0; i < perSector; ++i)
      if (r.U32LE(at + 4 * i) != kFree) last = t * perSector + i;
  }
  if (!last) return std::nullopt;
  return Checked(r, (*last + 2) * sectorSize);
}

// dBASE tables: the header, the records it counts, and the end-of-file mark when it is there.
End DbfEnd(FileReader& r) {
  const uint32_t records = r.U32LE(4);
  const uint16_t header = r.U16LE(8), record = r.U16LE(10);
  if (r.Failed() || header < 33 || record == 0 || r.U8(header - 1) != 0x0D) return std::nullopt;
  uint64_t end = header + uint64_t(records) * record;
  if (r.Has(end, 1) && r.U8(end) == 0x1A) ++end;
  return Checked(r, end);
}

// Skips a line end (CR LF, LF or CR) at p.
uint64_t AfterLineEnd(FileReader& r, uint64_t p) {
  if (r.Has(p, 1) && r.U8(p) == '\r') ++p;
  if (r.Has(p, 1) && r.U8(p) == '\n') ++p;
  return p;
}

// Rich text is one group: the file ends where the braces opened by the first one are closed.
End RtfEnd(FileReader& r) {
  if (!r.Equals(0, "{\\rtf")) return std::nullopt;
  uint64_t depth = 0;
  for (uint64_t p = 0; r.Has(p, 1); ++p) {
    const uint8_t c = r.U8(p);
    if (c == '\\') {
      ++p;  // an escaped brace or backslash is text
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return Checked(r, AfterLineEnd(r, p + 1));
    } else if (c == 0) {
      return std::nullopt;  // no rich text holds NUL bytes
    }
  }
  return std::nullopt;
}

// The first closing HTML tag, in any letter case, with its line end.
End HtmlEnd(FileReader& r) {
  uint64_t p = 0;
  while (auto q = r.FindByte(p, '<')) {
    p = *q + 1;
    auto tag = r.Span(*q, 7);
    if (tag.size() < 7) return std::nullopt;
    std::string text(tag.begin(), tag.end());
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (text == "</HTML>") return Checked(r, AfterLineEnd(r, *q + 7));
  }
  return std::nullopt;
}

// Drawing exchange files end with the group pair 0 / EOF.
End DxfEnd(FileReader& r) {
  uint64_t p = 0;
  while (auto q = r.Find(p, "\nEOF")) {
    p = *q + 1;
    const uint64_t e = AfterLineEnd(r, *q + 4);
    if (e > *q + 4) return Checked(r, e);
  }
  return std::nullopt;
}

struct Finder {
  std::string_view type;
  End (*find)(FileReader&);
  uint64_t cap;
};

// Caps: the largest file each finder looks for. A cap is also how far a finder reads on a false
// hit that never reaches an end, so formats found by scanning (JPEG, PDF, ZIP) keep theirs moderate.
constexpr Finder kFinders[] = {
    {"JPG", JpegEnd, 64 * kMiB},   {"PNG", PngEnd, 64 * kMiB},   {"GIF", GifEnd, 64 * kMiB},
    {"BMP", BmpEnd, 512 * kMiB},   {"WAV", RiffEnd, 4096 * kMiB}, {"AVI", RiffEnd, 4096 * kMiB},
    {"RIFF", RiffEnd, 4096 * kMiB}, {"CDR", RiffEnd, 512 * kMiB},  {"ZIP", ZipEnd, 256 * kMiB},
    {"PDF", PdfEnd, 64 * kMiB},    {"MID", MidiEnd, 16 * kMiB},  {"TIF", TiffEnd, 512 * kMiB},
    {"EXE", ExeEnd, 512 * kMiB},   {"MP3", Mp3End, 64 * kMiB},   {"TAR", TarEnd, 1024 * kMiB},
    {"7Z", SevenZipEnd, 4096 * kMiB}, {"SQLITE", SqliteEnd, 4096 * kMiB}, {"MP4", IsoMediaEnd, 4096 * kMiB},
    {"MOV", IsoMediaEnd, 4096 * kMiB}, {"DOC", CompoundEnd, 512 * kMiB}, {"DBF", DbfEnd, 2048 * kMiB},
    {"RTF", RtfEnd, 64 * kMiB},        {"HTML", HtmlEnd, 16 * kMiB},    {"DXF", DxfEnd, 64 * kMiB},
    // Cards and phones: camera raw files, ISO base media, Matroska, lossless and Ogg audio, AVCHD.
    {"CR2", TiffEnd, 512 * kMiB},  {"NEF", TiffEnd, 512 * kMiB}, {"ARW", TiffEnd, 512 * kMiB},
    {"DNG", TiffEnd, 1024 * kMiB}, {"ORF", TiffEnd, 512 * kMiB}, {"RW2", TiffEnd, 512 * kMiB},
    {"PEF", TiffEnd, 512 * kMiB},  {"RAF", RafEnd, 512 * kMiB},  {"WEBP", RiffEnd, 256 * kMiB},
    {"HEIC", IsoMediaEnd, 256 * kMiB}, {"AVIF", IsoMediaEnd, 256 * kMiB}, {"CR3", IsoMediaEnd, 1024 * kMiB},
    {"M4A", IsoMediaEnd, 2048 * kMiB}, {"3GP", IsoMediaEnd, 4096 * kMiB}, {"MKV", MatroskaEnd, 4096 * kMiB},
    {"WEBM", MatroskaEnd, 4096 * kMiB}, {"FLAC", FlacEnd, 2048 * kMiB},   {"OGG", OggEnd, 1024 * kMiB},
    {"MTS", M2tsEnd, 4096 * kMiB},      {"TS", MpegTsEnd, 4096 * kMiB},
};

const Finder* FinderFor(std::string_view type) {
  for (const Finder& f : kFinders)
    if (f.type == type) return &f;
  return nullptr;
}

}  // namespace

size_t TSpanSource::ReadAt(uint64_t offset, uint8_t* out, size_t count) {
  if (offset >= bytes_.size()) return 0;
  const size_t n = size_t(std::min<uint64_t>(count, bytes_.size() - offset));
  std::memcpy(out, bytes_.data() + offset, n);
  return n;
}

TBlockSource::TBlockSource(uint32_t blockSize, uint64_t blocks, ReadBlocks read)
    : blockSize_(blockSize), blocks_(blocks), read_(std::move(read)) {}

size_t TBlockSource::ReadAt(uint64_t offset, uint8_t* out, size_t count) {
  if (blockSize_ == 0 || count == 0) return 0;
  const uint64_t first = offset / blockSize_;
  if (first >= blocks_) return 0;
  const uint64_t skip = offset - first * blockSize_;
  size_t remaining = size_t(std::min<uint64_t>(count, (blocks_ - first) * blockSize_ - skip));
  // Whole blocks go straight to the caller; only a block the request starts or ends inside passes
  // through the buffer.
  buffer_.resize(blockSize_);
  uint8_t* to = out;
  uint64_t block = first;
  if (skip != 0 || remaining < blockSize_) {
    if (!read_(block, 1, buffer_.data())) return 0;
    const size_t n = std::min<size_t>(remaining, size_t(blockSize_ - skip));
    std::memcpy(to, buffer_.data() + skip, n);
    to += n;
    remaining -= n;
    ++block;
  }
  const uint64_t whole = remaining / blockSize_;
  if (whole != 0) {
    if (!read_(block, uint32_t(whole), to)) return size_t(to - out);
    to += whole * blockSize_;
    remaining -= size_t(whole * blockSize_);
    block += whole;
  }
  if (remaining != 0) {
    if (!read_(block, 1, buffer_.data())) return size_t(to - out);
    std::memcpy(to, buffer_.data(), remaining);
    to += remaining;
  }
  return size_t(to - out);
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (const uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint64_t MaxFileEndSearch(std::string_view typeName) {
  const Finder* f = FinderFor(typeName);
  return f ? f->cap : 0;
}

std::optional<uint64_t> FindFileEnd(std::string_view typeName, TByteSource& source) {
  const Finder* f = FinderFor(typeName);
  if (f == nullptr) return std::nullopt;
  FileReader reader(source, f->cap);
  return f->find(reader);
}

}  // namespace salvex
