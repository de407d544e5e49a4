#include "disk/DeviceRegistry.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <vector>

#include "common/BootSector.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "disk/RawIO.h"

namespace salvex {

TDeviceRegistry& TDeviceRegistry::Instance() {
  static TDeviceRegistry registry;
  return registry;
}

void TDeviceRegistry::Clear() {
  // Cached handles belong to the devices being forgotten.
  ClosePhysicalDrive();
  CloseLogicalDrive();
  devices_.clear();
}

DiskGeometry GeometryForSize(uint64_t bytes, uint32_t bytesPerSector, uint16_t mediaKind) {
  DiskGeometry g;
  g.MediaKind = mediaKind;
  g.Removable = (mediaKind == MediaFloppy || mediaKind == MediaRemovable) ? 1 : 0;
  g.BytesPerSector = bytesPerSector;
  g.TotalSectors = bytes / bytesPerSector;
  g.Heads = 255;
  g.SectorsPerTrack = 63;
  g.Cylinders = (g.TotalSectors + 255 * 63 - 1) / (255 * 63);
  return g;
}

namespace {

std::string Reason() { return std::strerror(errno); }

bool IsFloppySize(uint64_t bytes) {
  return bytes == 368640 || bytes == 737280 || bytes == 1228800 || bytes == 1474560 || bytes == 2949120;
}

// The sector size a whole disk's own structures tell; 0 when none does. A GPT header at either
// size, primary or backup (the disk's last sector, when the MBR protects a GPT); else the boot
// sector an MBR entry points at, read at the entry's start in either size: a volume found at
// start × 512 means 512-byte sectors, one found only at start × 4096 that says 4096 means those.
uint32_t DiskSectorSize(TRawIO& io, int fd, const std::vector<uint8_t>& head, uint64_t size) {
  auto read = [&](uint64_t offset, size_t bytes, std::vector<uint8_t>& out) {
    out.assign(bytes, 0);
    if (offset > size || size - offset < 512) return false;
    out.resize(size_t(std::min<uint64_t>(bytes, size - offset)));
    return io.PRead(fd, out.data(), out.size(), offset) == static_cast<ssize_t>(out.size());
  };
  auto gptAt = [&](uint64_t offset) {
    std::vector<uint8_t> header;
    return read(offset, 512, header) && std::memcmp(header.data(), "EFI PART", 8) == 0;
  };
  for (uint32_t bps : {512u, 4096u})
    if (gptAt(bps)) return bps;
  if (head.size() < 512 || head[510] != 0x55 || head[511] != 0xAA) return 0;
  auto typeOf = [&](size_t i) { return head[0x1BE + i * 16 + 4]; };
  for (size_t i = 0; i < 4; ++i) {
    if (typeOf(i) != 0xEE) continue;
    for (uint32_t bps : {4096u, 512u})
      if (size >= 2 * uint64_t(bps) && gptAt(size / bps * bps - bps)) return bps;
  }
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t type = typeOf(i);
    if (type == 0 || type == 0x05 || type == 0x0F || type == 0x85 || type == 0xEE) continue;
    const uint8_t* e = &head[0x1BE + i * 16];
    const uint64_t start = e[8] | (uint32_t(e[9]) << 8) | (uint32_t(e[10]) << 16) | (uint64_t(e[11]) << 24);
    if (start == 0) return 0;
    std::vector<uint8_t> boot;
    if (read(start * 512, 4096, boot) && VolumeStartSectorSize(boot) != 0) return 512;
    if (read(start * 4096, 4096, boot) && VolumeStartSectorSize(boot) == 4096) return 4096;
  }
  return 0;
}

}  // namespace

uint32_t DetectSectorSize(const std::vector<uint8_t>& head, bool volume) {
  auto gptAt = [&head](size_t offset) {
    return head.size() >= offset + 8 && std::memcmp(head.data() + offset, "EFI PART", 8) == 0;
  };
  if (gptAt(512)) return 512;
  if (gptAt(4096)) return 4096;
  if (volume && head.size() >= 512) {
    const uint32_t bps = VolumeStartSectorSize(head);
    if (bps >= 512 && bps <= 4096) return bps;
  }
  return 512;
}

