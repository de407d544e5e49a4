#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "filetypes/FileEnd.h"

namespace salvex {

// The name under which a file found by its content is listed: "cluster N.TYPE", or, where the file
// says what it is, that first with the cluster kept so that names stay unique:
//   photos and raw files by their EXIF date and camera: "2026-05-01 12-30-05 Canon EOS R6 (cluster N).JPG"
//   MP3 by their ID3 artist and title:                 "Artist - Title (cluster N).MP3"
//   PDF and Office Open XML by their title:             "Title (cluster N).PDF"
// `size` is the file's length as found (its metadata is looked for within it). Text taken from the
// file is stripped of control characters and slashes and kept short.
std::string CarvedFileName(uint64_t cluster, std::string_view type, TByteSource& source, uint64_t size);

}  // namespace salvex
