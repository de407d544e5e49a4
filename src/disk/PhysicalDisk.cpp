#include "disk/PhysicalDisk.h"

#include <cerrno>
#include <cstring>

#include "common/Host.h"
#include "disk/DeviceRegistry.h"
#include "disk/DiskHandle.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr size_t kTransferSize = 0x10000;

struct PhysicalState {
  TDiskHandle handle{[](uint8_t drive) { return TDeviceRegistry::Instance().FindPhysical(drive); }};
  uint64_t ignored = 0;
  alignas(4096) uint8_t transfer[kTransferSize];
};

PhysicalState& State() {
  static PhysicalState state;
  return state;
}

}  // namespace

void ClosePhysicalDrive() { State().handle.Close(); }

uint64_t PhysicalOpenCount() { return State().handle.Opens(); }

int PhysicalDrivePlainFile(uint8_t drive) { return State().handle.PlainFile(drive); }
uint64_t IgnoredReadCount() { return State().ignored; }
void NoteIgnoredRead() { ++State().ignored; }

bool ReadPhysicalSectors(uint8_t drive, uint64_t lba, uint32_t count, bool showErrors, uint8_t* buffer) {
  PhysicalState& s = State();
  if (!s.handle.Open(drive)) return false;
  const int fd = s.handle.Fd();
  return s.handle.Read(lba, count, kTransferSize, buffer, [&](uint64_t offset, size_t chunk, uint8_t* out) {
    bool good;
    TReadErrorAnswer answer = TReadErrorAnswer::Abort;
    for (;;) {
      errno = 0;
      ssize_t got = RawIO().PRead(fd, s.transfer, chunk, offset);
      good = got == static_cast<ssize_t>(chunk);
      if (good || !showErrors) break;
      answer = Host().AskReadError(got < 0 && errno != 0 ? errno : EIO, drive, lba, count);
      if (answer != TReadErrorAnswer::Retry) break;
    }
    if (!good && showErrors && answer == TReadErrorAnswer::Ignore) {
      // An ignored chunk delivers zeros, never bytes of another sector.
      std::memset(s.transfer, 0, chunk);
      NoteIgnoredRead();
      good = true;
    }
    if (!good) return false;
    std::memcpy(out, s.transfer, chunk);
    return true;
  });
}

bool GetDiskGeometry(uint8_t drive, DiskGeometry& geometry) {
  if (!State().handle.Geometry(drive, geometry)) return false;
  geometry.Removable = TDeviceRegistry::Instance().FindPhysical(drive)->Geometry.Removable;
  return true;
}

}  // namespace salvex
