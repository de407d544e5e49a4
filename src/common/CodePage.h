#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace salvex {

// Names from disk are 8-bit strings in the ANSI code page of the listing (Windows-1252 unless
// set otherwise); everything handed to a user interface or the Linux file system is UTF-8.
void SetNameCodePage(std::string_view iconvName);
const std::string& NameCodePage();

// UTF-16LE bytes (as stored by NTFS and long FAT names) to the ANSI code page; unmappable
// characters become '?'.
std::string Utf16ToAnsi(std::span<const uint8_t> utf16le);
std::string Utf16ToAnsi(std::u16string_view text);
std::string AnsiToUtf8(std::string_view ansi);
// Characters the code page cannot hold become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace salvex
