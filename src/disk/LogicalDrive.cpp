#include "disk/LogicalDrive.h"

#include "disk/DeviceRegistry.h"
#include "disk/DiskHandle.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr uint32_t kChunkSectors = 1000;

TDiskHandle& Handle() {
  static TDiskHandle handle([](uint8_t drive) { return TDeviceRegistry::Instance().FindLogical(drive); });
  return handle;
}

}  // namespace

void CloseLogicalDrive() { Handle().Close(); }

uint64_t LogicalOpenCount() { return Handle().Opens(); }

int LogicalDrivePlainFile(uint8_t drive) { return Handle().PlainFile(drive); }

bool ReadLogicalSectors(uint8_t drive, uint64_t lba, uint32_t count, uint8_t* buffer) {
  TDiskHandle& h = Handle();
  if (!h.Open(drive)) return false;
  const int fd = h.Fd();
  return h.Read(lba, count, size_t(kChunkSectors) * h.BytesPerSector(), buffer,
                [fd](uint64_t offset, size_t chunk, uint8_t* out) {
                  // This path has no prompt and keeps a failing chunk's partial bytes, so the chunk
                  // can go straight into the caller's buffer: a staging copy would only cost time.
                  return RawIO().PRead(fd, out, chunk, offset) == static_cast<ssize_t>(chunk);
                });
}

bool GetLogicalGeometry(uint8_t drive, DiskGeometry& geometry) { return Handle().Geometry(drive, geometry); }

}  // namespace salvex
