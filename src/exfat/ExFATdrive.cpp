#include "exfat/ExFATdrive.h"

#include "common/Unicode.h"

#include <algorithm>
#include <cstring>

#include "common/ByteReader.h"
#include "common/ClusterSet.h"
#include "common/Debug.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATLostData.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// A directory holds at most 256 MiB of entries; the allocation bitmap of 2^32 clusters is 512 MiB.
constexpr uint64_t kMaxDirectoryBytes = uint64_t(256) << 20;
constexpr uint64_t kBootRegionSectors = 12;
// The full table maps 65536 UTF-16 units.
constexpr uint64_t kMaxUpcaseBytes = 128 * 1024;

}  // namespace

std::unique_ptr<TCustomDrive> NewExFATDrive() { return std::make_unique<TExFATdrive>(); }

TExFATdrive::TExFATdrive() = default;
TExFATdrive::~TExFATdrive() = default;

TExFATDirectory* TExFATdrive::Root() const { return static_cast<TExFATDirectory*>(RootFolder.get()); }
TExFATDirectory* TExFATdrive::DeletedRoot() const { return static_cast<TExFATDirectory*>(DeletedFolder.get()); }

bool TExFATdrive::ReadBootRegion(uint64_t sector, uint32_t bytesPerSector, std::vector<uint8_t>& region) {
  BytesPerSec = bytesPerSector;
  region.assign(kBootRegionSectors * bytesPerSector, 0);
  const bool ok = ReadSectors(sector, kBootRegionSectors, false, region.data());
  BytesPerSec = 0;
  return ok;
}

bool TExFATdrive::Mount(bool quiet) {
  MountNotes.clear();
  if (!Device) return false;
  const uint32_t devBps = std::max<uint32_t>(512, Device->BytesPerSector);
  std::vector<uint8_t> first(devBps, 0);
  if (!ReadDeviceSectors(FirstSector, 1, !quiet, first.data())) {
    TError e;
    e.Kind = TErrorKind::ReadError;
    e.What = "exFAT boot sector (device sector " + std::to_string(FirstSector) + ")";
    e.Why = "it cannot be read";
    e.Sector = FirstSector;
    AddMountNote(std::move(e), true, true);
    return false;
  }
  DebugHexDump(first.data(), 512);

  TExFATBoot boot;
  std::string why, mainWhy;
  std::vector<uint8_t> region;
  bool ok = false;
  if (ParseExFATBootSector(first, boot, mainWhy)) {
    const uint32_t bps = 1u << boot.BytesPerSectorShift;
    if (ReadBootRegion(0, bps, region))
      ok = CheckExFATBootRegion(region, boot, mainWhy);
    else
      mainWhy = "the boot region could not be read";
  }
  if (!ok) {
    // The backup region follows the main one: 12 sectors in, in the volume's sector size, which
    // the damaged main sector may no longer tell.
    for (uint8_t shift = 9; shift <= 12 && !ok; ++shift) {
      if (!ReadBootRegion(kBootRegionSectors, 1u << shift, region)) continue;
      ok = CheckExFATBootRegion(region, boot, why) && boot.BytesPerSectorShift == shift;
    }
    if (!ok) {
      BootProblem = mainWhy.empty() ? why : mainWhy;
      DebugLog("exFAT mount failed: " + BootProblem, 1);
      AddMountNote(TError::Corrupt("exFAT boot region", BootProblem), true, quiet,
                   "Bad parameters in the exFAT boot sector: " + BootProblem, "Error");
      return false;
    }
    UsedBackupBoot = true;
    BootProblem = mainWhy;
    const std::string text = "The main exFAT boot region is damaged (" + mainWhy +
                             "); the backup boot region at sector 12 is used.";
    DebugLog(text, 1);
    AddMountNote(TError::Corrupt("exFAT main boot region", mainWhy + "; the backup boot region at sector 12 is used"),
                 false, quiet, text, "Information");
  }
  ApplyBoot(boot);
  CreateSpecialFolders();
  ReadCriticalEntries();
  return true;
}

