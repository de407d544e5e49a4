#include "devices/LostDrives.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/Format.h"
#include "common/Host.h"
#include "common/SearchThreads.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "devices/FileSystemRegistry.h"
#include "devices/ScanPipeline.h"
#include "devices/StatusDialog.h"
#include "salvex/StringIds.h"

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
// Whether the window's first sector holds the structure that announces a volume of `fs`: a test
// of the bytes alone.
bool Announces(const TFileSystem& fs, std::span<const uint8_t> window, uint32_t bps, uint64_t sector) {
  const TLostVolumeRecogniser& lost = fs.Lost;
  if (!lost.Announces || !lost.Place || !fs.Open) return false;
  const uint64_t before = lost.Offset / bps;
  const size_t within = lost.Offset % bps;
  if (sector < before || window.size() < within || window.size() - within < 512) return false;
  return lost.Announces(window.subspan(within));
}

bool RecogniseVolume(const TFileSystem& fs, TDevice& device, TDriveList& drives, std::span<const uint8_t> window,
                     uint32_t bps, uint64_t sector) {
  if (!Announces(fs, window, bps, sector)) return false;
  const TLostVolumeRecogniser& lost = fs.Lost;
  const uint64_t before = lost.Offset / bps;
  std::span<const uint8_t> structure = window.subspan(lost.Offset % bps);
  TLostVolumeSite site{device, structure, sector - before,
                       [&](uint64_t first) { return AlreadyListed(drives, device, first); }, &drives};
  if (site.Listed(site.Sector)) return false;
  uint64_t first = site.Sector, count = 0;
  if (!lost.Place(site, first, count) || AlreadyListed(drives, device, first)) return false;
  const uint64_t room = device.TotalSectors > first ? device.TotalSectors - first : 0;
  drives.AddLostDrive(device, fs.Open(), true, std::min(count, room), first, sector);
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
    const TReadErrorAnswer answer = Host().AskUnreadableRegion(region.First, region.Last);
    if (answer == TReadErrorAnswer::Retry) {
      if (device.ReadSectors(bad, 1, false, bad, probe.data())) return bad;
      continue;
    }
    if (answer == TReadErrorAnswer::Ignore) {
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
  std::vector<std::unique_ptr<TLostDriveAnalyser>> analysers;
  for (const TFileSystem& fs : FileSystems())
    if (fs.Lost.NewAnalyser) analysers.push_back(fs.Lost.NewAnalyser());
  device.SetCacheEnabled(true);
  CacheGuard guard{device};

  status.Setup(LoadText(txt::FindLostDrivesWait), "", "", "", "", true, true);
  status.Max = last - first + 1;
  status.StepSize = 1;
  status.IntervalMs = 500;
  status.Show();

  uint32_t drivesFound = 0, folders = 0, files = 0;
  for (auto& analyser : analysers) analyser->Start(device, drives);
  const auto updateTexts = [&](uint64_t i) {
    if (!status.UpdateDue()) return;
    status.UpdateTexts(LoadText(txt::FindLostDrivesWait), TextF(txt::PhysicalSectorOf, {i, last}),
                       TextF(txt::LostDrivesFound, {drivesFound}), TextF(txt::LostDrivesFolders, {folders}),
                       TextF(txt::LostDrivesFiles, {files}));
    Host().ProcessMessages();
  };
  const auto examine = [&](uint64_t s, std::span<const uint8_t> window, const uint8_t* prescan) {
    // A prescan's first byte tells whether any file system announces a volume here.
    if (!prescan || prescan[0])
      for (const TFileSystem& fs : FileSystems()) {
        if (!RecogniseVolume(fs, device, drives, window, bps, s)) continue;
        ++drivesFound;
        break;
      }
    size_t at = 1;
    for (auto& analyser : analysers) {
      if (prescan)
        analyser->AnalysePrescanned(device, s, files, folders, drivesFound, bps, window.data(), prescan + at);
      else
        analyser->AnalyseSector(device, s, files, folders, drivesFound, bps, window.data());
      at += analyser->PrescanBytes();
    }
  };

  // Sector by sector through the block cache, measuring what cannot be read: the way through a
  // stretch whose large read failed. Returns the sector to go on from.
  std::vector<uint8_t> window(size_t(bps) * 2);
  const auto searchSectors = [&](uint64_t i, uint64_t to) {
    // Whether the window's first half holds sector i (else it is read before i is examined).
    bool haveSector = false;
    while (i <= to) {
      updateTexts(i);
      if (!haveSector && !device.ReadSectors(i, 1, false, device.TotalSectors, window.data())) {
        const uint64_t resume = SkipUnreadable(device, i, last, search, status);
        if (search.Aborted || search.Cancelled) return i;
        if (resume > i) status.StepBy(int64_t(resume - i));
        i = resume;
        continue;
      }
      // The window's second half: the next sector, or zeros past the range or where it cannot be
      // read (it is then measured as the next first half).
      haveSector = i < last && device.ReadSectors(i + 1, 1, false, device.TotalSectors, window.data() + bps);
      if (!haveSector) std::memset(window.data() + bps, 0, bps);
      examine(i, window, nullptr);
      if (haveSector) std::memmove(window.data(), window.data() + bps, bps);
      ++i;
      if (status.Cancelled) {
        if (i <= last) {
          search.Cancelled = true;
          search.StoppedAt = i;
        }
        return i;
      }
      status.Step();
      if (i == 0) return i;  // wrapped past the last sector number
    }
    return i;
  };

  // Large reads on a reader thread, the tests of the bytes alone on every core, and the volumes
  // and the analysers' state fed in disk order here.
  size_t stride = 1;
  for (auto& analyser : analysers) stride += analyser->PrescanBytes();
  const uint64_t total = device.TotalSectors;
  std::mutex deviceLock;
  TScanPipeline<uint8_t>::TSetup setup;
  setup.First = first;
  setup.Last = last;
  setup.BlockBytes = bps;
  setup.ChunkBlocks = std::max<uint32_t>(1, kLostDriveChunkBytes / bps);
  setup.Lookahead = 1;
  setup.Limit = last + 1;  // the window's second half is zeros after the range, as sector by sector
  setup.Threads = SearchThreads();
  setup.Read = [&](uint64_t from, uint32_t count, uint8_t* out) {
    return device.ReadSectors(from, count, false, device.TotalSectors, out);
  };
  // Only the file systems that can announce a volume are asked, each until one answers, with
  // where their structure lies worked out once rather than per sector.
  struct TAnnouncer {
    bool (*Test)(std::span<const uint8_t>);
    uint64_t Before;  // sectors from the volume's start to the structure's sector
    size_t Within;    // the structure's offset in that sector
  };
  std::vector<TAnnouncer> announcers;
  for (const TFileSystem& fs : FileSystems())
    if (fs.Lost.Announces && fs.Lost.Place && fs.Open && bps)
      announcers.push_back({fs.Lost.Announces, fs.Lost.Offset / bps, fs.Lost.Offset % bps});
  setup.Prescan = [&](TScanChunk<uint8_t>& c) {
    c.Looks.assign(size_t(c.Blocks) * stride, 0);
    for (uint32_t k = 0; k < c.Blocks; ++k) {
      const std::span<const uint8_t> win(c.Bytes.data() + size_t(k) * bps, size_t(bps) * 2);
      uint8_t* out = c.Looks.data() + size_t(k) * stride;
      for (const TAnnouncer& a : announcers)
        if (c.First + k >= a.Before && win.size() - a.Within >= 512 && a.Test(win.subspan(a.Within))) {
          out[0] = 1;
          break;
        }
      size_t at = 1;
      for (auto& analyser : analysers) {
        analyser->Prescan(total, bps, win.data(), out + at);
        at += analyser->PrescanBytes();
      }
    }
  };
  TScanPipeline<uint8_t> pipeline(deviceLock, std::move(setup));
  uint64_t i = first;
  while (TScanChunk<uint8_t>* c = pipeline.Next()) {
    const uint64_t end = c->First + c->Blocks;  // after the chunk
    if (i >= end) continue;  // inside an unreadable region measured already
    updateTexts(i);
    if (status.Cancelled) {
      search.Cancelled = true;
      search.StoppedAt = i;
      break;
    }
    std::lock_guard<std::mutex> hold(deviceLock);
    if (!c->Read) {
      i = searchSectors(i, end - 1);
      if (search.Aborted || search.Cancelled) break;
      continue;
    }
    for (uint64_t s = i; s < end; ++s) {
      const size_t k = size_t(s - c->First);
      examine(s, std::span<const uint8_t>(c->Bytes.data() + k * bps, size_t(bps) * 2), c->Looks.data() + k * stride);
    }
    status.StepBy(int64_t(end - i));
    i = end;
    if (status.Cancelled) {
      if (i <= last) {
        search.Cancelled = true;
        search.StoppedAt = i;
      }
      break;
    }
  }

  status.Setup(LoadText(txt::DeterminingFiles), "", LoadText(txt::DeterminingPleaseWait), "", "", true, false);
  status.Show();
  Host().ProcessMessages();
  for (auto& analyser : analysers) analyser->Finish(&status);
  status.Hide();
  return search;
}

uint64_t TLostDriveSearch::SkippedSectors() const {
  uint64_t n = 0;
  for (const auto& r : Skipped) n += r.Count();
  return n;
}

}  // namespace salvex
