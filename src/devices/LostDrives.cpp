#include "devices/LostDrives.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "common/BootSector.h"
#include "common/ByteReader.h"
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

// The found volume's size in device sectors, from its boot sector, kept within the device.
uint64_t LostVolumeSectors(const TDevice& device, std::span<const uint8_t> boot, bool ntfs, uint64_t start) {
  const uint64_t deviceBps = device.BytesPerSector ? device.BytesPerSector : 512;
  const uint64_t bps = ByteReader(boot).U16(0x0B);
  uint64_t count = VolumeSectorsOf(boot, ntfs);
  if (bps == 0 || count > UINT64_MAX / bps) return 0;
  count = count * bps / deviceBps;
  const uint64_t room = device.TotalSectors > start ? device.TotalSectors - start : 0;
  return std::min(count, room);
}

// Where the volume of a boot sector found at `sector` starts. File systems keep a backup boot
// sector inside the volume (FAT32 at the sector its BPB names, usually 6; NTFS at the last
// sector); a backup must not become a volume of its own that starts in the middle of the real one.
// Returns false when the sector is the backup of a volume already listed.
bool VolumeStartOf(TDevice& device, const TDriveList& drives, std::span<const uint8_t> boot, bool ntfs,
                   uint64_t sector, uint64_t& first) {
  ByteReader r(boot);
  first = sector;
  if (ntfs) {
    uint64_t total = r.U64(0x28);
    if (total == 0 || total > sector) return true;
    uint64_t primary = sector - total;
    if (AlreadyListed(drives, device, primary)) return false;
    // A volume starting here would run past the device: this is the copy at the end.
    if (sector + total > device.TotalSectors) first = primary;
    return true;
  }
  bool fat32 = r.U16(0x16) == 0 && r.U32(0x24) != 0;
  uint32_t backup = r.U16(0x32);
  if (!fat32 || backup == 0 || backup >= 32 || backup > sector) return true;
  uint64_t primary = sector - backup;
  if (AlreadyListed(drives, device, primary)) return false;
  // The first FAT lies `reserved` sectors after the volume's start; look for its media entry.
  std::vector<uint8_t> fat(device.BytesPerSector);
  uint64_t fatSector = primary + r.U16(0x0E);
  if (fatSector < device.TotalSectors && device.ReadSectors(fatSector, 1, false, device.TotalSectors, fat.data())) {
    uint32_t entry0 = ByteReader(fat).U32(0) & 0x0FFFFFFF;
    if ((entry0 & 0x0FFFFF00) == 0x0FFFFF00 && (entry0 & 0xFF) >= 0xF0) first = primary;
  }
  return true;
}

// exFAT keeps a backup boot region 12 of its own sectors after the main one. When the main boot
// sector is gone, the backup is found first: its volume starts where the FAT it names holds the
// media entry F8 FF FF FF. Returns false when the sector is the backup of a volume already listed.
bool ExFATVolumeStartOf(TDevice& device, const TDriveList& drives, std::span<const uint8_t> boot, uint64_t sector,
                        uint64_t& first) {
  ByteReader r(boot);
  first = sector;
  const uint64_t volBps = uint64_t(1) << r.U8(108);
  const uint64_t ratio = volBps > device.BytesPerSector ? volBps / device.BytesPerSector : 1;
  const uint64_t back = 12 * ratio;
  if (sector < back) return true;
  const uint64_t primary = sector - back;
  if (AlreadyListed(drives, device, primary)) return false;
  std::vector<uint8_t> fat(device.BytesPerSector);
  const uint64_t fatSector = primary + uint64_t(r.U32(80)) * ratio;
  if (fatSector < device.TotalSectors && device.ReadSectors(fatSector, 1, false, device.TotalSectors, fat.data()) &&
      ByteReader(fat).U32(0) == 0xFFFFFFF8u)
    first = primary;
  return true;
}