void TExFATdrive::ApplyBoot(const TExFATBoot& boot) {
  Boot = boot;
  BytesPerSec = 1u << boot.BytesPerSectorShift;
  ClusterSize = 1u << (boot.BytesPerSectorShift + boot.SectorsPerClusterShift);
  ClusterCount = ClustersOnDevice = boot.ClusterCount;
  VolumeSectors = boot.VolumeLength;
  // A volume cut short keeps its clusters: folders and files past the device's end are listed, and
  // reading them fails. What is sized or scanned from the cluster count (the bitmap read, the
  // searches) stops at the device (nothing of it when the heap starts beyond it); the FATs stay
  // where they are, and a chain read from a FAT past the end stops there.
  if (const uint64_t room = DeviceRoom(BytesPerSec); room > 0 && VolumeSectors > room) {
    TError cut = CutToDeviceWarning("exFAT boot sector", VolumeSectors, room);
    const uint64_t fatEnd = uint64_t(boot.FatOffset) + uint64_t(boot.FatLength) * boot.NumberOfFats;
    if (fatEnd > room) cut.Why += "; the FAT lies partly or wholly past the device's end";
    DebugLog("exFAT mount: " + cut.Text(), 0);
    AddMountNote(std::move(cut), false, true);
    VolumeSectors = room;
    const uint64_t heapRoom =
        room > boot.ClusterHeapOffset ? (room - boot.ClusterHeapOffset) >> boot.SectorsPerClusterShift : 0;
    ClustersOnDevice = uint32_t(std::min<uint64_t>(ClusterCount, heapRoom));
  }
  ActiveFat = (boot.NumberOfFats == 2 && (boot.VolumeFlags & 1)) ? 2 : 1;
  fatCache_.assign(BytesPerSec, 0);
  fatCacheValid_ = false;
}

uint32_t TExFATdrive::GetFAT(uint32_t n, int copy) {
  if (!IsValidCluster(n) || BytesPerSec == 0 || copy < 1 || copy > Boot.NumberOfFats) return 0;
  const uint64_t offset = uint64_t(n) * 4;
  const uint64_t sector = Boot.FatOffset + uint64_t(copy - 1) * Boot.FatLength + offset / BytesPerSec;
  if (!fatCacheValid_ || fatCacheSector_ != sector) {
    fatCacheSector_ = sector;
    fatCacheValid_ = true;
    if (!ReadSectors(sector, 1, true, fatCache_.data())) std::fill(fatCache_.begin(), fatCache_.end(), 0);
  }
  return ByteReader(fatCache_).U32(offset % BytesPerSec);
}

bool TExFATdrive::IsClusterFree(uint32_t n) const {
  if (!IsValidCluster(n) || !BitmapRead) return false;
  const uint64_t bit = uint64_t(n) - 2;
  if (bit / 8 >= Bitmap.size()) return false;
  return !(Bitmap[bit / 8] & (1u << (bit % 8)));
}

bool TExFATdrive::FreeChainIntact(uint32_t first, uint64_t count, int copy) {
  if (count == 0 || count > ClustersOnDevice) return false;
  TClusterSet walked;
  bool intact = false;
  uint32_t cluster = first;
  for (uint64_t i = 0; i < count; ++i) {
    if (!IsValidCluster(cluster) || !IsClusterFree(cluster) || !walked.Insert(cluster)) break;
    const uint32_t next = GetFAT(cluster, copy);
    if (i + 1 == count) intact = next == 0xFFFFFFFFu;
    cluster = next;
  }
  return intact;
}

