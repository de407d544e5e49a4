#include "disk/DiskHandle.h"

#include "disk/DeviceRegistry.h"
#include "disk/RawIO.h"

namespace salvex {

bool TDiskHandle::Open(uint8_t drive) {
  if (drive_ == drive && fd_ >= 0) return true;  // reused whatever it was opened for
  Close();
  const TRegisteredDevice* d = find_(drive);
  if (!d) return false;
  // A failed open is not remembered: the next read tries again (a device that was away comes back).
  fd_ = RawIO().Open(d->Path);
  if (fd_ < 0) return false;
  plain_ = -2;
  drive_ = drive;
  bytesPerSector_ = d->Geometry.BytesPerSector;
  ++opens_;
  return true;
}

void TDiskHandle::Close() {
  if (fd_ >= 0) RawIO().Close(fd_);
  fd_ = -1;
  drive_ = -1;
}

int TDiskHandle::PlainFile(uint8_t drive) {
  if (!Open(drive)) return -1;
  if (plain_ == -2) plain_ = RawIO().PlainFileDescriptor(fd_);
  return plain_;
}

bool TDiskHandle::Geometry(uint8_t drive, DiskGeometry& geometry) const {
  const TRegisteredDevice* d = find_(drive);
  if (!d) return false;
  int fd = RawIO().Open(d->Path);
  if (fd < 0) return false;
  uint64_t size = 0;
  bool ok = RawIO().Size(fd, size);
  RawIO().Close(fd);
  if (!ok) return false;
  geometry = GeometryForSize(size, d->Geometry.BytesPerSector, d->Geometry.MediaKind);
  return true;
}

}  // namespace salvex
