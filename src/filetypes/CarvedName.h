#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "filetypes/FileEnd.h"

namespace salvex {

// The name under which a file found by its content is listed: "cluster N.type", or, where the file
// says what it is, that first with the cluster kept so that names stay unique:
//   photos and raw files by their EXIF date and camera: "2026-05-01 12-30-05 Canon EOS R6 (cluster N).jpg"
//   MP3 by their ID3 artist and title:                 "Artist - Title (cluster N).mp3"
//   PDF and Office Open XML by their title:             "Title (cluster N).pdf"
// `size` is the file's length as found (its metadata is looked for within it). Text taken from the
// file is stripped of control characters and slashes and kept short.
std::string CarvedFileName(uint64_t cluster, std::string_view type, TByteSource& source, uint64_t size);

// The extension of a found file: the recogniser's type name in lower case, as files are named today.
std::string CarvedExtension(std::string_view type);

}  // namespace salvex