TExFATRun TExFATdrive::DataRun(uint32_t first, uint64_t length, bool noFatChain, bool deleted, int choice) {
  TExFATRun run{first, length, 0};
  if (noFatChain || choice == 0) return run;
  if (choice > 0) {
    run.FatCopy = std::min<int>(choice, Boot.NumberOfFats);
  } else if (!deleted) {
    run.FatCopy = ActiveFat;
  } else {
    // A freed chain is only followed while it still reads as this file's. Drivers that clear it
    // leave the free clusters from the first one: the clusters other files hold in between were
    // theirs when this one was written around them.
    const uint64_t clusters = ClustersFor(length);
    if (clusters > 1 && FreeChainIntact(first, clusters, ActiveFat))
      run.FatCopy = ActiveFat;
    else
      run.SkipAllocated = BitmapRead;
  }
  return run;
}

uint32_t TExFATdrive::NextInRun(const TExFATRun& run, uint32_t n, uint64_t& steps) {
  if (++steps > ClusterCount) return 0;
  if (run.FatCopy) {
    const uint32_t next = GetFAT(n, run.FatCopy);
    return IsValidCluster(next) ? next : 0;
  }
  uint64_t next = uint64_t(n) + 1;
  // The bitmap is read only as far as the device reaches: no free cluster is known past it.
  while (run.SkipAllocated && IsValidCluster(next) && !IsClusterFree(uint32_t(next))) {
    if (++steps > ClusterCount || !IsOnDevice(next)) return 0;
    ++next;
  }
  return IsValidCluster(next) ? uint32_t(next) : 0;
}

std::vector<uint8_t> TExFATdrive::ReadRun(const TExFATRun& run, uint64_t maxBytes, bool untilEnd) {
  std::vector<uint8_t> out;
  if (ClusterSize == 0) return out;
  const uint64_t want = std::min(run.Length, maxBytes);
  const uint32_t spc = ClusterSize / BytesPerSec;
  std::vector<uint8_t> cluster(ClusterSize);
  uint32_t n = run.FirstCluster;
  uint64_t steps = 0;
  TClusterSet visited;
  while (out.size() < want && IsValidCluster(n)) {
    if (!ReadSectors(ClusterToSector(n), spc, true, cluster.data())) std::fill(cluster.begin(), cluster.end(), 0);
    const size_t take = size_t(std::min<uint64_t>(ClusterSize, want - out.size()));
    const size_t start = out.size();
    out.insert(out.end(), cluster.begin(), cluster.begin() + take);
    if (untilEnd) {
      bool end = false;
      for (size_t i = start; i + exentry::kSize <= out.size() && !end; i += exentry::kSize)
        end = out[i] == exentry::kEndOfDirectory;
      if (end) break;
    }
    // A FAT chain that comes back to a cluster already read would repeat its entries.
    visited.Insert(n);
    n = NextInRun(run, n, steps);
    if (run.FatCopy && visited.Contains(n)) break;
  }
  return out;
}

