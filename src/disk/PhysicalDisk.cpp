#include "disk/PhysicalDisk.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "common/Host.h"
#include "disk/DeviceRegistry.h"
#include "disk/RawIO.h"

namespace salvex {
namespace {

constexpr size_t kTransferSize = 0x10000;

struct PhysicalState {
  int fd = -1;
  int plain = -2;  // PlainFileDescriptor of fd; -2 until asked
  int drive = -1;  // drive number the handle belongs to
  uint32_t bytesPerSector = 512;
  uint64_t opens = 0;
  uint64_t ignored = 0;
  alignas(4096) uint8_t transfer[kTransferSize];
};

PhysicalState& State() {
  static PhysicalState state;
  return state;
}

bool OpenPhysicalDrive(uint8_t drive) {
  PhysicalState& s = State();
  if (s.drive == drive && s.fd >= 0) return true;  // reused whatever it was opened for
  ClosePhysicalDrive();
  const TRegisteredDevice* d = TDeviceRegistry::Instance().FindPhysical(drive);
  if (!d) return false;
  // A failed open is not remembered: the next read tries again (a device that was away comes back).
  s.fd = RawIO().Open(d->Path);
  if (s.fd < 0) return false;
  s.plain = -2;
  s.drive = drive;
  s.bytesPerSector = d->Geometry.BytesPerSector;
  ++s.opens;
  return true;
}

TMsgResult AskReadError(int error, uint8_t drive, uint64_t lba, uint32_t count) {
  std::string text = "error no." + std::to_string(error) + "\r\n" + "drv:" + std::to_string(drive) +
                     " LBA:" + std::to_string(lba) + " blocks:" + std::to_string(count) + "\r\n\r\n" +
                     "Abort, Retry or Ignore?";
  return Host().MessageBox(text, "NT_read error", TMsgButtons::AbortRetryIgnore, TMsgIcon::Warning);
}

}  // namespace

void ClosePhysicalDrive() {
  PhysicalState& s = State();
  if (s.fd >= 0) RawIO().Close(s.fd);
  s.fd = -1;
  s.drive = -1;
}

uint64_t PhysicalOpenCount() { return State().opens; }

int PhysicalDrivePlainFile(uint8_t drive) {
  if (!OpenPhysicalDrive(drive)) return -1;
  auto& s = State();
  if (s.plain == -2) s.plain = RawIO().PlainFileDescriptor(s.fd);
  return s.plain;
}
uint64_t IgnoredReadCount() { return State().ignored; }
void NoteIgnoredRead() { ++State().ignored; }

bool ReadPhysicalSectors(uint8_t drive, uint64_t lba, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!OpenPhysicalDrive(drive)) return false;
  PhysicalState& s = State();
  const uint64_t sectorSize = s.bytesPerSector;
  uint64_t offset = lba * sectorSize;
  uint64_t remaining = uint64_t(count) * sectorSize;
  while (remaining > 0) {
    size_t chunk = remaining < kTransferSize ? size_t(remaining) : kTransferSize;
    bool good;
    TMsgResult answer = TMsgResult::Abort;
    for (;;) {
      errno = 0;
      ssize_t got = RawIO().PRead(s.fd, s.transfer, chunk, offset);
      good = got == static_cast<ssize_t>(chunk);
      if (good || !showErrors) break;
      answer = AskReadError(got < 0 && errno != 0 ? errno : EIO, drive, lba, count);
      if (answer != TMsgResult::Retry) break;
    }
    if (!good && showErrors && answer == TMsgResult::Ignore) {
      // An ignored chunk delivers zeros, never bytes of another sector.
      std::memset(s.transfer, 0, chunk);
      NoteIgnoredRead();
      good = true;
    }
    if (!good) return false;
    std::memcpy(buffer, s.transfer, chunk);
    buffer += chunk;
    offset += chunk;
    remaining -= chunk;
  }
  return true;
}

bool GetDiskGeometry(uint8_t drive, DiskGeometry& geometry) {
  const TRegisteredDevice* d = TDeviceRegistry::Instance().FindPhysical(drive);
  if (!d) return false;
  int fd = RawIO().Open(d->Path);
  if (fd < 0) return false;
  uint64_t size = 0;
  bool ok = RawIO().Size(fd, size);
  RawIO().Close(fd);
  if (!ok) return false;
  geometry = GeometryForSize(size, d->Geometry.BytesPerSector, d->Geometry.MediaKind);
  geometry.Removable = d->Geometry.Removable;
  return true;
}

}  // namespace salvex
