#include "devices/ClusterVolume.h"

#include <cstring>
#include <vector>

#include "common/Format.h"
#include "devices/Device.h"
#include "devices/ReadFailures.h"
#include "salvex/StringIds.h"

namespace salvex {

void TClusterFolder::LoadListing(bool deletedMode) {
  if (!Children) ReadChildren(deletedMode, true);
}

bool TClusterFolder::Search(const TSearchCallback& callback, bool deletedMode, bool recursive, bool filesDeletedOnly) {
  const bool readHere = !Children;
  if (readHere) ReadChildren(deletedMode, filesDeletedOnly);
  bool result = true;
  for (auto& child : *Children) {
    result = callback(*child);
    if (!result) break;
    if (recursive)
      if (auto* d = dynamic_cast<TClusterFolder*>(child.get())) {
        result = d->Search(callback, deletedMode, recursive, filesDeletedOnly);
        if (!result) break;
      }
  }
  if (readHere) Children.reset();
  return result;
}

void TClusterFolder::SetClusterField(uint32_t cluster) {
  auto* volume = dynamic_cast<const TClusterVolume*>(Drive);
  if (!volume || !volume->IsValidCluster(cluster) || ClusterOnPath(cluster)) return;
  FirstCluster = cluster;
  // The user's choice stands even where another folder lists the same cluster.
  Loop = false;
  if (Children) replaced_.push_back(std::make_shared<TChildren>(std::move(*Children)));
  Children.reset();
}

bool TClusterFolder::ClusterOnPath(uint32_t cluster) const {
  for (const TCustomDirectory* d = this; d; d = d->Parent)
    if (auto* f = dynamic_cast<const TClusterFolder*>(d); f && f->FirstCluster == cluster) return true;
  return false;
}

bool ReadVolumeSectors(TDevice& device, uint64_t firstSector, uint32_t volumeBps, uint64_t sector, uint32_t count,
                       bool showErrors, uint64_t bound, uint8_t* buffer) {
  const uint32_t devBps = device.BytesPerSector ? device.BytesPerSector : 512;
  const uint32_t volBps = volumeBps ? volumeBps : devBps;
  if (volBps % devBps == 0) {
    // Volume sectors are whole multiples of the device's (a 4096-byte FAT in a 512-byte image).
    const uint64_t ratio = volBps / devBps;
    if (sector > (UINT64_MAX - firstSector) / ratio || uint64_t(count) * ratio > UINT32_MAX) return false;
    return device.ReadSectors(firstSector + sector * ratio, static_cast<uint32_t>(count * ratio), showErrors, bound,
                              buffer);
  }
  if (devBps % volBps != 0) return false;
  // Smaller volume sectors than the device's: read the covering device sectors and cut.
  if (sector > UINT64_MAX / volBps) return false;
  const uint64_t offset = sector * volBps;
  const uint64_t bytes = uint64_t(count) * volBps;
  const uint64_t first = offset / devBps;
  const uint64_t within = offset % devBps;
  const uint64_t devCount = (within + bytes + devBps - 1) / devBps;
  if (devCount > UINT32_MAX || first > UINT64_MAX - firstSector) return false;
  std::vector<uint8_t> temp(devCount * devBps);
  if (!device.ReadSectors(firstSector + first, static_cast<uint32_t>(devCount), showErrors, bound, temp.data()))
    return false;
  std::memcpy(buffer, temp.data() + within, bytes);
  return true;
}

bool TClusterVolume::ReadDeviceSectors(uint64_t deviceSector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device) return false;
  // A volume of unknown size passes a bound before itself, so its reads bypass the block cache.
  const uint64_t bound = SectorCount ? FirstSector + SectorCount - 1 : FirstSector;
  return Device->ReadSectors(deviceSector, count, showErrors, bound, buffer);
}

bool TClusterVolume::ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device || count == 0) return count == 0;
  const uint64_t bound = SectorCount ? FirstSector + SectorCount - 1 : FirstSector;
  const uint32_t bps = BytesPerSec ? BytesPerSec : (Device->BytesPerSector ? Device->BytesPerSector : 512);
  const uint64_t room = DeviceRoom(bps);
  if (room == 0 || (sector < room && count <= room - sector))
    return ReadVolumeSectors(*Device, FirstSector, BytesPerSec, sector, count, showErrors, bound, buffer);
  // The sectors do not exist: asking the device (and the user) again would not bring them.
  const uint32_t inside = sector < room ? static_cast<uint32_t>(room - sector) : 0;
  if (inside > 0 && !ReadVolumeSectors(*Device, FirstSector, BytesPerSec, sector, inside, showErrors, bound, buffer))
    std::memset(buffer, 0, size_t(inside) * bps);
  std::memset(buffer + size_t(inside) * bps, 0, size_t(count - inside) * bps);
  CountRefusedRead();
  return false;
}

std::string TClusterVolume::PastDeviceWarning(uint64_t first) const {
  if (!IsValidCluster(first) || IsOnDevice(first)) return "";
  return TextF(txt::FirstClusterPastDevice, {first});
}

std::string TClusterVolume::PastDeviceFailure(uint64_t n) { return TextF(txt::DataGoesPastDevice, {n}); }

}  // namespace salvex
