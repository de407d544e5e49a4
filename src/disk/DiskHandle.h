#pragma once
#include <cstddef>
#include <cstdint>

#include "disk/Geometry.h"

namespace salvex {

struct TRegisteredDevice;

// One cached read-only handle on a registered disk (physical disks and logical drives each keep
// one): opened on first use and reused while the same drive is read.
class TDiskHandle {
 public:
  using TFind = const TRegisteredDevice* (*)(uint8_t drive);
  explicit TDiskHandle(TFind find) : find_(find) {}

  bool Open(uint8_t drive);
  void Close();
  // The system descriptor of the drive's image when it is a plain file; -1 for disks and containers.
  int PlainFile(uint8_t drive);
  uint64_t Opens() const { return opens_; }
  int Fd() const { return fd_; }
  uint32_t BytesPerSector() const { return bytesPerSector_; }
  // The drive's geometry from its size; false when it cannot be opened or measured.
  bool Geometry(uint8_t drive, DiskGeometry& geometry) const;

  // Reads `count` sectors from `lba` of the open drive in chunks of at most `maxChunk` bytes:
  // `chunk(offset, bytes, out)` reads one chunk to `out` and answers false to stop the read.
  template <class Chunk>
  bool Read(uint64_t lba, uint32_t count, size_t maxChunk, uint8_t* buffer, Chunk chunk) {
    uint64_t offset = lba * bytesPerSector_;
    uint64_t remaining = uint64_t(count) * bytesPerSector_;
    while (remaining > 0) {
      const size_t size = remaining < maxChunk ? size_t(remaining) : maxChunk;
      if (!chunk(offset, size, buffer)) return false;
      buffer += size;
      offset += size;
      remaining -= size;
    }
    return true;
  }

 private:
  TFind find_;
  int fd_ = -1;
  int plain_ = -2;  // PlainFileDescriptor of fd_; -2 until asked
  int drive_ = -1;  // drive number the handle belongs to
  uint32_t bytesPerSector_ = 512;
  uint64_t opens_ = 0;
};

}  // namespace salvex
