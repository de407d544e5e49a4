#pragma once
// Signatures of the camera, phone and media formats, used by IdentifyFileType (FileTypes.cpp).
#include <cstdint>
#include <span>

namespace salvex {

// A TIFF header's kind: the camera raw formats built on TIFF by their magic number, their maker's
// name or the DNG version tag in the first IFD; "TIF" otherwise.
const char* TiffKind(std::span<const uint8_t> cluster);

// The kind of an ISO base media file ('ftyp' at offset 4) by its brands.
const char* IsoBrandType(std::span<const uint8_t> cluster);

// Formats with a signature of their own that the older list does not know; nullptr when none.
const char* MatchMediaSignature(std::span<const uint8_t> cluster);

}  // namespace salvex
