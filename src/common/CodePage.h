#pragma once
#include <string>
#include <string_view>

namespace salvex {

// Names are UTF-8 in the core (common/Unicode.h converts UTF-16 names). The one 8-bit text left
// is a FAT short name, in the OEM code page of the machine that wrote it.

// An 8.3 short name's bytes, decoded with `codePage` (an iconv name such as "CP850"); a byte the code
// page does not define becomes U+FFFD.
std::string OemToUtf8(std::string_view oem, std::string_view codePage);

}  // namespace salvex
