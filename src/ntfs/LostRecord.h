#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace salvex {

// A file record at the start of `buffer` with a name and an unnamed resident $DATA: the name in
// the listing's code page (at most maxNameChars characters), the data's length and its offset
// from the start of the buffer. The record's update sequence is applied to a copy first. Other
// file systems' lost-data searches reach it through the file-system registry.
bool ParseNTFSLostRecord(std::span<const uint8_t> buffer, size_t maxNameChars, std::string& name, uint32_t& size,
                         uint32_t& offset);

}  // namespace salvex
