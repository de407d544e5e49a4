#include "common/CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "common/Unicode.h"

namespace salvex {
namespace {

std::string& CodePageName() {
  static std::string name = "WINDOWS-1252";
  return name;
}

// Converts with iconv; an input sequence that cannot be converted becomes one '?', and the
// converter skips one input unit (unitSize bytes) to go on.
std::string Convert(const char* from, const char* to, std::string_view input, size_t unitSize) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // Unknown code page: keep ASCII, mark the rest.
    std::string out;
    for (size_t i = 0; i < input.size(); i += unitSize) {
      unsigned char c = static_cast<unsigned char>(input[i]);
      bool ascii = c < 0x80 && (unitSize == 1 || (i + 1 < input.size() && input[i + 1] == 0));
      out += ascii ? static_cast<char>(c) : '?';
    }
    return out;
  }
  std::string out;
  std::vector<char> buffer(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), outPtr);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (truncated sequence): substitute and skip one unit.
    out += '?';
    size_t skip = inLeft < unitSize ? inLeft : unitSize;
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace

void SetNameCodePage(std::string_view iconvName) { CodePageName() = std::string(iconvName); }
const std::string& NameCodePage() { return CodePageName(); }

std::string Utf16ToAnsi(std::span<const uint8_t> utf16le) {
  std::string_view in(reinterpret_cast<const char*>(utf16le.data()), utf16le.size() & ~size_t(1));
  return Convert("UTF-16LE", CodePageName().c_str(), in, 2);
}

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return Utf16ToAnsi(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

namespace {
bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t cp = NextCodePoint(text, i);
    if (cp == 0xFFFD && text.substr(start, 3) != "\xEF\xBF\xBD") return false;
  }
  return true;
}

// The upper half of an OEM code page, one UTF-8 string per byte, built once per code page.
const std::array<std::string, 128>& OemUpperHalf(std::string_view codePage) {
  static std::mutex lock;
  static std::map<std::string, std::array<std::string, 128>, std::less<>> tables;
  std::lock_guard<std::mutex> guard(lock);
  if (auto it = tables.find(codePage); it != tables.end()) return it->second;
  std::array<std::string, 128> table;
  const std::string name(codePage);
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  for (size_t b = 0; b < 128; ++b) {
    char in = char(0x80 + b);
    char out[8];
    char* inPtr = &in;
    char* outPtr = out;
    size_t inLeft = 1, outLeft = sizeof out;
    if (cd != reinterpret_cast<iconv_t>(-1) && iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) && inLeft == 0)
      table[b].assign(out, outPtr);
    else
      table[b] = "\xEF\xBF\xBD";
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return tables.emplace(name, table).first->second;
}
}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
  if (IsValidUtf8(ansi)) return std::string(ansi);
  return Convert(CodePageName().c_str(), "UTF-8", ansi, 1);
}

std::string OemToUtf8(std::string_view oem, std::string_view codePage) {
  const auto& upper = OemUpperHalf(codePage);
  std::string out;
  for (char c : oem) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x80)
      out += c;
    else
      out += upper[b - 0x80];
  }
  return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
  bool ascii = true;
  for (char c : utf8)
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  if (ascii) return std::string(utf8);
  return Convert("UTF-8", CodePageName().c_str(), utf8, 1);
}

}  // namespace salvex
