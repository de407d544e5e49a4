#include "disk/LogicalDrive.h"


#include "disk/DeviceRegistry.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr uint32_t kChunkSectors = 1000;

struct LogicalState {
  int fd = -1;
  int plain = -2;  // PlainFileDescriptor of fd; -2 until asked
  int drive = -1;
  uint32_t bytesPerSector = 512;
  uint64_t opens = 0;
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
  s.plain = -2;
  s.drive = drive;
  s.bytesPerSector = d->Geometry.BytesPerSector;
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

int LogicalDrivePlainFile(uint8_t drive) {
  if (!OpenLogicalDrive(drive)) return -1;
  auto& s = State();
  if (s.plain == -2) s.plain = RawIO().PlainFileDescriptor(s.fd);
  return s.plain;
}

bool ReadLogicalSectors(uint8_t drive, uint64_t lba, uint32_t count, uint8_t* buffer) {
  if (!OpenLogicalDrive(drive)) return false;
  LogicalState& s = State();
  uint64_t offset = lba * s.bytesPerSector;
  uint64_t remaining = uint64_t(count) * s.bytesPerSector;
  const uint64_t maxChunk = uint64_t(kChunkSectors) * s.bytesPerSector;
  while (remaining > 0) {
    size_t chunk = size_t(remaining < maxChunk ? remaining : maxChunk);
    // This path has no prompt and keeps a failing chunk's partial bytes, so the chunk can go
    // straight into the caller's buffer: a staging copy would only cost time.
    ssize_t got = RawIO().PRead(s.fd, buffer, chunk, offset);
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