void TExFATdrive::ReadCriticalEntries() {
  const std::vector<uint8_t> root =
      ReadRun({Boot.RootCluster, kMaxDirectoryBytes, ActiveFat}, kMaxDirectoryBytes, true);
  ByteReader r(root);
  bool haveBitmap = false;
  for (size_t off = 0; off + exentry::kSize <= root.size(); off += exentry::kSize) {
    const uint8_t type = r.U8(off);
    if (type == exentry::kEndOfDirectory) break;
    if (type == exentry::kBitmap) {
      // With two FATs each has a bitmap; bit 0 of the flags says whose.
      const int owner = (r.U8(off + 1) & 1) ? 2 : 1;
      if (haveBitmap && owner != ActiveFat) continue;
      haveBitmap = true;
      BitmapCluster = r.U32(off + 20);
      BitmapLength = r.U64(off + 24);
    } else if (type == exentry::kUpcase) {
      UpcaseChecksum = r.U32(off + 4);
      UpcaseCluster = r.U32(off + 20);
      UpcaseLength = r.U64(off + 24);
    } else if (type == exentry::kLabel) {
      const size_t chars = std::min<size_t>(r.U8(off + 1), 11);
      bool lossy = false;
      Name = Utf16LeToUtf8(r.Sub(off + 2, chars * 2), &lossy);
    }
  }
  const uint64_t needed = (uint64_t(ClusterCount) + 7) / 8;
  if (!haveBitmap || !IsValidCluster(BitmapCluster) || BitmapLength < needed) {
    DebugLog("exFAT: no usable allocation bitmap in the root directory; conditions are poor", 1);
    return;
  }
  // Only the clusters on the device are looked up: a volume cut short (or a damaged claim) does not
  // size the bitmap beyond them.
  const uint64_t wanted = (uint64_t(ClustersOnDevice) + 7) / 8;
  Bitmap = ReadRun({BitmapCluster, wanted, ActiveFat}, wanted, false);
  // The bitmap's own chain may be damaged; it is written contiguously by every formatter.
  if (Bitmap.size() < wanted) Bitmap = ReadRun({BitmapCluster, wanted, 0}, wanted, false);
  BitmapRead = Bitmap.size() == wanted;
  // Names are shown as stored, so a damaged up-case table only matters to the log.
  if (UpcaseLength == 0 || UpcaseLength > kMaxUpcaseBytes || !IsValidCluster(UpcaseCluster)) {
    DebugLog("exFAT: no usable up-case table in the root directory", 1);
  } else {
    const std::vector<uint8_t> table = ReadRun({UpcaseCluster, UpcaseLength, 0}, UpcaseLength, false);
    uint32_t sum = 0;
    for (uint8_t b : table) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + b;
    UpcaseOk = table.size() == UpcaseLength && sum == UpcaseChecksum;
    if (!UpcaseOk) DebugLog("exFAT: the up-case table's checksum is wrong", 1);
  }
}

void TExFATdrive::CreateSpecialFolders() {
  MakeSpecialFolders([this](bool root) {
    auto d = std::make_unique<TExFATDirectory>();
    d->FirstCluster = root ? Boot.RootCluster : 0;
    d->IsRoot = root;
    return d;
  });
}

bool TExFATdrive::TopMayHaveSubfolders(TTreeKind tree) {
  if (!HasSpecialFolders()) return false;
  if (tree == TTreeKind::Root) return Root()->HasChildDirs(false);
  if (tree == TTreeKind::Deleted) return DeletedRoot()->HasChildDirs(true);
  return TCustomDrive::TopMayHaveSubfolders(tree);
}

TPreviewFields TExFATdrive::Preview() {
  TPreviewFields p;
  p.Known = true;
  p.TotalSectors = VolumeSectors;
  p.SectorsPerCluster = uint64_t(1) << Boot.SectorsPerClusterShift;
  // exFAT's boot sector always names itself so; there is no other OEM name.
  p.Oem = "EXFAT";
  p.Label = Name;
  p.HasFATType = true;
  p.FATType = "exFAT";
  if (TExFATDirectory* root = Root())
    root->Search(
        [&p](TItem& item) {
          TPreviewFields::TEntry e;
          if (auto* d = dynamic_cast<TExFATDirectory*>(&item)) {
            e = {d->Name, true, 0, DosDateTimeText(d->Modified.Date(), d->Modified.Time())};
          } else if (auto* f = dynamic_cast<TExFATFile*>(&item)) {
            e = {f->Name, false, f->Size, DosDateTimeText(f->Modified.Date(), f->Modified.Time())};
          }
          p.RootEntries.push_back(std::move(e));
          return true;
        },
        false, false, false);
  return p;
}

std::vector<TListColumn> TExFATdrive::ListColumns() const { return StandardColumns(LoadText(txt::ColumnCluster)); }

std::vector<std::string> TExFATdrive::ReadChoiceItems() const {
  std::vector<std::string> items{LoadText(txt::NoFatConsecutive)};
  for (uint32_t k = 1; k <= Boot.NumberOfFats; ++k) items.push_back("FAT " + std::to_string(k));
  return items;
}

bool TExFATdrive::FindLostData(TStatusDialog* status) { return FindExFATLostData(*this, status); }

