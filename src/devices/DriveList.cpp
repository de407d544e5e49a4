#include "devices/DriveList.h"

#include <vector>

#include "common/BootSector.h"
#include "common/Debug.h"
#include "devices/Device.h"
#include "devices/PartitionTable.h"

namespace salvex {

namespace {
TVolumeFactory& Factory() {
  static TVolumeFactory factory;
  return factory;
}

bool StartsWithExFATBootSector(TDevice& device, uint64_t first) {
  std::vector<uint8_t> sector(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
  return first < device.TotalSectors && device.ReadSectors(first, 1, false, device.TotalSectors, sector.data()) &&
         IsExFATBootSector(sector);
}
// The ext superblock's signature at byte 1024 of a volume (0xEF53 at offset 56 within it).
bool StartsWithExtSuperblock(TDevice& device, uint64_t first) {
  const uint32_t bps = device.BytesPerSector > 512 ? device.BytesPerSector : 512;
  const uint64_t offset = 1024 + 56;
  const uint64_t sector = first + offset / bps;
  std::vector<uint8_t> bytes(bps);
  if (sector >= device.TotalSectors || !device.ReadSectors(sector, 1, false, device.TotalSectors, bytes.data()))
    return false;
  const size_t at = offset % bps;
  return bytes[at] == 0x53 && bytes[at + 1] == 0xEF;
}
}  // namespace

void SetVolumeFactory(TVolumeFactory factory) { Factory() = std::move(factory); }
const TVolumeFactory& VolumeFactory() { return Factory(); }

int TDriveList::IndexOf(const TCustomDrive* drive) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == drive) return static_cast<int>(i);
  return -1;
}

TCustomDrive* TDriveList::Append(std::unique_ptr<TCustomDrive> drive) {
  items_.push_back(std::move(drive));
  return items_.back().get();
}

TCustomDrive* TDriveList::AddDrive(std::unique_ptr<TCustomDrive> drive, TDevice& device, uint64_t firstSector,
                                   uint64_t sectorCount, bool quiet) {
  if (!drive) return nullptr;
  drive->Lost = 0;
  drive->Device = &device;
  drive->BootSector = drive->FirstSector = firstSector;
  drive->SectorCount = sectorCount;
  TCustomDrive* d = Append(std::move(drive));
  d->Mount(quiet);
  return d;
}

TCustomDrive* TDriveList::AddLostDrive(TDevice& device, std::unique_ptr<TCustomDrive> drive, bool quiet,
                                       uint64_t sectorCount, uint64_t firstSector, uint64_t bootSector) {
  if (!drive) return nullptr;
  drive->Lost = DriveLost;
  drive->Device = &device;
  drive->BootSector = bootSector;
  drive->FirstSector = firstSector;
  drive->SectorCount = sectorCount;
  TCustomDrive* d = Append(std::move(drive));
  d->Mount(quiet);
  d->Name += " (lost)";
  return d;
}

void TDriveList::DetectDrives(TDevice& device) {
  DebugLog("detect drives on device " + device.Name + "...", 1);
  std::vector<uint8_t> sector(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
  bool showErrors = (device.RemovableMedia & 1) == 0;
  if (!device.ReadSectors(0, 1, showErrors, device.TotalSectors, sector.data())) return;
  const TVolumeFactory& f = VolumeFactory();
  if (device.Partitioned) {
    WalkPartitionTables(device, [&](const TPartitionEntry& e) {
      // exFAT has no type of its own: 0x07 as NTFS on an MBR, basic data on a GPT.
      const bool mayBeExFAT = e.Kind == TPartitionKind::NTFS || e.Kind == TPartitionKind::Other;
      if (mayBeExFAT && f.NewExFAT && StartsWithExFATBootSector(device, e.FirstSector))
        AddDrive(f.NewExFAT(), device, e.FirstSector, e.SectorCount, false);
      else if (e.Kind == TPartitionKind::FAT && f.NewFAT)
        AddDrive(f.NewFAT(), device, e.FirstSector, e.SectorCount, false);
      else if (e.Kind == TPartitionKind::NTFS && f.NewNTFS)
        AddDrive(f.NewNTFS(), device, e.FirstSector, e.SectorCount, false);
      else if (e.Kind == TPartitionKind::Other && f.NewExt && StartsWithExtSuperblock(device, e.FirstSector))
        AddDrive(f.NewExt(), device, e.FirstSector, e.SectorCount, false);
    });
    return;
  }
  // A whole device is one volume; its file system is told by the NTFS boot-sector test.
  if (f.NewExt && !IsNTFSBootSector(sector) && !IsFATBootSector(sector) && !IsExFATBootSector(sector) &&
      StartsWithExtSuperblock(device, 0)) {
    AddDrive(f.NewExt(), device, 0, device.TotalSectors, false);
    return;
  }
  auto make = IsNTFSBootSector(sector) ? f.NewNTFS : IsExFATBootSector(sector) ? f.NewExFAT : f.NewFAT;
  if (make) AddDrive(make(), device, 0, device.TotalSectors, false);
}

}  // namespace salvex
