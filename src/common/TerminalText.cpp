#include "common/TerminalText.h"

#include <cstdio>

namespace salvex {

namespace {

// Calls out(start, length, isControl, codePoint) for each unit: a C1 control is its two-byte
// UTF-8 form; anything else is one byte at a time (C0 and DEL are single bytes in UTF-8).
template <class Out>
void ForEachUnit(std::string_view s, Out out) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0xC2 && i + 1 < s.size()) {
      const unsigned char d = static_cast<unsigned char>(s[i + 1]);
      if (d >= 0x80 && d <= 0x9F) {
        out(i, 2, true, char32_t(d));
        i += 2;
        continue;
      }
    }
    // Single bytes 0x80..0x9F are continuation bytes of other characters, not controls.
    out(i, 1, c < 0x20 || c == 0x7F, char32_t(c));
    ++i;
  }
}

}  // namespace

bool IsControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

std::string TerminalSafe(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  ForEachUnit(utf8, [&](size_t start, size_t length, bool control, char32_t code) {
    if (!control) {
      out.append(utf8.substr(start, length));
      return;
    }
    char escape[8];
    if (length == 2)
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(code));
    else
      std::snprintf(escape, sizeof escape, "\\x%02x", unsigned(code));
    out += escape;
  });
  return out;
}

std::string WithoutControls(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  ForEachUnit(utf8, [&](size_t start, size_t length, bool control, char32_t) {
    if (control)
      out += '_';
    else
      out.append(utf8.substr(start, length));
  });
  return out;
}

}  // namespace salvex
