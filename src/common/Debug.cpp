#include "common/Debug.h"

#include <cstdio>
#include <string>

namespace salvex {
namespace {
DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}
int& Level() {
  static int level = 3;
  return level;
}
}  // namespace

void SetDebugSink(DebugSink sink) { Sink() = std::move(sink); }
void SetDebugLevel(int level) { Level() = level; }
int DebugLevel() { return Level(); }

void DebugLog(std::string_view text, int level) {
  if (level > Level() || !Sink()) return;
  Sink()(text);
}

void DebugHexDump(const uint8_t* bytes, size_t count) {
  if (3 > Level() || !Sink()) return;
  DebugLog("Hexdump: ", 3);
  char buf[16];
  for (size_t row = 0; row < count; row += 16) {
    std::string line;
    std::snprintf(buf, sizeof buf, "%04Xh : ", static_cast<unsigned>(row));
    line += buf;
    size_t n = count - row < 16 ? count - row : 16;
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X ", bytes[row + i]);
      line += buf;
    }
    line += "  :  ";
    for (size_t i = 0; i < n; ++i) {
      uint8_t c = bytes[row + i];
      line += c <= 10 ? '.' : static_cast<char>(c);
    }
    DebugLog(line, 3);
  }
  DebugLog("", 3);
}

}  // namespace salvex
