#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace salvex {

// Names are UTF-8 in the core. These convert the UTF-16 names of NTFS and FAT long names without loss
// and compare names the way a listing orders them.

// UTF-16 code units to UTF-8. An unpaired surrogate becomes U+FFFD and sets *lossy.
std::string Utf16ToUtf8(std::u16string_view text, bool* lossy = nullptr);
// The same for little-endian bytes as stored on disk (an odd last byte is ignored).
std::string Utf16LeToUtf8(std::span<const uint8_t> utf16le, bool* lossy = nullptr);

// A name that lost a character gets a tag so that two such names never become one:
// "stem (tag).ext", or "name (tag)" without an extension.
std::string TaggedName(std::string_view name, std::string_view tag);

// The code point of `text` at `pos`, advancing `pos`; a malformed sequence counts as U+FFFD.
char32_t NextCodePoint(std::string_view text, size_t& pos);
void AppendUtf8(std::string& out, char32_t cp);
// The same encoding with surrogates passed through as they are: bytes that sort as the code points do.
void AppendUtf8Unchecked(std::string& out, char32_t cp);

// Simple case folding of Latin, Greek and Cyrillic letters (the rest unchanged).
char32_t FoldCase(char32_t cp);

// Case-insensitive order on code points, ties broken by the bytes: -1, 0 or 1.
int CompareNamesNoCase(std::string_view a, std::string_view b);
// The same with runs of digits compared as numbers ("cluster 1240" before "cluster 12379"), for
// names made from numbers such as those of lost items.
int CompareNamesNatural(std::string_view a, std::string_view b);

}  // namespace salvex
