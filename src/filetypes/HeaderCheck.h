#pragma once
#include <string_view>

#include "filetypes/FileEnd.h"

namespace salvex {

// What the fields around a signature say of a hit whose end was not found.
enum class THeaderCheck {
  Consistent,    // the header holds together: a file of the type started here
  Inconsistent,  // the signature is there by chance (two bytes match one random cluster in 65536)
  NotChecked,    // no check for the type
};

// Reads the header of a hit of the recogniser's type `typeName` from the source's start: JPEG
// segments up to the scan, BMP and TIFF header fields, the ARJ header CRC, the Excel BOF record,
// the Word file information block, the DOS header of an executable.
THeaderCheck CheckHeader(std::string_view typeName, TByteSource& source);

}  // namespace salvex
