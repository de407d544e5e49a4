#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <deque>
#include <vector>

#include "disk/Geometry.h"

namespace salvex {

// What an image argument stands for: Auto decides by the file-system probes of its start.
enum class TImageKind { Auto, Disk, Drive, Floppy };

// One stand-in for a platform device: a physical disk (BIOS number 0x00/0x01 floppies,
// 0x80 + n disks) or a logical drive (1..26 for A:..Z:) backed by an image or block device.
struct TRegisteredDevice {
  std::string Path;
  bool Physical = true;
  uint8_t Number = 0;
  DiskGeometry Geometry;
  uint8_t DriveType = 3;  // logical drives: 2 removable, 3 fixed
  bool ImageFile = false;  // a file or container rather than a block device
};

// Decides which images and block devices the BIOS numbers and drive letters stand for.
class TDeviceRegistry {
 public:
  static TDeviceRegistry& Instance();

  void Clear();
  // Registers an image or block device. Throws std::runtime_error with one clear line when it
  // cannot be used (missing, a directory, unreadable, empty). A bytesPerSector of 0 detects the
  // logical sector size (DetectSectorSize); any other value forces it.
  const TRegisteredDevice& AddImage(const std::string& path, TImageKind kind = TImageKind::Auto,
                                    uint32_t bytesPerSector = 0);
  // The machine's readable whole disks (/sys/block) and their partitions; returns how many.
  size_t AddSystemDisks();

  const TRegisteredDevice* FindPhysical(uint8_t number) const;
  const TRegisteredDevice* FindLogical(uint8_t number) const;
  const std::deque<TRegisteredDevice>& Devices() const { return devices_; }

 private:
  const TRegisteredDevice& Add(TRegisteredDevice device);
  std::deque<TRegisteredDevice> devices_;  // stable references
};

// The logical sector size of an image from its first 8 KiB (`head`, possibly shorter): the sector
// holding a GPT header ("EFI PART" at 512 or 4096); else, for a volume, the sector size its boot
// sector gives (VolumeStartSectorSize); else 512. Whole disks ask more of their structures first.
uint32_t DetectSectorSize(const std::vector<uint8_t>& head, bool volume);

// Whether `head` (the first bytes of an image, up to 8 KiB) is the start of a volume of a file
// system Salvex opens. Defined by the file-system table (devices/FileSystemRegistry.cpp), which
// this layer lies below.
bool IsKnownVolumeStart(std::span<const uint8_t> head);
// The sector size the volume starting with `head` gives in its boot sector; 0 when no file system
// of the table accepts it or its entry tells none. Defined by the file-system table too.
uint32_t VolumeStartSectorSize(std::span<const uint8_t> head);

// Heads 255 and 63 sectors per track, cylinders rounded up so that the geometry covers the size.
DiskGeometry GeometryForSize(uint64_t bytes, uint32_t bytesPerSector, uint16_t mediaKind);

}  // namespace salvex
