#include "devices/DriveList.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/Debug.h"
#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/FileSystemRegistry.h"
#include "devices/PartitionTable.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {
void NotePartitionCut(TCustomDrive& drive, uint64_t claimed, uint64_t room) {
  const std::string cut = TextF(txt::PartitionEntryCut, {claimed, room});
  DebugLog("volume at sector " + std::to_string(drive.FirstSector) + ": " + cut, 0);
  TMountNote note;
  note.Error = TError::Corrupt("partition entry", cut);
  drive.MountNotes.insert(drive.MountNotes.begin(), std::move(note));
}
}  // namespace

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
  // A partition cut short by the end of an image is read up to the device's end.
  const uint64_t room = device.TotalSectors > firstSector ? device.TotalSectors - firstSector : 0;
  drive->SectorCount = std::min(sectorCount, room);
  TCustomDrive* d = Append(std::move(drive));
  d->Mount(quiet);
  if (sectorCount > room) NotePartitionCut(*d, sectorCount, room);
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
  // The label as stored is padded with blanks; shown before the mark, the padding reads as a gap.
  while (!d->Name.empty() && d->Name.back() == ' ') d->Name.pop_back();
  // An unlabelled volume still needs a name before the mark, as the drive lists show it.
  d->Name = (d->Name.empty() ? LoadText(txt::NoVolumeLabel) : d->Name) + LoadText(txt::LostDriveSuffix);
  return d;
}

void TDriveList::DetectDrives(TDevice& device) {
  DebugLog("detect drives on device " + device.Name + "...", 1);
  std::vector<uint8_t> sector(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
  bool showErrors = (device.RemovableMedia & 1) == 0;
  if (!device.ReadSectors(0, 1, showErrors, device.TotalSectors, sector.data())) return;
  if (device.Partitioned) {
    WalkPartitionTables(device, [&](const TPartitionEntry& e) {
      if (e.StartsPastEnd) return;
      if (const TFileSystem* fs = FileSystemForPartition(device, e))
        AddDrive(fs->Open(), device, e.FirstSector, e.SectorCount, false);
    });
    return;
  }
  // A whole device is one volume; the sector read above told whether it can be read at all.
  std::vector<uint8_t> head = ReadVolumeHead(device, 0, 0);
  if (head.empty()) head = std::move(sector);
  if (const TFileSystem* fs = FileSystemForDevice(head)) AddDrive(fs->Open(), device, 0, device.TotalSectors, false);
}

}  // namespace salvex
