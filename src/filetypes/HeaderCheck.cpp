#include "filetypes/HeaderCheck.h"

#include <algorithm>
#include <initializer_list>

#include "filetypes/FileReader.h"

namespace salvex {

namespace {

using namespace std::string_view_literals;
using namespace fileend;

using Check = THeaderCheck;

Check Verdict(FileReader& r, bool consistent) {
  return consistent && !r.Failed() ? Check::Consistent : Check::Inconsistent;
}

bool OneOf(uint32_t v, std::initializer_list<uint32_t> set) { return std::find(set.begin(), set.end(), v) != set.end(); }

// Segments from the start marker to the first scan, which a frame header must precede.
Check Jpeg(FileReader& r) {
  uint64_t p = 2;
  bool frame = false;
  for (int segments = 0; segments < 64 && !r.Failed(); ++segments) {
    if (r.U8(p) != 0xFF) return Check::Inconsistent;
    while (r.U8(p) == 0xFF && !r.Failed() && p < 4096) ++p;
    const uint8_t marker = r.U8(p++);
    const uint16_t length = r.U16BE(p);
    if (length < 2) return Check::Inconsistent;
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof) {
      const uint8_t precision = r.U8(p + 2), components = r.U8(p + 7);
      if ((precision != 8 && precision != 12 && precision != 16) || r.U16BE(p + 5) == 0 || components == 0 ||
          components > 4 || length < 8 + 3 * components)
        return Check::Inconsistent;
      frame = true;
    } else if (marker == 0xDA) {
      return Verdict(r, frame);
    } else if (!(marker >= 0xE0 && marker <= 0xEF) && !OneOf(marker, {0xC4, 0xCC, 0xDB, 0xDD, 0xFE})) {
      return Check::Inconsistent;
    }
    p += length;
  }
  return Check::Inconsistent;
}

// The file header and the information header: sizes that fit, one plane, a known depth.
Check Bmp(FileReader& r) {
  const uint32_t size = r.U32LE(2), reserved = r.U32LE(6), dataOffset = r.U32LE(10), header = r.U32LE(14);
  if (!OneOf(header, {12, 16, 40, 52, 56, 64, 108, 124}) || reserved != 0 || dataOffset < 14 + header ||
      dataOffset > size)
    return Check::Inconsistent;
  if (header == 12) {
    const uint16_t width = r.U16LE(18), height = r.U16LE(20);
    return Verdict(r, width != 0 && height != 0 && r.U16LE(22) == 1 && OneOf(r.U16LE(24), {1, 4, 8, 24}));
  }
  const auto width = int32_t(r.U32LE(18)), height = int32_t(r.U32LE(22));
  const bool sane = width > 0 && width <= (1 << 16) && height != 0 && height >= -(1 << 16) && height <= (1 << 16);
  return Verdict(r, sane && r.U16LE(26) == 1 && OneOf(r.U16LE(28), {0, 1, 2, 4, 8, 16, 24, 32, 48, 64}) &&
                        r.U32LE(30) <= 13);
}

// The byte order and magic number, then a first IFD inside the file whose entries have known
// types and come in ascending tag order, as TIFF writers put them.
Check Tiff(FileReader& r) {
  bool be;
  if (r.Equals(0, "II*\0"sv) || r.Equals(0, "IIRO"sv) || r.Equals(0, "IIRS"sv) || r.Equals(0, "IIU\0"sv)) be = false;
  else if (r.Equals(0, "MM\0*"sv) || r.Equals(0, "MMOR"sv)) be = true;
  else return Check::Inconsistent;
  const uint32_t ifd = r.U32(4, be);
  if (ifd < 8 || !r.Has(ifd, 2)) return Check::Inconsistent;
  const uint16_t entries = r.U16(ifd, be);
  if (entries == 0 || entries > 1024) return Check::Inconsistent;
  uint32_t previous = 0;
  for (uint16_t i = 0; i < entries; ++i) {
    const uint64_t entry = ifd + 2 + 12 * uint64_t(i);
    const uint16_t tag = r.U16(entry, be), type = r.U16(entry + 2, be);
    if ((i > 0 && uint32_t(tag) <= previous) || type == 0 || type > 18 || type == 14 || type == 15) return Check::Inconsistent;
    previous = tag;
  }
  return Verdict(r, true);
}

// The main header: its length, then a CRC-32 over it.
Check Arj(FileReader& r) {
  const uint16_t basic = r.U16LE(2);
  if (basic < 30 || basic > 2600 || r.U8(4) < 30 || r.U8(4) > basic || !r.Has(4, size_t(basic) + 4))
    return Check::Inconsistent;
  const auto header = r.Span(4, basic);
  return Verdict(r, header.size() == size_t(basic) && Crc32(header) == r.U32LE(4 + uint64_t(basic)));
}

// The BOF record an Excel stream starts with: its length for the BIFF version, and a known
// substream type.
Check Excel(FileReader& r) {
  const uint8_t version = r.U8(1);
  const uint16_t length = r.U16LE(2);
  if (version == 0x00) return Verdict(r, length == 4 && OneOf(r.U16LE(6), {0x10, 0x20, 0x40}));
  if (version == 0x02 || version == 0x04) return Verdict(r, length == 6 && OneOf(r.U16LE(6), {0x10, 0x20, 0x40, 0x100}));
  return Verdict(r, (length == 8 || length == 16) && OneOf(r.U16LE(4), {0x0500, 0x0600}) &&
                        OneOf(r.U16LE(6), {0x05, 0x06, 0x10, 0x20, 0x40, 0x100}));
}

// A Word file information block (a version number of the years Word wrote one, the text's range
// in order), or the header of a compound file.
Check Word(FileReader& r) {
  if (r.Equals(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv))
    return Verdict(r, OneOf(r.U16LE(0x1A), {3, 4}) && r.U16LE(0x1C) == 0xFFFE && OneOf(r.U16LE(0x1E), {9, 12}));
  if (r.Equals(0, "\xD0\xCF\x11\xE0"sv)) return Check::Inconsistent;
  const uint16_t nFib = r.U16LE(2);
  const uint32_t textFirst = r.U32LE(0x18), textEnd = r.U32LE(0x1C);
  return Verdict(r, nFib >= 0x21 && nFib <= 0x200 && textFirst >= 0x20 && textFirst <= textEnd && textEnd < (512u << 20));
}

// The DOS header every executable starts with: the relocation table right after its fixed fields
// (where linkers put it), inside a header that is inside the file.
Check DosHeader(FileReader& r) {
  const uint16_t lastPage = r.U16LE(2), pages = r.U16LE(4), relocations = r.U16LE(6), paragraphs = r.U16LE(8);
  const uint16_t minAlloc = r.U16LE(10), maxAlloc = r.U16LE(12), relocationTable = r.U16LE(0x18);
  const uint64_t header = uint64_t(paragraphs) * 16;
  return Verdict(r, lastPage < 512 && pages != 0 && paragraphs >= 2 && header <= uint64_t(pages) * 512 &&
                        minAlloc <= maxAlloc && relocationTable >= 0x1C && relocationTable <= 0x40 &&
                        relocationTable + 4 * uint64_t(relocations) <= std::max<uint64_t>(header, 0x40));
}

}  // namespace

THeaderCheck CheckHeader(std::string_view type, TByteSource& source) {
  FileReader r(source, 1 << 20);
  if (type == "JPG") return Jpeg(r);
  if (type == "BMP") return Bmp(r);
  for (std::string_view tiff : {"TIF"sv, "CR2"sv, "NEF"sv, "ARW"sv, "DNG"sv, "ORF"sv, "RW2"sv, "PEF"sv})
    if (type == tiff) return Tiff(r);
  if (type == "ARJ") return Arj(r);
  if (type == "XLS") return Excel(r);
  if (type == "DOC") return Word(r);
  if (type == "EXE") return DosHeader(r);
  return Check::NotChecked;
}

}  // namespace salvex
