#include "common/CodePage.h"

#include <iconv.h>

#include <array>
#include <map>
#include <mutex>

namespace salvex {
namespace {

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

}  // namespace salvex
