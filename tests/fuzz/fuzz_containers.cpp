// The four container formats (EWF, VMDK, VHD/VHDX, qcow) as files: the input is written to a file
// named as its signature says, opened through the disk layer (the table checks, then the library)
// and its media read at the start, the end and in between. Besides byte mutations, one input in
// four is cut short at a random length, as a copy that stopped early would be. Every read must stay
// inside the file (AddressSanitizer watches the libraries' copies) and end.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "disk/ImageContainer.h"
#include "disk/RawIO.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/salvex-fuzz-containers-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) __builtin_trap();
    return std::string(made);
  }();
  return folder;
}

const char* Extension(salvex::TContainerFormat format) {
  switch (format) {
    case salvex::TContainerFormat::EWF: return ".E01";
    case salvex::TContainerFormat::VMDK: return ".vmdk";
    case salvex::TContainerFormat::VHD: return ".vhd";
    case salvex::TContainerFormat::VHDX: return ".vhdx";
    case salvex::TContainerFormat::QCOW: return ".qcow2";
    default: return nullptr;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  std::minstd_rand rng(seed);
  if (size > 1 && rng() % 4 == 0) return 1 + rng() % (size - 1);
  return LLVMFuzzerMutate(data, size, maxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  const size_t tail = size >= 512 ? size - 512 : 0;
  const char* extension =
      Extension(DetectContainer({data, std::min<size_t>(size, 64)}, {data + tail, size >= 512 ? 512 : size_t(0)}));
  if (!extension) return 0;
  const std::string path = Folder() + "/image" + extension;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) __builtin_trap();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  TPosixRawIO io;
  int fd = io.Open(path);
  if (fd >= 0) {
    uint64_t media = 0;
    io.Size(fd, media);
    std::vector<uint8_t> buffer(65536);
    // A few reads over the whole media: the start, the end, and eight places between.
    for (uint64_t i = 0; i <= 9 && media > 0; ++i) {
      const uint64_t at = i == 9 ? (media > buffer.size() ? media - buffer.size() : 0) : media / 9 * i;
      ssize_t got = io.PRead(fd, buffer.data(), buffer.size(), at);
      if (got > ssize_t(buffer.size())) __builtin_trap();
    }
    io.Close(fd);
  }
  unlink(path.c_str());
  return 0;
}
