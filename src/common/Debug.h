#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace salvex {

// The leveled diagnostic log. Levels: 0 structural faults, 1 progress, 3 details and hex dumps.
// A line reaches the sink when its level is at most the current debug level.
using DebugSink = std::function<void(std::string_view line)>;

void SetDebugSink(DebugSink sink);  // none = lines are dropped
void SetDebugLevel(int level);
int DebugLevel();
void DebugLog(std::string_view text, int level);
// "Hexdump: ", then per 16 bytes "OOOOh : XX XX ...   :  chars", then an empty line; level 3.
void DebugHexDump(const uint8_t* bytes, size_t count);

}  // namespace salvex
