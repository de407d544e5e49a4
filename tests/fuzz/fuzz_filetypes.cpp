// The recogniser on an arbitrary cluster, and every end finder on the bytes that follow it: no read
// outside the buffer, no end beyond it, no hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filetypes/CarvedName.h"
#include "filetypes/FileEnd.h"
#include "filetypes/FileTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  const std::span<const uint8_t> bytes(data, size);
  std::string type;
  uint8_t kind = 0;
  IdentifyFileType(bytes.first(std::min<size_t>(size, 4096)), type, kind);
  for (const char* name : {"JPG", "PNG", "GIF", "BMP", "WAV", "ZIP", "PDF", "MID", "TIF", "EXE", "MP3", "TAR", "DOC",
                           "7Z", "SQLITE", "MP4", "DBF", "RTF", "HTML", "DXF", "ORF", "RAF", "HEIC", "MKV", "FLAC",
                           "OGG", "MTS", "TS"}) {
    TSpanSource source(bytes);
    if (auto end = FindFileEnd(name, source); end && *end > size) std::abort();
  }
  // The names and types read from a file's own metadata, over the whole input.
  for (const char* name : {"JPG", "TIF", "MP3", "PDF", "DOCX", "ZIP"}) {
    TSpanSource source(bytes);
    FoundFileType(name, source, size);
    CarvedFileName(7, name, source, size);
  }
  return 0;
}
