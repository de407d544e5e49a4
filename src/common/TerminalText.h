#pragma once
#include <string>
#include <string_view>

namespace salvex {

// Names and labels come from the disk and may hold control characters (ESC, BEL, ...) that a
// terminal would act on. One rule for both: C0 controls, DEL and the C1 controls (U+0080..U+009F)
// are the unsafe characters.
bool IsControlCharacter(char32_t c);

// The text with each unsafe character written as an escape: "\x1b" for C0 and DEL, "\u009b" for
// C1. Everything else, invalid UTF-8 bytes included, is kept.
std::string TerminalSafe(std::string_view utf8);

// The text with each unsafe character replaced by '_', for names that become file names.
std::string WithoutControls(std::string_view utf8);

}  // namespace salvex
