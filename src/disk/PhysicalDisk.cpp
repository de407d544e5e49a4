#include "disk/PhysicalDisk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/Host.h"
#include "disk/DeviceRegistry.h"
#include "disk/DiskHandle.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr size_t kTransferSize = 0x10000;
constexpr size_t kLargeTransfer = 4u << 20;

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
  // Where the whole request reads, it goes straight into the caller's buffer in large reads (the
  // searches ask for megabytes at a time: a staging copy would cost as much as the read). From the
  // first transfer that fails on, the request is read again transfer by transfer through the
  // staging buffer, so that a failure, its prompt and what Ignore and Abort leave are the same
  // as for a request of one transfer.
  const uint64_t bytes = uint64_t(count) * s.handle.BytesPerSector();
  uint64_t from = lba;
  uint32_t left = count;
  if (bytes > kTransferSize) {
    uint64_t done = 0;
    while (done < bytes) {
      const size_t n = size_t(std::min<uint64_t>(kLargeTransfer, bytes - done));
      const ssize_t got = RawIO().PRead(fd, buffer + done, n, lba * s.handle.BytesPerSector() + done);
      if (got == ssize_t(n)) {
        done += n;
        continue;
      }
      done += got > 0 ? uint64_t(got) / kTransferSize * kTransferSize : 0;
      break;
    }
    if (done == bytes) return true;
    const uint64_t sectors = done / s.handle.BytesPerSector();
    from += sectors;
    left -= uint32_t(sectors);
    buffer += done;
  }
  return s.handle.Read(from, left, kTransferSize, buffer, [&](uint64_t offset, size_t chunk, uint8_t* out) {
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
