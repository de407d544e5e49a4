#include "devices/LostDrives.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "devices/FileSystemRegistry.h"
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

// Adds the volume whose announcing structure lies in `sector` (the window's first half), if `fs`
// recognises one there that is neither listed yet nor the backup copy of a listed one.
bool RecogniseVolume(const TFileSystem& fs, TDevice& device, TDriveList& drives, const std::vector<uint8_t>& window,
                     uint32_t bps, uint64_t sector) {
  const TLostVolumeRecogniser& lost = fs.Lost;
  if (!lost.Announces || !lost.Place || !fs.Open) return false;
  const uint64_t before = lost.Offset / bps;
  const size_t within = lost.Offset % bps;
  if (sector < before || window.size() - within < 512) return false;
  std::span<const uint8_t> structure(window.data() + within, window.size() - within);
  if (!lost.Announces(structure)) return false;
  TLostVolumeSite site{device, structure, sector - before,
                       [&](uint64_t first) { return AlreadyListed(drives, device, first); }};
  if (site.Listed(site.Sector)) return false;
  uint64_t first = site.Sector, count = 0;
  if (!lost.Place(site, first, count) || AlreadyListed(drives, device, first)) return false;
  const uint64_t room = device.TotalSectors > first ? device.TotalSectors - first : 0;
  drives.AddLostDrive(device, fs.Open(), true, std::min(count, room), first, sector);
  return true;
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
  std::vector<std::unique_ptr<TLostDriveAnalyser>> analysers;
  for (const TFileSystem& fs : FileSystems())
    if (fs.Lost.NewAnalyser) analysers.push_back(fs.Lost.NewAnalyser());
  device.SetCacheEnabled(true);
  CacheGuard guard{device};

  status.Setup(LoadText(743), "", "", "", "", true, true);
  status.Max = last - first + 1;
  status.StepSize = 1;
  status.IntervalMs = 500;
  status.Show();

  uint32_t drivesFound = 0, folders = 0, files = 0;
  for (auto& analyser : analysers) analyser->Start(device, drives);
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
      for (const TFileSystem& fs : FileSystems()) {
        if (!RecogniseVolume(fs, device, drives, window, bps, i)) continue;
        ++drivesFound;
        break;
      }
      for (auto& analyser : analysers)
        analyser->AnalyseSector(device, i, files, folders, drivesFound, bps, window.data());
      ++i;
    }
    if (status.Cancelled) break;
    status.Step();
  } while (readOk && i <= last && i != 0);

  status.Setup(LoadText(703), "", LoadText(704), "", "", true, false);
  status.Show();
  Host().ProcessMessages();
  for (auto& analyser : analysers) analyser->Finish(&status);
  status.Hide();
}

}  // namespace salvex