// Measures the unreadable region that starts at `bad`: single-sector reads past the block cache
// until one succeeds or the range ends. The host is asked once for the whole region. Returns the
// sector to go on from; on Abort or Cancel `search` says where the search stopped.
uint64_t SkipUnreadable(TDevice& device, uint64_t bad, uint64_t last, TLostDriveSearch& search,
                        TStatusDialog& status) {
  std::vector<uint8_t> probe(device.BytesPerSector);
  for (;;) {
    uint64_t end = bad + 1;  // the first readable sector after the region
    for (; end <= last; ++end) {
      if ((end - bad) % 256 == 0) {
        Host().ProcessMessages();
        if (status.Cancelled) {
          search.Cancelled = true;
          search.StoppedAt = bad;
          return bad;
        }
      }
      // A bound at the sector itself keeps the cache from reading ahead into the bad area.
      if (device.ReadSectors(end, 1, false, end, probe.data())) break;
    }
    const TSectorRange region{bad, end - 1};
    const std::string text = "sectors " + std::to_string(region.First) + "-" + std::to_string(region.Last) + " (" +
                             std::to_string(region.Count()) + ") cannot be read; Ignore skips them and searches on";
    const TMsgResult answer = Host().MessageBox(text, "lost-drive search", TMsgButtons::AbortRetryIgnore,
                                                TMsgIcon::Warning);
    if (answer == TMsgResult::Retry) {
      if (device.ReadSectors(bad, 1, false, bad, probe.data())) return bad;
      continue;
    }
    if (answer == TMsgResult::Ignore) {
      search.Skipped.push_back(region);
      return end;
    }
    search.Aborted = true;
    search.StoppedAt = bad;
    return bad;
  }
}

// Turns the device's cache off again however the search ends.
struct CacheGuard {
  TDevice& device;
  ~CacheGuard() { device.SetCacheEnabled(false); }
};

}  // namespace

TLostDriveSearch FindLostDrives(TDevice& device, uint64_t first, uint64_t last, TDriveList& drives,
                                TStatusDialog& status) {
  TLostDriveSearch search;
  if (device.TotalSectors == 0) return search;
  if (last >= device.TotalSectors) last = device.TotalSectors - 1;
  if (first > last) first = last;
  search.Range = {first, last};
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
  uint64_t i = first;
  // Whether the window's first half holds sector i (else it is read before i is examined).
  bool haveSector = false;
  while (i <= last) {
    if (status.UpdateDue()) {
      status.UpdateTexts(LoadText(743), TextF(744, {i, last}), TextF(745, {drivesFound}), TextF(746, {folders}),
                         TextF(747, {files}));
      Host().ProcessMessages();
    }
    if (!haveSector && !device.ReadSectors(i, 1, false, device.TotalSectors, window.data())) {
      const uint64_t resume = SkipUnreadable(device, i, last, search, status);
      if (search.Aborted || search.Cancelled) break;
      if (resume > i) status.StepBy(int64_t(resume - i));
      i = resume;
      continue;
    }
    // The window's second half: the next sector, or zeros past the range or where it cannot be
    // read (it is then measured as the next first half).
    haveSector = i < last && device.ReadSectors(i + 1, 1, false, device.TotalSectors, window.data() + bps);
    if (!haveSector) std::memset(window.data() + bps, 0, bps);
    {
      std::span<const uint8_t> sector(window.data(), bps);
      std::unique_ptr<TCustomDrive> found;
      bool ntfs = IsNTFSBootSector(sector);
      const bool exfat = !ntfs && IsExFATBootSector(sector);
      if (ntfs) {
        if (factory.NewNTFS) found = factory.NewNTFS();
      } else if (exfat) {
        if (factory.NewExFAT) found = factory.NewExFAT();
      } else if (IsFATBootSector(sector)) {
        if (factory.NewFAT) found = factory.NewFAT();
      }
      uint64_t start = i;
      auto placed = [&] {
        return exfat ? ExFATVolumeStartOf(device, drives, sector, i, start)
                     : VolumeStartOf(device, drives, sector, ntfs, i, start);
      };
      if (found && !AlreadyListed(drives, device, i) && placed() &&
          !AlreadyListed(drives, device, start)) {
        drives.AddLostDrive(device, std::move(found), true, LostVolumeSectors(device, sector, ntfs, start), start, i);
        ++drivesFound;
      }
      if (analyser) analyser->AnalyseSector(device, i, files, folders, drivesFound, bps, window.data());
    }
    if (haveSector) std::memmove(window.data(), window.data() + bps, bps);
    ++i;
    if (status.Cancelled) {
      if (i <= last) {
        search.Cancelled = true;
        search.StoppedAt = i;
      }
      break;
    }
    status.Step();
    if (i == 0) break;  // wrapped past the last sector number
  }

  status.Setup(LoadText(703), "", LoadText(704), "", "", true, false);
  status.Show();
  Host().ProcessMessages();
  if (analyser) analyser->Finish(&status);
  status.Hide();
  return search;
}

uint64_t TLostDriveSearch::SkippedSectors() const {
  uint64_t n = 0;
  for (const auto& r : Skipped) n += r.Count();
  return n;
}

}  // namespace salvex
