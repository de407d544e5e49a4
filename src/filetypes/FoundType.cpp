#include <zlib.h>

#include <string>

#include "filetypes/FileReader.h"

namespace salvex {

namespace {

using namespace std::string_view_literals;
using namespace fileend;

// The end of central directory record of a ZIP archive of `size` bytes.
std::optional<uint64_t> EndRecord(FileReader& r, uint64_t size) {
  for (uint64_t back = 22; back <= std::min<uint64_t>(size, 22 + 0xFFFF); ++back)
    if (r.Equals(size - back, "PK\x05\x06"sv)) return size - back;
  return std::nullopt;
}

// Calls visit(name, central header offset) for each central directory entry until it returns true.
template <class Visit>
void ForEachEntry(FileReader& r, uint64_t size, Visit visit) {
  const auto record = EndRecord(r, size);
  if (!record) return;
  const uint16_t entries = r.U16LE(*record + 10);
  uint64_t p = r.U32LE(*record + 16);
  for (uint16_t i = 0; i < entries && !r.Failed() && r.Equals(p, "PK\x01\x02"sv); ++i) {
    const uint16_t nameLength = r.U16LE(p + 28);
    auto bytes = r.Span(p + 46, nameLength);
    if (visit(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), p)) return;
    p += 46 + uint64_t(nameLength) + r.U16LE(p + 30) + r.U16LE(p + 32);
  }
}

// The bytes of a small entry (stored or deflated), at most 256 KiB of them.
std::string EntryText(FileReader& r, uint64_t central) {
  constexpr size_t kLimit = 256 * 1024;
  const uint16_t method = r.U16LE(central + 10);
  const uint32_t packed = r.U32LE(central + 20);
  const uint64_t local = r.U32LE(central + 42);
  if (r.Failed() || !r.Equals(local, "PK\x03\x04"sv) || packed > 64 * 1024) return "";
  const uint64_t data = local + 30 + r.U16LE(local + 26) + r.U16LE(local + 28);
  auto bytes = r.Span(data, packed);
  if (bytes.size() != packed) return "";
  if (method == 0) return std::string(bytes.begin(), bytes.end());
  if (method != 8) return "";
  std::string out(kLimit, '\0');
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return "";
  z.next_in = const_cast<Bytef*>(bytes.data());
  z.avail_in = uInt(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int result = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  return result == Z_STREAM_END || result == Z_BUF_ERROR ? out : "";
}

// Packages built on ZIP: OpenDocument and EPUB store their media type, uncompressed, as the first
// entry; Office Open XML has a content-types part and names its main part by a fixed path.
std::string ZipPackageType(FileReader& r, uint64_t size) {
  if (r.Equals(30, "mimetype") && r.U16LE(26) == 8 && r.U16LE(8) == 0) {
    const uint64_t data = 38 + uint64_t(r.U16LE(28));
    const uint32_t length = r.U32LE(18);
    auto text = r.Span(data, std::min<uint32_t>(length, 80));
    const std::string type(text.begin(), text.end());
    if (type == "application/epub+zip") return "EPUB";
    static constexpr std::pair<std::string_view, const char*> kOpenDocument[] = {
        {"text", "ODT"}, {"spreadsheet", "ODS"}, {"presentation", "ODP"}, {"graphics", "ODG"}};
    for (auto [kind, name] : kOpenDocument)
      if (type == "application/vnd.oasis.opendocument." + std::string(kind)) return name;
    return "ZIP";
  }
  bool contentTypes = false;
  const char* main = nullptr;
  ForEachEntry(r, size, [&](std::string_view name, uint64_t) {
    if (name == "[Content_Types].xml") contentTypes = true;
    if (name == "word/document.xml") main = "DOCX";
    if (name == "xl/workbook.xml") main = "XLSX";
    if (name == "ppt/presentation.xml") main = "PPTX";
    return false;
  });
  return contentTypes && main ? main : "ZIP";
}

}  // namespace

std::string fileend::ZipPackageTitle(FileReader& r, uint64_t size) {
  std::string xml;
  ForEachEntry(r, size, [&](std::string_view name, uint64_t central) {
    if (name != "docProps/core.xml" && name != "meta.xml") return false;
    xml = EntryText(r, central);
    return true;
  });
  const size_t open = xml.find("<dc:title>");
  if (open == std::string::npos) return "";
  const size_t from = open + 10, close = xml.find("</dc:title>", from);
  if (close == std::string::npos) return "";
  std::string title;
  for (size_t i = from; i < close; ++i) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    bool replaced = false;
    for (auto [entity, c] : kEntities)
      if (std::string_view(xml).substr(i).starts_with(entity)) {
        title += c, i += entity.size() - 1, replaced = true;
        break;
      }
    if (!replaced) title += xml[i];
  }
  return title;
}

std::string FoundFileType(std::string_view type, TByteSource& source, uint64_t size) {
  if (type != "ZIP") return std::string(type);
  FileReader r(source, size);
  return ZipPackageType(r, size);
}

}  // namespace salvex