template <class Visit>
void TExFATdrive::WalkLiveData(uint32_t first, uint64_t length, bool noFatChain, Visit visit) {
  const TExFATRun run = DataRun(first, length, noFatChain, false, -1);
  const uint64_t clusters = std::min<uint64_t>(ClustersFor(length), ClusterCount);
  uint64_t steps = 0;
  uint32_t c = first;
  for (uint64_t k = 0; k < clusters && IsValidCluster(c); ++k) {
    if (!visit(c)) return;
    if (k + 1 < clusters && (c = NextInRun(run, c, steps)) == 0) return;
  }
}

void TExFATdrive::HoldLiveData(TClusterSet& held, uint32_t first, uint64_t length, bool noFatChain) {
  if (!IsValidCluster(first)) return;
  const TExFATRun run = DataRun(first, length, noFatChain, false, -1);
  if (!run.FatCopy) {
    // Consecutive clusters: one range, however large the file.
    const uint64_t end = std::min(uint64_t(first) + std::min<uint64_t>(ClustersFor(length), ClusterCount),
                                  uint64_t(ClusterCount) + 2);
    if (const uint32_t met = held.InsertRange(first, end)) sharedClusters_.Insert(met);
    return;
  }
  // A chain that comes back to itself is the reader's to report, not a cross-link; either way the
  // walk ends there, so a looping chain costs its length once.
  TClusterSet mine;
  WalkLiveData(first, length, noFatChain, [&](uint32_t c) {
    if (!mine.Insert(c)) return false;
    if (!held.Contains(c)) return true;
    sharedClusters_.Insert(c);
    return false;
  });
  mine.ForEachRun([&](uint32_t from, uint64_t end) { held.InsertRange(from, end); });
}

void TExFATdrive::FindSharedClusters() {
  if (sharedKnown_) return;
  sharedKnown_ = true;
  // The live tree as listing sees it: each folder entered once (a loop or a folder another entry
  // reached first lists nothing), to the same depth.
  TClusterSet held, entered;
  struct TFolder {
    uint32_t First;
    uint64_t Length;
    bool NoFatChain;
    size_t Depth;
  };
  std::vector<TFolder> pending{{Boot.RootCluster, 0, false, 0}};
  entered.Insert(Boot.RootCluster);
  while (!pending.empty()) {
    const TFolder folder = pending.back();
    pending.pop_back();
    TExFATDirectory dir;
    dir.Drive = this;
    dir.FirstCluster = folder.First;
    dir.DataLength = folder.Length;
    dir.NoFatChain = folder.NoFatChain;
    dir.IsRoot = folder.Depth == 0;
    for (const TExFATEntrySet& set : dir.ReadEntrySets(false)) {
      if (!set.Directory()) {
        if (set.DataLength > 0) HoldLiveData(held, set.FirstCluster, set.DataLength, set.NoFatChain());
      } else if (folder.Depth < kMaxExFATDepth && IsValidCluster(set.FirstCluster) &&
                 entered.Insert(set.FirstCluster)) {
        pending.push_back({set.FirstCluster, set.DataLength, set.NoFatChain(), folder.Depth + 1});
      }
    }
  }
}

uint32_t TExFATdrive::SharesClusters(uint32_t first, uint64_t length, bool noFatChain) {
  FindSharedClusters();
  if (sharedClusters_.Runs() == 0 || !IsValidCluster(first)) return 0;
  const TExFATRun run = DataRun(first, length, noFatChain, false, -1);
  if (!run.FatCopy) {
    const uint64_t end = std::min(uint64_t(first) + std::min<uint64_t>(ClustersFor(length), ClusterCount),
                                  uint64_t(ClusterCount) + 2);
    return sharedClusters_.FirstIn(first, end);
  }
  uint32_t shared = 0;
  TClusterSet mine;
  WalkLiveData(first, length, noFatChain, [&](uint32_t c) {
    if (sharedClusters_.Contains(c)) shared = c;
    return shared == 0 && mine.Insert(c);
  });
  return shared;
}

}  // namespace salvex
