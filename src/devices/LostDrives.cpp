#include "devices/LostDrives.h"

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "common/BootSector.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "devices/StatusDialog.h"

namespace salvex {

namespace {

// A boot sector at a volume's start is not a new volume, unless that volume was rebuilt by the
// analyser (those do not block the real boot sector).
bool AlreadyListed(const TDriveList& drives, const TDevice& device, uint64_t sector) {
  for (size_t i = 0; i < drives.Count(); ++i) {
    const TCustomDrive* d = drives.Items(i);
    if (d->Device == &device && d->FirstSector == sector && !(d->Lost & DriveRebuilt)) return true;
  }
  return false;
}

// Turns the device's cache off again however the search ends.
struct CacheGuard {
  TDevice& device;
  ~CacheGuard() { device.SetCacheEnabled(false); }
};

}  // namespace

void FindLostDrives(TDevice& device, uint64_t first, uint64_t last, TDriveList& drives, TStatusDialog& status) {
  if (device.TotalSectors == 0) return;
  if (last >= device.TotalSectors) last = device.TotalSectors - 1;
  if (first > last) first = last;
  const uint32_t bps = device.BytesPerSector;
  std::vector<uint8_t> window(size_t(bps) * 2);
  const TVolumeFactory& factory = VolumeFactory();
  std::unique_ptr<TLostDriveAnalyser> analyser = factory.NewAnalyser ? factory.NewAnalyser() : nullptr;
  device.SetCacheEnabled(true);
  CacheGuard guard{device};

  status.Setup(LoadText(743), "", "", "", "", true, true);
  status.Max = last - first + 1;
  status.StepSize = 1;
  status.IntervalMs = 500;
  status.Show();

  uint32_t drivesFound = 0, folders = 0, files = 0;
  if (analyser) analyser->Start(device, drives);
  bool readOk = true;
  uint64_t i = first;
  do {
    if (status.UpdateDue()) {
      status.UpdateTexts(LoadText(743), TextF(744, {i, last}), TextF(745, {drivesFound}), TextF(746, {folders}),
                         TextF(747, {files}));
      Host().ProcessMessages();
    }
    if (i == first) {
      // The window's second half lies past the device at its last sector.
      uint32_t count = i + 1 < device.TotalSectors ? 2 : 1;
      std::memset(window.data(), 0, window.size());
      readOk = device.ReadSectors(i, count, true, device.TotalSectors, window.data());
    } else {
      std::memmove(window.data(), window.data() + bps, bps);
      if (i < last)
        readOk = device.ReadSectors(i + 1, 1, true, device.TotalSectors, window.data() + bps);
      else
        std::memset(window.data() + bps, 0, bps);
    }
    if (readOk) {
      std::span<const uint8_t> sector(window.data(), bps);
      std::unique_ptr<TCustomDrive> found;
      if (IsNTFSBootSector(sector)) {
        if (factory.NewNTFS) found = factory.NewNTFS();
      } else if (IsFATBootSector(sector)) {
        if (factory.NewFAT) found = factory.NewFAT();
      }
      if (found && !AlreadyListed(drives, device, i)) {
        drives.AddLostDrive(device, std::move(found), true, 0, i, i);
        ++drivesFound;
      }
      if (analyser) analyser->AnalyseSector(device, i, files, folders, drivesFound, bps, window.data());
      ++i;
    }
    if (status.Cancelled) break;
    status.Step();
  } while (readOk && i <= last && i != 0);

  status.Setup(LoadText(703), "", LoadText(704), "", "", true, false);
  status.Show();
  Host().ProcessMessages();
  if (analyser) analyser->Finish(&status);
  status.Hide();
}

}  // namespace salvex
