#include "devices/DeviceList.h"

#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/StatusDialog.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "salvex/StringIds.h"

namespace salvex {

int TDeviceList::IndexOf(const TDevice* device) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == device) return static_cast<int>(i);
  return -1;
}

namespace {
void MeasureCache(TDevice& device, const TRegisteredDevice* registered) {
  if (registered && registered->ImageFile)
    device.UseLargestCacheBlock();
  else
    device.MeasureCacheBlock();
}
}  // namespace

TDevice* TDeviceList::Add(std::unique_ptr<TDevice> device) {
  items_.push_back(std::move(device));
  return items_.back().get();
}

void TDeviceList::DetectDevices(TStatusDialog* status) {
  DebugLog("detect devices...", 1);
  for (int number = 0; number <= 255; ++number) {
    if (status) {
      status->UpdateTexts(LoadText(txt::ScanningDrives), TextF(txt::CheckingBiosDrive, {number}),
                          LoadText(txt::ScanPleaseWait));
      Host().ProcessMessages();
    }
    DiskGeometry g;
    if (!GetDiskGeometry(static_cast<uint8_t>(number), g)) continue;
    auto d = std::make_unique<TDevice>();
    d->Kind = KindPhysical;
    d->Number = static_cast<uint8_t>(number);
    d->TotalSectors = g.TotalSectors;
    d->BytesPerSector = static_cast<uint16_t>(g.BytesPerSector);
    d->Partitioned = g.MediaKind != MediaFloppy;
    d->DriveType = g.MediaKind <= MediaFixed ? static_cast<uint8_t>(g.MediaKind) : uint8_t(DriveUnknown);
    if (g.Removable & 1) d->RemovableMedia |= 1;
    MeasureCache(*Add(std::move(d)), TDeviceRegistry::Instance().FindPhysical(static_cast<uint8_t>(number)));
  }
  for (int number = 1; number <= 26; ++number) {
    DiskGeometry g;
    if (!GetLogicalGeometry(static_cast<uint8_t>(number), g)) continue;
    std::string root = std::string(1, char('A' + number - 1)) + ":\\";
    if (status) {
      status->UpdateTexts(LoadText(txt::ScanningDrives), TextF(txt::CheckingWindowsDrive, {root}),
                          LoadText(txt::ScanPleaseWait));
      Host().ProcessMessages();
    }
    auto d = std::make_unique<TDevice>();
    d->Kind = KindLogical;
    d->Number = static_cast<uint8_t>(number);
    const TRegisteredDevice* reg = TDeviceRegistry::Instance().FindLogical(d->Number);
    d->DriveType = reg ? reg->DriveType : uint8_t(DriveFixed);
    d->TotalSectors = g.TotalSectors;
    d->BytesPerSector = static_cast<uint16_t>(g.BytesPerSector);
    if (g.Removable & 1) d->RemovableMedia |= 1;
    MeasureCache(*Add(std::move(d)), reg);
  }
  for (size_t i = 0; i < items_.size(); ++i) items_[i]->Name = GetDeviceName(i, true);
}

std::string TDeviceList::GetDeviceName(size_t index, bool withSize) const {
  const TDevice& d = *items_.at(index);
  std::string name;
  if (d.Kind == KindPhysical) {
    int offset = txt::UnknownDiskName;
    switch (d.DriveType) {
      case DriveFloppy: offset = txt::FloppyDiskName; break;
      case DriveRemovable: offset = txt::RemovableDiskName; break;
      case DriveFixed: offset = txt::FixedDiskName; break;
      case DriveCDROM: offset = txt::CdRomName; break;
      default: break;
    }
    // Numbered by list position, not by BIOS number.
    name = TextF(offset, {static_cast<int64_t>(index + 1)});
  } else {
    name = TextF(txt::WindowsDriveName, {std::string(1, char('A' + d.Number - 1))});
  }
  // The size text counts 512-byte units whatever the sector size.
  if (withSize) name += "   (" + SizeText(d.TotalSectors * d.BytesPerSector / 512) + ")";
  return name;
}

}  // namespace salvex
