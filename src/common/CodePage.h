#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace salvex {

// Names are UTF-8 in the core (common/Unicode.h converts UTF-16 names). 8-bit text is met in two
// places: FAT short names, in the OEM code page of the machine that wrote them, and the "ANSI" code
// page (Windows-1252 unless set otherwise) of older interfaces.
void SetNameCodePage(std::string_view iconvName);
const std::string& NameCodePage();

// UTF-16LE bytes (as stored by NTFS and long FAT names) to the ANSI code page; unmappable
// characters become '?'.
std::string Utf16ToAnsi(std::span<const uint8_t> utf16le);
std::string Utf16ToAnsi(std::u16string_view text);
// Text that is already valid UTF-8 passes unchanged, so that callers still converting UTF-8 core names
// at their edge do not mangle them; everything else is read in the ANSI code page.
std::string AnsiToUtf8(std::string_view ansi);
// An 8.3 short name's bytes, decoded with `codePage` (an iconv name such as "CP850"); a byte the code
// page does not define becomes U+FFFD.
std::string OemToUtf8(std::string_view oem, std::string_view codePage);
// Characters the code page cannot hold become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace salvex
