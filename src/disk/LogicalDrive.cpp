#include "disk/LogicalDrive.h"

#include <cstring>
#include <vector>

#include "disk/DeviceRegistry.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr uint32_t kChunkSectors = 1000;

struct LogicalState {
  int fd = -1;
  int drive = -1;
  uint32_t bytesPerSector = 512;
  uint64_t opens = 0;
  std::vector<uint8_t> transfer = std::vector<uint8_t>(kChunkSectors * 2048);
};

LogicalState& State() {
  static LogicalState state;
  return state;
}

bool OpenLogicalDrive(uint8_t drive) {
  LogicalState& s = State();
  if (s.drive == drive && s.fd >= 0) return true;
  CloseLogicalDrive();
  const TRegisteredDevice* d = TDeviceRegistry::Instance().FindLogical(drive);
  if (!d) return false;
  s.fd = RawIO().Open(d->Path);
  if (s.fd < 0) return false;
  s.drive = drive;
  s.bytesPerSector = d->Geometry.BytesPerSector;
  if (s.transfer.size() < size_t(kChunkSectors) * s.bytesPerSector)
    s.transfer.resize(size_t(kChunkSectors) * s.bytesPerSector);
  ++s.opens;
  return true;
}

}  // namespace

void CloseLogicalDrive() {
  LogicalState& s = State();
  if (s.fd >= 0) RawIO().Close(s.fd);
  s.fd = -1;
  s.drive = -1;
}

uint64_t LogicalOpenCount() { return State().opens; }

bool ReadLogicalSectors(uint8_t drive, uint64_t lba, uint32_t count, uint8_t* buffer) {
  if (!OpenLogicalDrive(drive)) return false;
  LogicalState& s = State();
  uint64_t offset = lba * s.bytesPerSector;
  uint64_t remaining = uint64_t(count) * s.bytesPerSector;
  const uint64_t maxChunk = uint64_t(kChunkSectors) * s.bytesPerSector;
  while (remaining > 0) {
    size_t chunk = size_t(remaining < maxChunk ? remaining : maxChunk);
    ssize_t got = RawIO().PRead(s.fd, s.transfer.data(), chunk, offset);
    if (got > 0) std::memcpy(buffer, s.transfer.data(), size_t(got));
    if (got != static_cast<ssize_t>(chunk)) return false;
    buffer += chunk;
    offset += chunk;
    remaining -= chunk;
  }
  return true;
}

bool GetLogicalGeometry(uint8_t drive, DiskGeometry& geometry) {
  const TRegisteredDevice* d = TDeviceRegistry::Instance().FindLogical(drive);
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
