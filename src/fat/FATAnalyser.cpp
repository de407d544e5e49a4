#include "fat/FATAnalyser.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <span>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/StringTable.h"
#include "common/Host.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "devices/StatusDialog.h"
#include "fat/FATEntries.h"
#include "fat/FATFile.h"
#include "fat/FATSectorTests.h"
#include "fat/FATdrive.h"

namespace salvex {

namespace {

constexpr uint8_t kLostRebuilt = DriveLost | DriveRebuilt;
// Cluster sizes accepted when two lost directories fix a volume's geometry.
constexpr uint16_t kRebuildClusterSizes[] = {2, 4, 8, 16, 32, 64};
constexpr size_t kNoPartner = SIZE_MAX;
// Parent links followed when checking that a move keeps the tree free of loops.
constexpr size_t kMaxTreeDepth = 4096;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Entries a FAT of `sectors` sectors holds (type 1 FAT12, 2 FAT16, 3 FAT32).
uint64_t FATEntries(uint64_t sectors, uint8_t type, uint32_t bytes) {
  const uint64_t size = sectors * bytes;
  return type == 1 ? size * 2 / 3 : type == 2 ? size / 2 : size / 4;
}

// Sets the drive of a moved lost directory and of everything below it.
void SetDriveBelow(TCustomDirectory& top, TCustomDrive* drive) {
  std::vector<TCustomDirectory*> stack{&top};
  while (!stack.empty()) {
    TCustomDirectory* d = stack.back();
    stack.pop_back();
    d->Drive = drive;
    if (!d->Children) continue;
    for (auto& child : *d->Children) {
      if (auto* sub = dynamic_cast<TCustomDirectory*>(child.get()))
        stack.push_back(sub);
      else if (auto* file = dynamic_cast<TCustomFile*>(child.get()))
        file->Drive = drive;
    }
  }
}

// Whether `ancestor` lies on the parent chain of `dir` (or is it); a chain too deep to check
// counts as yes, so that no move can make the tree loop.
bool IsWithin(const TCustomDirectory* dir, const TCustomDirectory* ancestor) {
  for (size_t depth = 0; dir; dir = dir->Parent, ++depth) {
    if (dir == ancestor || depth > kMaxTreeDepth) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<TLostDriveAnalyser> NewFATAnalyser() { return std::make_unique<TFATAnalyser>(); }

TFATAnalyser::TFATAnalyser() = default;
TFATAnalyser::~TFATAnalyser() = default;

void TFATAnalyser::Start(TDevice& device, TDriveList& drives) {
  device_ = &device;
  drives_ = &drives;
  firstFATCopy_.assign(std::max<size_t>(512, device.BytesPerSector), 0);
  dotDirs_.clear();
  sectorDirs_.clear();
  descriptors_.clear();
  DirRun = DirRunAtRoot = 0;
  RecordIndex = 0;
  currentDir_ = nullptr;
  LastDirSector = 0;
  HaveDirSector = false;
  entries_ = 0;
  dirCapLogged_ = entryCapLogged_ = false;
  Reset();
}

void TFATAnalyser::Reset() {
  FATSeen = false;
  MaxFATValue = 0;
  LastFATSector = 0;
  FATStart = FATEnd = 0;
  FATType = 0;
  FATCount = 0;
  SectorsPerFAT = 0;
  DataStart = 0;
  FirstDotCluster = 0;
  FirstDotSector = 0;
  DataReached = false;
  ClusterCount = 0;
  SectorsPerCluster = 0;
  RootSeen = RootHasLabel = false;
  RootCluster = 0;
  RootEntries = 0;
  RootSector = 0;
}

void TFATAnalyser::PrescanSector(uint64_t totalSectors, uint32_t bytes, const uint8_t* window, bool fat,
                                 TSectorPrescan& p) {
  const std::span<const uint8_t> win(window, size_t(bytes) * 2);
  const std::span<const uint8_t> sec = win.first(bytes);
  p.Zero = IsZeroSector(sec);
  if (p.Zero) return;  // nothing below can match a zero sector
  p.FAT = fat && IsFATSector(win, bytes, p.Guess);
  p.Look.Dot = IsDotDirSector(sec, p.Look.DotCluster);
  p.Look.Dir = IsDirectorySector(sec, totalSectors * bytes, totalSectors);
}

void TFATAnalyser::Prescan(uint64_t totalSectors, uint32_t bytes, const uint8_t* window, uint8_t* out) const {
  TSectorPrescan p;
  if (window && bytes >= 512 && bytes % kFATRecordSize == 0) PrescanSector(totalSectors, bytes, window, true, p);
  std::memcpy(out, &p, sizeof p);
}

void TFATAnalyser::AnalyseSector(TDevice& device, uint64_t s, uint32_t& files, uint32_t& folders, uint32_t& drives,
                                 uint32_t bytes, const uint8_t* window) {
  TSectorPrescan p;
  if (window && bytes >= 512 && bytes % kFATRecordSize == 0)
    PrescanSector(device.TotalSectors, bytes, window, !DataReached, p);
  Analyse(device, s, files, folders, drives, bytes, window, p);
}

void TFATAnalyser::AnalysePrescanned(TDevice& device, uint64_t s, uint32_t& files, uint32_t& folders,
                                     uint32_t& drives, uint32_t bytes, const uint8_t* window,
                                     const uint8_t* prescan) {
  TSectorPrescan p;
  std::memcpy(&p, prescan, sizeof p);
  Analyse(device, s, files, folders, drives, bytes, window, p);
}

void TFATAnalyser::Analyse(TDevice& device, uint64_t s, uint32_t& files, uint32_t& folders, uint32_t& drives,
                           uint32_t bytes, const uint8_t* window, const TSectorPrescan& p) {
  // Directory records must tile the sector, and a FAT sector needs a whole first-FAT comparison.
  if (!window || bytes < 512 || bytes % kFATRecordSize != 0) return;
  if (!device_) {
    device_ = &device;
    firstFATCopy_.assign(std::max<size_t>(512, bytes), 0);
  }
  bytes_ = bytes;
  const std::span<const uint8_t> win(window, size_t(bytes) * 2);
  const std::span<const uint8_t> sec = win.first(bytes);
  if (p.Zero) {
    DirRun = 0;
    return;
  }
  // 1. Where the FAT starts, its copies and its type, until the data area is reached.
  if (!DataReached && p.FAT) NoteFATSector(sec, s, p.Guess);

  // 2. What the sector looks like as directory data.
  const TSectorLook& look = p.Look;
  const uint64_t total = device.TotalSectors;
  DirRun = look.Dir ? static_cast<uint8_t>(std::min(DirRun + 1, 255)) : 0;

  // 3. Geometry of the volume in progress.
  if (FATSeen) NoteGeometry(sec, s, look, bytes);

  // 4. Directory sectors become lost directories.
  CollectDirectorySector(win, s, look, total, files, folders);

  // 5. A volume without boot sector is complete.
  if (FATSeen && FATStart && RootHasLabel && SectorsPerCluster) {
    descriptors_.push_back({FATStart, FATEnd, FATCount, SectorsPerFAT, FATType, MaxFATValue, ClusterCount});
    RebuildWithoutBootSector();
    Reset();
    ++drives;
  }
}

void TFATAnalyser::NoteFATSector(std::span<const uint8_t> sec, uint64_t s, const TFATSectorGuess& guess) {
  {
    FATSeen = true;
    if (FATType == 0) FATType = guess.Type;
    MaxFATValue = std::max(MaxFATValue, guess.Largest);
    if (guess.IsFirst) {
      const size_t compared = std::min<size_t>(512, firstFATCopy_.size());
      if (FATStart == 0) {
        FATStart = s;
        FATCount = 1;
        // The media entry tells the type better than whatever looked like FAT before it, and
        // the root directory follows this FAT, not anything seen earlier.
        FATType = guess.Type;
        RootSeen = RootHasLabel = false;
        std::memcpy(firstFATCopy_.data(), sec.data(), std::min(firstFATCopy_.size(), sec.size()));
      } else {
        size_t differing = 0;
        for (size_t k = 0; k < compared && differing < 16; ++k) differing += sec[k] != firstFATCopy_[k];
        if (differing < 16 && FATCount < 255) {
          // Only the first copy ends the first FAT; later copies would stretch it over them.
          if (++FATCount == 2) {
            FATEnd = s - 1;
            SectorsPerFAT = static_cast<uint32_t>(std::min<uint64_t>(FATEnd - FATStart + 1, UINT32_MAX));
          }
        }
      }
    }
    LastFATSector = s;
  }
}

void TFATAnalyser::NoteGeometry(std::span<const uint8_t> sec, uint64_t s, const TSectorLook& look, uint32_t bytes) {
  const bool dot = look.Dot, dir = look.Dir;
  if (!dot && dir && !RootHasLabel) {
    RootHasLabel = HasOneVolumeLabel(sec);  // only a root candidate needs it
    RootSeen = true;
    RootSector = s;
    DirRunAtRoot = DirRun;
  }
  if (dot) NoteDotSector(s, look.DotCluster);
  if (ClusterCount == 0 && SectorsPerFAT != 0) EstimateClusterCount(bytes);
  // A FAT32 root must begin on a cluster start (the run of directory sectors reaches back to
  // one); a FAT12/16 root lies before the data area and is not in a cluster at all.
  if (RootHasLabel && SectorsPerCluster && RootSector >= DataStart &&
      (RootSector - DataStart) % SectorsPerCluster > DirRunAtRoot)
    RootHasLabel = false;
}

void TFATAnalyser::NoteDotSector(uint64_t s, uint32_t dotCluster) {
  DataReached = true;
  if (FirstDotSector == 0) {
    FirstDotCluster = dotCluster;
    FirstDotSector = s;
  } else if (SectorsPerCluster == 0 && dotCluster > FirstDotCluster) {
    // Folders lie on cluster starts: the sector distance must be a whole number of clusters,
    // a power of two of them each, and put cluster 2 after the FAT.
    const uint64_t sectors = s - FirstDotSector, clusters = dotCluster - FirstDotCluster;
    const uint64_t spc = sectors / clusters;
    const uint64_t back = (uint64_t(dotCluster) - 2) * spc;
    if (sectors % clusters == 0 && IsPowerOfTwo(spc) && spc <= 128 && back < s && s - back > FATStart) {
      SectorsPerCluster = static_cast<uint16_t>(spc);
      DataStart = s - back;
      if (FATEnd == 0 && FATStart != 0) {
        // No copy seen: the FAT reaches to the data area (FAT32) or to the root directory
        // that lies in front of it (FAT12/16; 15 sectors before the data when none was seen).
        const bool rootBefore = RootSeen && RootSector > FATStart && RootSector < DataStart;
        const uint64_t end = FATType == 3 ? DataStart - 1 : rootBefore ? RootSector - 1 : DataStart - 15;
        if (end >= FATStart) {
          FATEnd = end;
          SectorsPerFAT = static_cast<uint32_t>(std::min<uint64_t>(FATEnd - FATStart + 1, UINT32_MAX));
        }
      }
      if (DebugLevel() >= 3) {
        DebugLog(Format("FAT startsec: %d, endsec: %d", {FATStart, FATEnd}), 3);
        DebugLog(Format("data startsec: %d", {DataStart}), 3);
      }
    }
  }
}

void TFATAnalyser::EstimateClusterCount(uint32_t bytes) {
  // The FAT's capacity bounds the clusters; the type follows from the count, and the count is
  // kept on its side of the type limits so that a volume mounted from it gets the same type.
  const uint64_t entries = FATEntries(SectorsPerFAT, FATType ? FATType : 3, bytes);
  uint64_t count = entries > 2 ? entries - 2 : 0;
  if (count < 4085) {
    FATType = 1;
    count = FATEntries(SectorsPerFAT, 1, bytes);
    count = std::min<uint64_t>(count > 2 ? count - 2 : 0, 4084);
  } else if (count < 65525) {
    FATType = 2;
    count = FATEntries(SectorsPerFAT, 2, bytes);
    count = std::clamp<uint64_t>(count > 2 ? count - 2 : 0, 4085, 65524);
  } else {
    FATType = 3;
    count = std::min<uint64_t>(count, 0x0FFFFFF5);
  }
  ClusterCount = static_cast<uint32_t>(count);
}

void TFATAnalyser::CollectDirectorySector(std::span<const uint8_t> win, uint64_t s, const TSectorLook& look,
                                          uint64_t total, uint32_t& files, uint32_t& folders) {
  // A folder's last sector is rarely full: it counts when it goes on from a full directory sector.
  const uint32_t bytes = static_cast<uint32_t>(win.size() / 2);
  const std::span<const uint8_t> sec = win.first(bytes);
  const bool dot = look.Dot, dir = look.Dir;
  const uint32_t dotCluster = look.DotCluster;
  const uint32_t perSector = bytes / kFATRecordSize;
  const bool tail = !dot && !dir && currentDir_ && HaveDirSector && s == LastDirSector + 1 &&
                    RecordIndex >= perSector && IsDirectoryTail(sec, total * bytes, total);
  if (dot || dir || tail) {
    const bool fresh = dot || !currentDir_ || !HaveDirSector || s != LastDirSector + 1 || RecordIndex < perSector;
    if (fresh) {
      currentDir_ = nullptr;
      RecordIndex = 0;
      if (dotDirs_.size() + sectorDirs_.size() >= kMaxLostDirectories) {
        if (!dirCapLogged_) DebugLog("lost directories: limit reached, further directory sectors ignored", 1);
        dirCapLogged_ = true;
      } else {
        auto d = std::make_unique<TFATDirectory>();
        d->StartSector = s;
        d->Children.emplace();
        currentDir_ = d.get();
        if (dot) {
          d->FirstCluster = dotCluster;
          d->Name = "cluster " + std::to_string(dotCluster);
          dotDirs_.push_back({std::move(d), s, dotCluster});
        } else {
          d->Name = "sector " + std::to_string(s);
          sectorDirs_.push_back({std::move(d), s, 0});
        }
        ++folders;
      }
    } else {
      RecordIndex %= perSector;
    }
    if (currentDir_) ParseDirectorySector(win.data(), bytes, files);
    LastDirSector = s;
    HaveDirSector = true;
  }
}

void TFATAnalyser::ParseDirectorySector(const uint8_t* window, uint32_t bytes, uint32_t& files) {
  const uint32_t perSector = bytes / kFATRecordSize;
  const std::span<const uint8_t> win(window, size_t(bytes) * 2);
  const uint64_t total = device_ ? device_->TotalSectors : 0;
  int secondIsDir = -1;  // decided when a long name first runs into the second sector
  auto recordAt = [&](uint32_t i) -> std::span<const uint8_t> {
    if (i >= 2 * perSector) return {};
    if (i >= perSector) {
      if (secondIsDir < 0) {
        const auto second = win.subspan(bytes, bytes);
        secondIsDir = IsDirectorySector(second, total * bytes, total) || IsDirectoryTail(second, total * bytes, total);
      }
      if (!secondIsDir) return {};
    }
    return win.subspan(size_t(i) * kFATRecordSize, kFATRecordSize);
  };

  uint32_t idx = RecordIndex;
  bool ended = false;
  while (idx < perSector) {
    std::span<const uint8_t> rec = recordAt(idx++);
    if (rec[0] == 0) {
      ended = true;
      break;
    }
    if (rec[0] == dirent::kDeleted) continue;
    std::string name;
    TLongName longName;
    if (longName.Start(rec)) {
      bool complete = true;
      while (longName.Continues(rec)) {
        longName.Take(rec);
        rec = recordAt(idx);
        if (rec.empty()) {
          complete = false;
          break;
        }
        ++idx;
      }
      if (!complete) break;  // the rest of the run lies outside what was found
      name = longName.Name(idx - 1);
      if (rec[0] == 0) {
        ended = true;
        break;
      }
      if (rec[0] == dirent::kDeleted) continue;
    }
    const uint8_t attr = rec[dirent::kAttributes];
    if (IsLongNameRecord(rec) || ((attr & dirent::kAttrVolume) && !(attr & dirent::kAttrDirectory))) continue;
    const std::string shortName = ShortNameOf(rec);
    if ((attr & dirent::kAttrDirectory) && (shortName == "." || shortName == "..")) continue;
    if (name.empty()) name = EntryNameOf(rec);
    if (entries_ >= kMaxLostEntries) {
      if (!entryCapLogged_) DebugLog("lost directories: limit of entries reached, further entries ignored", 1);
      entryCapLogged_ = true;
      continue;
    }
    ByteReader r(rec);
    if (attr & dirent::kAttrDirectory) {
      auto d = std::make_unique<TFATDirectory>();
      d->FirstCluster = RecordFirstCluster(rec);
      d->Name = std::move(name);
      d->Time = r.U16(dirent::kTime);
      d->Date = r.U16(dirent::kDate);
      d->Drive = currentDir_->Drive;
      d->Parent = currentDir_;
      currentDir_->Adopt(std::move(d));
    } else {
      auto f = std::make_unique<TFATFile>();
      f->FirstCluster = RecordFirstCluster(rec);
      f->Attributes = attr;
      f->Size = r.U32(dirent::kFileSize);
      f->Time = r.U16(dirent::kTime);
      f->Date = r.U16(dirent::kDate);
      f->Name = std::move(name);
      f->Drive = currentDir_->Drive;
      f->Parent = currentDir_;
      currentDir_->Adopt(std::move(f));
      ++files;
    }
    ++entries_;
  }
  // An end mark closes the directory: the next directory sector starts a new one.
  RecordIndex = ended ? 0 : idx;
}

void TFATAnalyser::RebuildWithoutBootSector() {
  if (!device_ || !drives_ || FATStart == 0 || FATType == 0) return;
  const uint32_t bytes = bytes_;
  const uint32_t entriesPerSector = bytes / kFATRecordSize;
  if (SectorsPerCluster == 0) {
    SectorsPerCluster = FATType == 1 ? 1 : DefaultSectorsPerCluster(FATType, device_->TotalSectors);
    if (SectorsPerCluster == 0) SectorsPerCluster = 1;
  }
  if (FATCount == 0) FATCount = 1;
  // One FAT copy and no pair of folders leave the FAT's end open: the root follows the FATs.
  if (SectorsPerFAT == 0 && FATType != 3 && RootSector > FATStart)
    SectorsPerFAT = static_cast<uint32_t>((RootSector - FATStart) / FATCount);
  if (DataStart == 0) {
    if (FATType == 2)
      DataStart = RootSector + 512 / entriesPerSector;
    else if (FATType == 1)
      DataStart = RootSector + 224 / entriesPerSector;
    else
      DataStart = uint64_t(FATCount) * SectorsPerFAT + FATStart;
  }
  if (ClusterCount == 0 && SectorsPerFAT != 0) {
    const uint64_t entries = FATEntries(SectorsPerFAT, FATType, bytes);
    ClusterCount = static_cast<uint32_t>(std::min<uint64_t>(entries > 2 ? entries - 2 : 0, 0x0FFFFFF5));
  }
  // The FATs of a volume whose boot sector is there: rebuilding it would list its files twice.
  if (ReadAlready(FATStart, DataStart)) return;
  const uint64_t fatArea = uint64_t(FATCount) * SectorsPerFAT + FATStart;
  if (FATType == 3) {
    RootCluster = RootSector >= DataStart ? static_cast<uint32_t>((RootSector - DataStart) / SectorsPerCluster + 2) : 2;
  } else {
    RootEntries = DataStart >= fatArea ? static_cast<uint16_t>(std::min<uint64_t>((DataStart - fatArea) * entriesPerSector, 0xFFF0)) : 0;
  }
  if (DebugLevel() >= 3) DebugLog(Format("root clus: %d ...bootsec rebuilt", {RootCluster}), 3);

  TBootRecordParams p;
  p.Clusters = ClusterCount;
  p.FATCount = FATCount;
  p.SectorsPerFAT = SectorsPerFAT;
  p.RootCluster = RootCluster;
  p.RootEntries = RootEntries;
  p.SectorsPerCluster = SectorsPerCluster;
  p.FATType = FATType;
  p.Removable = device_->RemovableMedia & 1;
  p.BytesPerSector = static_cast<uint16_t>(bytes);
  const TBootRecord record = BuildFATBootRecord(p);

  auto drive = std::make_unique<TFATdrive>();
  drive->Device = device_;
  drive->Lost = kLostRebuilt;
  drive->BootSector = drive->FirstSector = FATStart - 1;
  drive->BootRecord = record;
  // The volume may reach to the device's end, no further (the block cache reads ahead to it).
  drive->SectorCount = device_->TotalSectors > drive->FirstSector ? device_->TotalSectors - drive->FirstSector : 0;
  drive->ApplyBootSector(record.data(), true);
  drive->Name += "DRIVE (without BootSec)";
  drive->CreateSpecialFolders();
  drives_->Append(std::move(drive));
}

bool TFATAnalyser::ReadAlready(uint64_t fatStart, uint64_t dataStart) const {
  for (size_t k = 0; k < drives_->Count(); ++k) {
    const auto* d = dynamic_cast<const TFATdrive*>(drives_->Items(k));
    if (!d || d->Device != device_ || (d->Lost & DriveRebuilt) || !d->HasSpecialFolders()) continue;
    if ((fatStart && d->FirstSector + d->ReservedSectors == fatStart) || d->FirstSector + d->FirstDataSector == dataStart)
      return true;
  }
  return false;
}

const TFATAnalyser::TFATDescriptor* TFATAnalyser::DescriptorBefore(uint64_t dataStart) const {
  const TFATDescriptor* best = nullptr;
  for (const TFATDescriptor& d : descriptors_)
    if (d.FATStart < dataStart && (!best || d.FATStart > best->FATStart)) best = &d;
  return best;
}

void TFATAnalyser::Finish(TStatusDialog* status) {
  BuildDrivesFromDirectories(status);
  // Only a real FAT start makes a volume: data that merely looks like FAT entries does not.
  if (FATSeen && RootSeen && FATStart) RebuildWithoutBootSector();
  dotDirs_.clear();
  sectorDirs_.clear();
  currentDir_ = nullptr;
  firstFATCopy_.clear();
  firstFATCopy_.shrink_to_fit();
}

std::vector<std::pair<size_t, uint16_t>> TFATAnalyser::PairFolders() const {
  // Two folders i and j of one volume with c sectors per cluster satisfy
  // start - c * cluster = (data start) - 2c for both; group the folders by that key for each c and
  // take, for each i, the first other folder in list order that shares a key. Sorting keeps this
  // n log n where comparing every pair would not finish on a large disk.
  const size_t n = dotDirs_.size();
  const uint64_t total = device_->TotalSectors;
  std::vector<std::pair<size_t, uint16_t>> partner(n, {kNoPartner, 0});
  std::vector<std::pair<int64_t, size_t>> keyed;
  keyed.reserve(n);
  for (uint16_t c : kRebuildClusterSizes) {
    keyed.clear();
    for (size_t i = 0; i < n; ++i)
      if (dotDirs_[i].Cluster != 0)
        keyed.emplace_back(int64_t(dotDirs_[i].StartSector) - int64_t(c) * int64_t(dotDirs_[i].Cluster), i);
    std::sort(keyed.begin(), keyed.end());
    for (size_t a = 0; a < keyed.size();) {
      size_t b = a;
      while (b < keyed.size() && keyed[b].first == keyed[a].first) ++b;
      const int64_t dataStart = keyed[a].first + 2 * int64_t(c);
      if (b - a >= 2 && dataStart > 0 && uint64_t(dataStart) < total) {
        for (size_t k = a; k < b; ++k) {
          const size_t i = keyed[k].second;
          // Within one key every folder has its own cluster (one sector, one folder).
          const size_t j = keyed[a].second != i ? keyed[a].second : keyed[a + 1].second;
          if (dotDirs_[j].Cluster != dotDirs_[i].Cluster && j < partner[i].first) partner[i] = {j, c};
        }
      }
      a = b;
    }
  }
  return partner;
}

std::unique_ptr<TFATdrive> TFATAnalyser::NewFolderDrive(uint64_t dataStart, uint16_t sectorsPerCluster) const {
  const uint64_t total = device_->TotalSectors;
  auto d = std::make_unique<TFATdrive>();
  d->Lost = kLostRebuilt;
  d->Device = device_;
  TBootRecordParams p;
  p.SectorsPerCluster = sectorsPerCluster;
  p.Removable = device_->RemovableMedia & 1;
  p.BytesPerSector = static_cast<uint16_t>(bytes_);
  const TFATDescriptor* fat = DescriptorBefore(dataStart);
  if (fat && fat->FATStart >= 1) {
    p.Clusters = fat->ClusterCount;
    p.FATCount = fat->FATCount;
    p.SectorsPerFAT = fat->SectorsPerFAT;
    p.FATType = fat->FATType;
    d->BootSector = d->FirstSector = fat->FATStart - 1;
  } else {
    // No FAT known: the clusters are read one after another up to the device's end.
    d->BootSector = d->FirstSector = dataStart - 1;
    p.FATType = 3;
    p.SectorsPerFAT = 1;
    p.Clusters = static_cast<uint32_t>(std::min<uint64_t>((total - d->FirstSector) / sectorsPerCluster, 0x0FFFFFF5));
  }
  d->BootRecord = BuildFATBootRecord(p);
  d->SectorCount = total - d->FirstSector;
  d->ApplyBootSector(d->BootRecord.data(), true);
  if (!fat) {
    d->FATCopy = 0;
    d->Lost |= DriveNoFAT;
  }
  d->FirstDataSector = dataStart - d->FirstSector;
  d->CreateSpecialFolders();
  d->RootFolder->Children.emplace();
  d->Name = LoadText(858);
  return d;
}

void TFATAnalyser::AttachSectorDirs(const std::map<uint64_t, TFATdrive*>& byDataStart) {
  for (TLostDir& lost : sectorDirs_) {
    auto it = byDataStart.upper_bound(lost.StartSector);
    if (it == byDataStart.begin() || !lost.Dir) continue;
    --it;
    TFATdrive* drive = it->second;
    const uint32_t spc = drive->SectorsPerCluster ? drive->SectorsPerCluster : 1;
    const uint64_t offset = lost.StartSector - it->first;
    if (offset / spc >= drive->ClusterCount) continue;
    TFATDirectory* moved = drive->RootFolder->Adopt(std::move(lost.Dir));
    if (offset % spc == 0) {
      moved->FirstCluster = static_cast<uint32_t>(offset / spc + 2);
      moved->StartSector = 0;
    } else {
      moved->StartSector = lost.StartSector - drive->FirstSector;  // a run of sectors in the volume
    }
    moved->Parent = drive->RootFolder.get();
    SetDriveBelow(*moved, drive);
  }
}

void TFATAnalyser::LinkUnderParents(TFATdrive& drive) {
  TChildren& top = *drive.RootFolder->Children;
  // Folders listed by a lost folder, by cluster: where a lost folder of that cluster belongs.
  struct Slot {
    TCustomDirectory* Holder;
    size_t Index;
  };
  std::multimap<uint32_t, Slot> listed;
  for (auto& item : top) {
    auto* lost = dynamic_cast<TCustomDirectory*>(item.get());
    if (!lost || !lost->Children) continue;
    for (size_t k = 0; k < lost->Children->size(); ++k)
      if (auto* sub = dynamic_cast<TFATDirectory*>((*lost->Children)[k].get()); sub && sub->FirstCluster)
        listed.emplace(sub->FirstCluster, Slot{lost, k});
  }
  for (auto& item : top) {
    auto* q = dynamic_cast<TFATDirectory*>(item.get());
    if (!q || !q->FirstCluster) continue;
    auto [from, to] = listed.equal_range(q->FirstCluster);
    for (auto it = from; it != to; ++it) {
      const Slot slot = it->second;
      if (IsWithin(slot.Holder, q)) continue;  // inside q itself: moving q there would loop
      std::unique_ptr<TItem>& place = (*slot.Holder->Children)[slot.Index];
      q->Name = static_cast<TFATDirectory*>(place.get())->Name;
      q->Parent = slot.Holder;
      place = std::move(item);  // frees the listed entry that q replaces
      listed.erase(it);
      break;
    }
  }
  std::erase_if(top, [](const std::unique_ptr<TItem>& item) { return !item; });
  // The deleted view reads each top folder again from the disk, in deleted mode.
  auto& deleted = drive.DeletedFolder->Children.emplace();
  for (auto& item : top) {
    auto* dir = dynamic_cast<TFATDirectory*>(item.get());
    if (!dir || (!dir->FirstCluster && !dir->StartSector)) continue;
    std::unique_ptr<TItem> copy = dir->Clone();
    auto* copied = static_cast<TFATDirectory*>(copy.get());
    copied->Parent = drive.DeletedFolder.get();
    copied->Drive = &drive;
    deleted.push_back(std::move(copy));
  }
}

void TFATAnalyser::BuildDrivesFromDirectories(TStatusDialog* status) {
  if (!device_ || !drives_) return;
  const size_t n = dotDirs_.size();
  const std::vector<std::pair<size_t, uint16_t>> partner = PairFolders();
  if (status) {
    status->ResetProgress();
    status->Max = n;
    status->StepSize = 1;
  }
  std::vector<std::unique_ptr<TFATdrive>> rebuilt;
  std::map<uint64_t, TFATdrive*> byDataStart;
  for (size_t i = 0; i < n; ++i) {
    if (status) {
      status->Step();
      if (status->UpdateDue()) Host().ProcessMessages();
    }
    if (partner[i].first == kNoPartner || !dotDirs_[i].Dir) continue;
    const uint16_t c = partner[i].second;
    const uint64_t dataStart = dotDirs_[i].StartSector - (uint64_t(dotDirs_[i].Cluster) - 2) * c;
    // Folders of a volume that is read whole already; its own lost-data search finds its orphans.
    if (!byDataStart.count(dataStart) && ReadAlready(0, dataStart)) continue;
    TFATdrive*& drive = byDataStart[dataStart];
    if (!drive) {
      rebuilt.push_back(NewFolderDrive(dataStart, c));
      drive = rebuilt.back().get();
    }
    TCustomDirectory* root = drive->RootFolder.get();
    TFATDirectory* moved = root->Adopt(std::move(dotDirs_[i].Dir));
    moved->StartSector = 0;
    moved->Parent = root;
    SetDriveBelow(*moved, drive);
  }
  // Folder sectors without "." records (a FAT32 root, a folder's later clusters) join the volume
  // whose data area they lie in, after its folders, so that their entries can be saved too.
  AttachSectorDirs(byDataStart);
  for (auto& drive : rebuilt) {
    LinkUnderParents(*drive);
    drive->Name += TextF(859, {drive->RootFolder->Children->size()});
    drives_->Append(std::move(drive));
  }
  dotDirs_.clear();
  sectorDirs_.clear();
}

}  // namespace salvex
