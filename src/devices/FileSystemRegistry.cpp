#include "devices/FileSystemRegistry.h"

#include <algorithm>

#include "devices/Device.h"
#include "devices/PartitionTable.h"
#include "disk/DeviceRegistry.h"

namespace salvex {

const TFileSystem* ProbeFileSystem(std::span<const uint8_t> head) {
  for (const TFileSystem& fs : FileSystems())
    if (fs.Probe && fs.Probe(head)) return &fs;
  return nullptr;
}

const TFileSystem* FileSystemForDevice(std::span<const uint8_t> head) {
  if (const TFileSystem* fs = ProbeFileSystem(head)) return fs;
  for (const TFileSystem& fs : FileSystems())
    if (fs.OpensUnrecognisedDevice) return &fs;
  return nullptr;
}

const TFileSystem* FindFileSystem(std::string_view name) {
  for (const TFileSystem& fs : FileSystems())
    if (fs.Name == name) return &fs;
  return nullptr;
}

bool ParseLostRecord(std::span<const uint8_t> bytes, size_t maxNameChars, std::string& name, uint32_t& size,
                     uint32_t& offset) {
  for (const TFileSystem& fs : FileSystems())
    if (fs.ParseLostRecord && fs.ParseLostRecord(bytes, maxNameChars, name, size, offset)) return true;
  return false;
}

const TFileSystem* FileSystemForPartition(TDevice& device, const TPartitionEntry& entry) {
  if (entry.Kind == TPartitionKind::Extended) return nullptr;
  std::vector<uint8_t> head;
  bool headRead = false;
  auto accepts = [&](const TFileSystem& fs) {
    if (!headRead) {
      head = ReadVolumeHead(device, entry.FirstSector, entry.SectorCount);
      headRead = true;
    }
    return !head.empty() && fs.Probe && fs.Probe(head);
  };
  const TFileSystem* named = nullptr;
  if (entry.Scheme == TPartitionScheme::GPT) {
    const std::string type = GuidText(entry.TypeGuid);
    for (const TFileSystem& fs : FileSystems())
      if (std::find(fs.GPTTypes.begin(), fs.GPTTypes.end(), type) != fs.GPTTypes.end() && accepts(fs)) return &fs;
  } else {
    if (entry.Type == 0) return nullptr;
    for (const TFileSystem& fs : FileSystems()) {
      if (std::find(fs.MBRTypes.begin(), fs.MBRTypes.end(), entry.Type) == fs.MBRTypes.end()) continue;
      if (accepts(fs)) return &fs;
      if (!named && fs.OpensByMBRType) named = &fs;
    }
    if (named) return named;
  }
  for (const TFileSystem& fs : FileSystems())
    if (fs.ProbeAnyPartition && accepts(fs)) return &fs;
  return nullptr;
}

std::vector<uint8_t> ReadVolumeHead(TDevice& device, uint64_t first, uint64_t sectorCount) {
  const uint32_t bps = device.BytesPerSector ? device.BytesPerSector : 512;
  if (first >= device.TotalSectors) return {};
  uint64_t count = (kVolumeHeadBytes + bps - 1) / bps;
  count = std::min(count, device.TotalSectors - first);
  if (sectorCount) count = std::min(count, sectorCount);
  std::vector<uint8_t> head(std::max<size_t>(size_t(count) * bps, 512));
  // The whole head at once, else its first sector alone (the rest may lie on a bad sector).
  if (device.ReadSectors(first, static_cast<uint32_t>(count), false, device.TotalSectors, head.data())) return head;
  head.assign(std::max<size_t>(bps, 512), 0);
  if (count > 1 && device.ReadSectors(first, 1, false, device.TotalSectors, head.data())) return head;
  return {};
}

uint64_t InDeviceSectors(const TDevice& device, uint64_t count, uint64_t bytesPerSector) {
  const uint64_t deviceBps = device.BytesPerSector ? device.BytesPerSector : 512;
  if (bytesPerSector == 0 || count > UINT64_MAX / bytesPerSector) return 0;
  return count * bytesPerSector / deviceBps;
}

// Declared by the device registry below, which decides whether an image is a single volume.
bool IsKnownVolumeStart(std::span<const uint8_t> head) { return ProbeFileSystem(head) != nullptr; }

uint32_t VolumeStartSectorSize(std::span<const uint8_t> head) {
  const TFileSystem* fs = ProbeFileSystem(head);
  return fs && fs->SectorSize ? fs->SectorSize(head) : 0;
}

}  // namespace salvex
