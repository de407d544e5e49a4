#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "disk/ImageContainer.h"

namespace salvex {

// The file-descriptor layer under the sector readers. Devices are opened read-only, always;
// there is no call here that could write. Tests replace it to inject read errors.
class TRawIO {
 public:
  virtual ~TRawIO() = default;
  // -1 on failure with errno set. Directories are refused (EISDIR).
  virtual int Open(const std::string& path) = 0;
  virtual ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) = 0;
  virtual void Close(int fd) = 0;
  // Size in bytes of an image file or block device.
  virtual bool Size(int fd, uint64_t& bytes) = 0;
  // Why the last Open failed when errno cannot say it (an image container's library); else empty.
  virtual std::string OpenFailure() const { return {}; }
  // The logical sector size a block device reports or an image container records (above 512);
  // false for image files (and by default).
  virtual bool SectorSize(int fd, uint32_t& bytes) {
    (void)fd;
    (void)bytes;
    return false;
  }
  // The system's descriptor of a plain image file, whose bytes the kernel can copy without passing
  // them through this layer; -1 for containers, devices and by default.
  virtual int PlainFileDescriptor(int fd) {
    (void)fd;
    return -1;
  }
};

// Image files, block devices, image containers (E01/Ex01, VMDK, VHD/VHDX, qcow2) told by their
// signature, and raw images split into segments told by the first segment's name: the descriptor
// of a container or a split set stands for the media it holds.
class TPosixRawIO : public TRawIO {
 public:
  int Open(const std::string& path) override;
  ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) override;
  void Close(int fd) override;
  bool Size(int fd, uint64_t& bytes) override;
  bool SectorSize(int fd, uint32_t& bytes) override;
  int PlainFileDescriptor(int fd) override;
  std::string OpenFailure() const override { return openFailure_; }

 private:
  std::map<int, std::unique_ptr<TImageContainer>> containers_;  // by the container file's descriptor
  std::string openFailure_;
};

// The process-wide layer (TPosixRawIO unless replaced).
TRawIO& RawIO();
void SetRawIO(TRawIO* io);  // nullptr restores the POSIX layer

}  // namespace salvex
