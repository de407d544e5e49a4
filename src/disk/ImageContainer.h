#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace salvex {

// A forensic or virtual-machine image read through its library, read-only: what it holds is
// the disk (or volume) it stands for, addressed like a raw image.
class TImageContainer {
 public:
  virtual ~TImageContainer() = default;
  virtual const char* Format() const = 0;
  virtual uint64_t MediaSize() const = 0;
  // The logical sector size the container records (E01, VHD/VHDX); 0 when it records none.
  virtual uint32_t SectorSize() const = 0;
  // Bytes read (short at the end of the media), or -1 with errno = EIO.
  virtual ssize_t ReadAt(void* buffer, size_t length, uint64_t offset) = 0;
};

enum class TContainerFormat { None, EWF, VMDK, VHD, VHDX, QCOW };

// The container format told by a file's first bytes (`head`, at least 64 when the file has
// them) and its last 512 bytes (`tail`, where a fixed VHD keeps its only footer).
TContainerFormat DetectContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail);
const char* ContainerName(TContainerFormat format);

// Opens `path` through the library of `format`, read-only. Throws std::runtime_error with the
// library's reason when it cannot.
std::unique_ptr<TImageContainer> OpenContainer(const std::string& path, TContainerFormat format);

}  // namespace salvex