const TRegisteredDevice& TDeviceRegistry::AddImage(const std::string& path, TImageKind kind,
                                                   uint32_t bytesPerSector) {
  TRawIO& io = RawIO();
  int fd = io.Open(path);
  if (fd < 0) {
    std::string why = io.OpenFailure();
    throw std::runtime_error(why.empty() ? "cannot open '" + path + "': " + Reason() : why);
  }
  struct Closer {
    TRawIO& io;
    int fd;
    ~Closer() { io.Close(fd); }
  } closer{io, fd};
  uint64_t size = 0;
  if (!io.Size(fd, size)) throw std::runtime_error("cannot determine the size of '" + path + "': " + Reason());
  std::vector<uint8_t> head(size_t(size < 8192 ? size : 8192));
  ssize_t got = io.PRead(fd, head.data(), head.size(), 0);
  int readErrno = errno;
  uint32_t deviceSector = 0;
  const bool blockDevice = io.SectorSize(fd, deviceSector);
  if (bytesPerSector == 0 && blockDevice) bytesPerSector = deviceSector;
  if (size < 512 || (bytesPerSector && size < bytesPerSector))
    throw std::runtime_error("'" + path + "' is smaller than one sector");
  if (got != static_cast<ssize_t>(head.size())) {
    errno = got < 0 ? readErrno : EIO;
    throw std::runtime_error("cannot read '" + path + "': " + Reason());
  }
  if (kind == TImageKind::Auto) kind = IsKnownVolumeStart(head) ? TImageKind::Drive : TImageKind::Disk;
  if (bytesPerSector == 0 && kind == TImageKind::Disk) bytesPerSector = DiskSectorSize(io, fd, head, size);
  if (bytesPerSector == 0) bytesPerSector = DetectSectorSize(head, kind != TImageKind::Disk);
  if (size < bytesPerSector) throw std::runtime_error("'" + path + "' is smaller than one sector");

  TRegisteredDevice d;
  d.Path = path;
  d.ImageFile = !blockDevice;
  switch (kind) {
    case TImageKind::Floppy: {
      d.Physical = true;
      uint8_t n = 0;
      while (FindPhysical(n)) ++n;
      if (n > 1) throw std::runtime_error("at most two floppy images can be given");
      d.Number = n;
      d.Geometry = GeometryForSize(size, bytesPerSector, MediaFloppy);
      break;
    }
    case TImageKind::Drive: {
      d.Physical = false;
      uint8_t n = 3;  // C: upwards
      while (n <= 26 && FindLogical(n)) ++n;
      if (n > 26) throw std::runtime_error("no drive letter left for '" + path + "'");
      d.Number = n;
      d.Geometry = GeometryForSize(size, bytesPerSector, IsFloppySize(size) ? MediaRemovable : MediaFixed);
      d.DriveType = IsFloppySize(size) ? 2 : 3;
      break;
    }
    default: {
      d.Physical = true;
      unsigned n = 0x80;
      while (n <= 0xFF && FindPhysical(static_cast<uint8_t>(n))) ++n;
      if (n > 0xFF) throw std::runtime_error("too many disks");
      d.Number = static_cast<uint8_t>(n);
      d.Geometry = GeometryForSize(size, bytesPerSector, MediaFixed);
      break;
    }
  }
  return Add(std::move(d));
}

const TRegisteredDevice& TDeviceRegistry::Add(TRegisteredDevice device) {
  devices_.push_back(std::move(device));
  return devices_.back();
}

size_t TDeviceRegistry::AddSystemDisks() {
  namespace fs = std::filesystem;
  size_t added = 0;
  std::error_code ec;
  std::vector<std::string> disks;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    std::string name = entry.path().filename();
    for (const char* prefix : {"sd", "nvme", "mmcblk", "vd", "xvd", "hd"})
      if (name.rfind(prefix, 0) == 0) disks.push_back(name);
  }
  std::sort(disks.begin(), disks.end());
  auto readable = [](const std::string& dev) {
    int fd = RawIO().Open(dev);
    if (fd < 0) return false;
    RawIO().Close(fd);
    return true;
  };
  for (const auto& name : disks) {
    std::string dev = "/dev/" + name;
    if (!readable(dev)) continue;
    int removable = 0;
    std::ifstream("/sys/block/" + name + "/removable") >> removable;
    try {
      AddImage(dev, TImageKind::Disk);
      if (removable) {
        devices_.back().Geometry.MediaKind = MediaRemovable;
        devices_.back().Geometry.Removable = 1;
      }
      ++added;
    } catch (const std::exception&) {
      continue;
    }
    std::vector<std::string> parts;
    for (const auto& sub : fs::directory_iterator("/sys/block/" + name, ec))
      if (fs::exists(sub.path() / "partition")) parts.push_back(sub.path().filename());
    std::sort(parts.begin(), parts.end());
    for (const auto& part : parts) {
      std::string pdev = "/dev/" + part;
      if (!readable(pdev)) continue;
      try {
        AddImage(pdev, TImageKind::Drive);
        if (removable) devices_.back().DriveType = 2;
        ++added;
      } catch (const std::exception&) {
      }
    }
  }
  return added;
}

const TRegisteredDevice* TDeviceRegistry::FindPhysical(uint8_t number) const {
  for (const auto& d : devices_)
    if (d.Physical && d.Number == number) return &d;
  return nullptr;
}

const TRegisteredDevice* TDeviceRegistry::FindLogical(uint8_t number) const {
  for (const auto& d : devices_)
    if (!d.Physical && d.Number == number) return &d;
  return nullptr;
}

}  // namespace salvex
