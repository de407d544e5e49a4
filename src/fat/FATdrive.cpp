#include "fat/FATdrive.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATLostData.h"
#include "fat/FATSectorTests.h"
#include "fat/MFTFile.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

const TFATEntryAccess kFAT12Access{[](uint32_t n) { return uint64_t(n) + n / 2; }, 2,
                                   [](uint32_t raw, uint32_t n) { return (n & 1) ? (raw >> 4) & 0xFFF : raw & 0xFFF; }};
const TFATEntryAccess kFAT16Access{[](uint32_t n) { return uint64_t(n) * 2; }, 2,
                                   [](uint32_t raw, uint32_t) { return raw & 0xFFFF; }};
const TFATEntryAccess kFAT32Access{[](uint32_t n) { return uint64_t(n) * 4; }, 4,
                                   [](uint32_t raw, uint32_t) { return raw & 0x0FFFFFFF; }};

}  // namespace

bool TFATdrive::IsValidRootCluster(uint32_t cluster) const {
  // Clusters are numbered 2 to ClusterCount + 1.
  return cluster >= 2 && cluster <= uint64_t(ClusterCount) + 1;
}

std::unique_ptr<TCustomDrive> NewFATDrive() { return std::make_unique<TFATdrive>(); }

TFATdrive::TFATdrive() = default;
TFATdrive::~TFATdrive() = default;

std::string TFATdrive::FileSystemName() const {
  switch (FATType) {
    case FAT12: return "FAT12";
    case FAT16: return "FAT16";
    case FAT32: return "FAT32";
    default: return "FAT";
  }
}

TFATDirectory* TFATdrive::Root() const { return static_cast<TFATDirectory*>(RootFolder.get()); }
TFATDirectory* TFATdrive::DeletedRoot() const { return static_cast<TFATDirectory*>(DeletedFolder.get()); }

bool TFATdrive::Mount(bool quiet) {
  MountNotes.clear();
  if (!Device) return false;
  const size_t size = std::max<size_t>(512, Device->BytesPerSector);
  std::vector<uint8_t> boot(size, 0);
  if (!ReadDeviceSectors(BootSector, 1, true, boot.data())) {
    TError e;
    e.Kind = TErrorKind::ReadError;
    e.What = "FAT boot sector (device sector " + std::to_string(BootSector) + ")";
    e.Why = "it cannot be read";
    e.Sector = BootSector;
    AddMountNote(std::move(e), true, true);
    return false;
  }
  DebugHexDump(boot.data(), 512);
  std::memcpy(BootRecord.data(), boot.data(), BootRecord.size());
  if (!ApplyBootSector(BootRecord.data(), quiet)) return false;
  CreateSpecialFolders();
  return true;
}

namespace {
const char kBootSector[] = "FAT boot sector";
}  // namespace

void TFATdrive::Inform(bool quiet, bool stopped, const std::string& field, uint64_t value, const std::string& why,
                       const std::string& message) {
  AddMountNote(TError::Corrupt(kBootSector, field + " " + std::to_string(value) + " " + why), stopped, quiet,
               message, "Information");
}

bool TFATdrive::ApplyBootSector(const uint8_t* bootRecord, bool quiet) {
  ByteReader b(bootRecord, 90);
  if (!ApplyGeometry(b, quiet)) return false;
  ApplyRootDirectory(b.U32(0x2C), quiet);
  PrepareReading();
  std::string label = b.Str(FATType == FAT32 ? 0x47 : 0x2B, 11);
  if (auto zero = label.find('\0'); zero != std::string::npos) label.resize(zero);
  Name = label;
  CheckFATInUse();
  return true;
}

bool TFATdrive::ApplyGeometry(const ByteReader& b, bool quiet) {
  const uint32_t bps = b.U16(0x0B);
  const uint32_t spc = b.U8(0x0D);
  if (bps == 0) {
    Inform(quiet, true, "bytes per sector (offset 0x0B)", bps, "is not a sector size",
           "bad parameter in boot sector: Bytes Per Sector (" + std::to_string(bps) + ") = 0 !");
    return false;
  }
  if (spc == 0) {
    Inform(quiet, true, "sectors per cluster (offset 0x0D)", spc, "is not a cluster size",
           "bad parameter in boot sector: Sectors Per Cluster (" + std::to_string(spc) + ") = 0 !");
    return false;
  }
  // The sizes the lost-drive search's boot-sector test accepts: what it finds must mount.
  if (!IsBootSectorSize(bps)) {
    Inform(quiet, true, "bytes per sector (offset 0x0B)", bps, "is not 512, 1024, 2048, 4096 or 8192",
           "bad parameter in boot sector: Bytes Per Sector (" + std::to_string(bps) +
               ") is not supported (512, 1024, 2048, 4096 or 8192) !");
    return false;
  }
  const uint32_t reserved = b.U16(0x0E);
  const uint32_t fats = b.U8(0x10);
  const uint32_t rootEntries = b.U16(0x11);
  const uint32_t total16 = b.U16(0x13);
  const uint32_t spf16 = b.U16(0x16);
  const uint32_t total32 = b.U32(0x20);
  const uint32_t spf32 = b.U32(0x24);

  const uint32_t rootDirSectors = (rootEntries * 32 + bps - 1) / bps;
  const uint32_t sectorsPerFAT = spf16 ? spf16 : spf32;
  const uint64_t fatSectors = uint64_t(sectorsPerFAT) * fats;
  const uint64_t firstDataSector = fatSectors + reserved + rootDirSectors;
  const uint32_t claimed = total16 ? total16 : total32;
  uint32_t totalSectors = claimed;
  // A volume cannot reach past its device: a larger claim is damage, and believing it would make
  // every scan and size bound cover sectors that do not exist. The tables stay where they are
  // even when they reach past the device themselves (no data area is left then).
  const uint64_t room = DeviceRoom(bps);
  const bool cut = room > 0 && claimed > room && claimed >= firstDataSector;
  if (cut) {
    AddMountNote(CutToDeviceWarning(kBootSector, claimed, room), false, quiet);
    DebugLog("FAT mount: " + MountNotes.back().Error.Text(), 0);
    totalSectors = static_cast<uint32_t>(std::max<uint64_t>(room, firstDataSector));
  }
  // Metadata that does not fit the volume would make the data area negative.
  if (firstDataSector > totalSectors) {
    AddMountNote(TError::Corrupt(kBootSector, "its reserved sectors, FATs and root folder take " +
                                                  std::to_string(firstDataSector) + " sectors of the volume's " +
                                                  std::to_string(totalSectors)),
                 true, quiet, "Bad parameters for calculating logical drive information from Boot Sector", "Error");
    return false;
  }

  BytesPerSec = bps;
  SectorsPerCluster = spc;
  ReservedSectors = reserved;
  NumberOfFATs = fats;
  RootEntries = rootEntries;
  RootDirSectors = rootDirSectors;
  SectorsPerFAT = sectorsPerFAT;
  FATSectors = fatSectors;
  FirstDataSector = firstDataSector;
  TotalSectors = totalSectors;
  DataSectors = static_cast<uint32_t>(totalSectors - firstDataSector);
  // The variant and the clusters follow the boot sector's own count: cut to its device, the count
  // left would read a truncated FAT16 as FAT12, and folders and files past the cut would vanish
  // without a word. The cut only bounds what is read (those reads fail) and what is scanned.
  const uint32_t claimedClusters = static_cast<uint32_t>((std::max<uint64_t>(claimed, firstDataSector) - firstDataSector) / spc);
  FATType = claimedClusters < 4085 ? FAT12 : claimedClusters < 65525 ? FAT16 : FAT32;
  // Only FAT32 keeps its FAT size in the 32-bit field: `mkfs.fat -F 32` on a small card gives FAT32
  // with fewer than 65525 clusters, which Linux and Windows read as FAT32, and counting would hide
  // its whole tree. A claim the device cannot hold may be damage itself: then the layout decides
  // too, and a FAT too small for FAT16 entries is FAT12.
  if (spf16 == 0)
    FATType = FAT32;
  else if (cut && FATType != FAT12)
    FATType = uint64_t(spf16) * bps / 2 >= 4085 + 2 ? FAT16 : FAT12;
  // No more clusters than the variant's entries can number: a damaged claim sizes nothing beyond.
  const uint32_t highestCount = FATType == FAT12 ? 0xFF5 : FATType == FAT16 ? 0xFFF5 : 0x0FFFFFF5;
  ClusterCount = std::min(claimedClusters, highestCount);
  ClustersOnDevice = std::min(ClusterCount, DataSectors / spc);
  ClusterSize = bps * spc;
  // Clusters up to 64 KiB are read; larger ones exceed what FAT allows.
  if (ClusterSize > 65536) {
    Inform(quiet, true, "cluster size", ClusterSize, "is larger than 65536 bytes",
           "bad parameter in boot sector: cluster size (" + std::to_string(ClusterSize) + ") > 65536 !");
    return false;
  }
  return true;
}

void TFATdrive::ApplyRootDirectory(uint32_t rootCluster, bool quiet) {
  if (FATType != FAT32) {
    RootDirSector = uint64_t(NumberOfFATs) * SectorsPerFAT + ReservedSectors;
    RootCluster = 0;
    return;
  }
  if (rootCluster > uint64_t(ClusterCount) + 1)
    Inform(quiet, false, "root folder cluster (offset 0x2C)", rootCluster,
           "lies outside the volume's clusters 2.." + std::to_string(uint64_t(ClusterCount) + 1) +
               "; the root folder lists nothing",
           "bad parameter in boot sector: root directory cluster (" + std::to_string(rootCluster) +
               ") > count of clusters !");
  else if (rootCluster < 2)
    Inform(quiet, false, "root folder cluster (offset 0x2C)", rootCluster,
           "is below the first cluster, 2; the root folder lists nothing",
           "bad parameter in boot sector: root directory cluster (" + std::to_string(rootCluster) + ") < 2 !");
  if (IsValidRootCluster(rootCluster)) {
    RootDirSector = (uint64_t(rootCluster) - 2) * SectorsPerCluster + FirstDataSector;
    RootCluster = rootCluster;
  } else {
    // Outside the data area: the root lists nothing, the deleted and lost-data searches still work.
    RootDirSector = 0;
    RootCluster = 0;
  }
}

void TFATdrive::PrepareReading() {
  FATCache.Reset(BytesPerSec);
  FATCache2.Reset(BytesPerSec);
  DataCache.Reset(BytesPerSec);
  StreamCache.Reset(BytesPerSec);
  FATCopy = 1;
  access_ = FATType == FAT12 ? &kFAT12Access : FATType == FAT16 ? &kFAT16Access : &kFAT32Access;
}

void TFATdrive::CheckFATInUse() {
  // Does FAT 1 describe any allocation? A quick format leaves only the reserved entries and,
  // on FAT32, the root directory's end mark; then chains are gone and clusters are read
  // consecutively. A one-cluster file's end mark counts as a chain too.
  bool valid = false;
  const uint64_t last = std::min<uint64_t>(16, uint64_t(ClusterCount) + 1);
  for (uint32_t n = 2; n <= last && !valid; ++n) {
    uint32_t v = GetFAT(n, 0);
    uint8_t cls = ClassifyFATEntry(FATType, v);
    if (cls == EntryLink && v != RootCluster) valid = true;
    if (cls == EntryEnd && n != RootCluster) valid = true;
  }
  if (!valid) {
    Lost |= DriveNoFAT;
    FATCopy = 0;
  }
}

void TFATdrive::CreateSpecialFolders() {
  MakeSpecialFolders([this](bool root) {
    auto d = std::make_unique<TFATDirectory>();
    d->FirstCluster = root ? RootCluster : 0;
    d->StartSector = root ? RootDirSector : 0;
    return d;
  });
  static_cast<TFATDirectory*>(DeletedFolder.get())->DeletedView = true;
}

void TFATdrive::Fetch(TSectorCache& cache, uint64_t sector) {
  if (cache.Valid && cache.Sector == sector) return;
  if (cache.Bytes.size() != BytesPerSec) cache.Reset(BytesPerSec ? BytesPerSec : 512);
  cache.Sector = sector;
  cache.Valid = true;
  cache.ReadFailed = !ReadSectors(sector, 1, true, cache.Bytes.data());
  // Never show bytes of another sector for one that could not be read.
  if (cache.ReadFailed) std::fill(cache.Bytes.begin(), cache.Bytes.end(), 0);
}

uint32_t TFATdrive::GetFAT(uint32_t n, uint32_t copy) {
  if (!IsValidCluster(n) || !access_) {
    if (DebugLevel() >= 3)
      DebugLog(Format("GetFAT error, wrong parameter: N %d (valid range is 2-%d)", {n, uint64_t(ClusterCount) + 1}), 3);
    return 0;
  }
  const uint64_t offset = access_->ByteOffset(n);
  const uint64_t sector = offset / BytesPerSec + uint64_t(copy) * SectorsPerFAT + ReservedSectors;
  const uint32_t r = static_cast<uint32_t>(offset % BytesPerSec);
  Fetch(FATCache, sector);
  uint32_t raw = 0;
  if (r + access_->Width <= BytesPerSec) {
    ByteReader reader(FATCache.Bytes.data(), FATCache.Bytes.size());
    raw = access_->Width == 4 ? reader.U32(r) : reader.U16(r);
  } else {
    // A FAT12 entry whose second byte lies in the next sector.
    uint8_t low = FATCache.Bytes[r];
    Fetch(FATCache2, sector + 1);
    raw = low | (uint32_t(FATCache2.Bytes[0]) << 8);
  }
  return access_->Decode(raw, n);
}

bool TFATdrive::ClaimFolder(bool deletedView, uint32_t cluster, uint64_t owner) {
  if (cluster == 0) return true;  // reads nothing
  if (cluster == RootCluster) return false;
  const auto [it, first] = folderOwners_[deletedView ? 1 : 0].try_emplace(cluster, owner);
  return first || it->second == owner;
}

bool TFATdrive::IsClusterAllocated(uint32_t n) {
  return IsValidCluster(n) && ClassifyFATEntry(FATType, GetFAT(n, FATCopy ? FATCopy - 1u : 0u)) != EntryFree;
}

uint64_t TFATdrive::AllocatedInSpan(uint32_t first, uint64_t size) {
  if (!IsValidCluster(first) || ClusterSize == 0) return 0;
  // Enough for any deleted file's condition; longer spans are judged by their start.
  constexpr uint64_t kMaxSpan = uint64_t(1) << 20;
  const uint64_t need = std::min<uint64_t>((size + ClusterSize - 1) / ClusterSize, kMaxSpan);
  uint64_t taken = 1, crossed = 0;
  for (uint64_t n = uint64_t(first) + 1; taken < need && n <= uint64_t(ClusterCount) + 1; ++n) {
    if (IsClusterAllocated(uint32_t(n)))
      ++crossed;
    else
      ++taken;
  }
  return crossed;
}

const TFATLinks* TFATdrive::LinksInUse() {
  if (FATCopy == 0 || FATCopy > NumberOfFATs) return nullptr;
  if (links_.Copy() != FATCopy && !links_.Build(*this, FATCopy)) return nullptr;
  return &links_;
}

uint32_t TFATdrive::NextClusterInUse(uint32_t n) { return FATCopy ? GetFAT(n, FATCopy - 1u) : n + 1; }

namespace {
// Without a FAT nothing says where a folder ends: it goes on only into a cluster that holds
// records, not into the file or the other folder that follows it.
bool ContinuesFolder(TFATdrive& drive, uint32_t next) {
  std::vector<uint8_t> head(drive.BytesPerSec);
  if (!drive.ReadSectors(drive.ClusterToSector(next), 1, false, head.data())) return false;
  const std::span<const uint8_t> records(head.data(), std::min<size_t>(head.size(), 512));
  uint32_t dot = 0;
  const uint64_t limit = drive.DataBytes();
  return !IsDotDirSector(records, dot) &&
         (IsDirectorySector(records, limit, drive.ClusterCount) || IsDirectoryTail(records, limit, drive.ClusterCount));
}

// Keeps a cursor on its run: once `perCluster` units of its cluster are read it moves on to the
// next one. False where the run ends, and for a cursor on a cluster that is not the volume's.
bool KeepOnRun(TFATdrive& drive, TFATCursor& c, uint32_t perCluster, const char* caller) {
  if (c.Cluster == 0) return true;
  if (!drive.IsValidCluster(c.Cluster)) {
    if (DebugLevel() >= 3)
      DebugLog(Format(std::string(caller) + " error, wrong parameter: cluster %d (valid range is 0-%d)",
                      {c.Cluster, uint64_t(drive.ClusterCount) + 1}),
               3);
    return false;
  }
  if (c.Index < perCluster) return true;
  const uint32_t next = drive.NextClusterInUse(c.Cluster);
  // Free, bad and out-of-range entries end a run as an end mark does.
  if (drive.IsEndOfChain(next) || !drive.IsValidCluster(next)) return false;
  c.Visited.Insert(c.Cluster);
  if (c.Visited.Contains(next)) return false;
  if (drive.FATCopy == 0 && !ContinuesFolder(drive, next)) return false;
  c.Cluster = next;
  c.Index = 0;
  return true;
}
}  // namespace

bool TFATdrive::ReadDataSec(TFATCursor& c, uint8_t* buffer) {
  if (BytesPerSec == 0 || !KeepOnRun(*this, c, SectorsPerCluster, "ReadDataSec")) return false;
  uint64_t target;
  if (c.Cluster != 0) {
    target = ClusterToSector(c.Cluster) + c.Index;
  } else {
    if (c.Index != 0) {
      c.Index = 0;
      ++c.Sector;
    }
    target = c.Sector;
  }
  Fetch(DataCache, target);
  std::memcpy(buffer, DataCache.Bytes.data(), BytesPerSec);
  ++c.Index;
  return true;
}

bool TFATdrive::GetNextRecord(TFATCursor& c, uint8_t* record) {
  if (BytesPerSec == 0 || c.Records >= c.MaxRecords) return false;
  const uint32_t perSector = BytesPerSec / dirent::kSize;
  if (!KeepOnRun(*this, c, ClusterSize / dirent::kSize, "GetNextRecord")) return false;
  uint64_t target;
  if (c.Cluster != 0) {
    target = ClusterToSector(c.Cluster) + (uint64_t(c.Index) * dirent::kSize) / BytesPerSec;
  } else {
    if (c.Index >= perSector) {
      c.Index = 0;
      ++c.Sector;
    }
    target = c.Sector;
  }
  Fetch(DataCache, target);
  std::memcpy(record, DataCache.Bytes.data() + (c.Index % perSector) * dirent::kSize, dirent::kSize);
  ++c.Index;
  ++c.Records;
  return true;
}

bool TFATdrive::TopMayHaveSubfolders(TTreeKind tree) {
  if (!HasSpecialFolders()) return false;
  if (tree == TTreeKind::Root) return Root()->HasChildDirs(false);
  if (tree == TTreeKind::Deleted) return Root()->HasChildDirs(true);
  return TCustomDrive::TopMayHaveSubfolders(tree);
}

namespace {

// Boot-sector bytes as text, each byte one Latin-1 letter, cut at the first zero byte.
std::string BootText(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count && bytes[i] != 0; ++i) {
    if (bytes[i] < 0x80) {
      text += char(bytes[i]);
    } else {
      text += char(0xC0 | (bytes[i] >> 6));
      text += char(0x80 | (bytes[i] & 0x3F));
    }
  }
  return text;
}

}  // namespace

TPreviewFields TFATdrive::Preview() {
  static const char* kTypes[] = {"none", "FAT12", "FAT16", "FAT32"};
  TPreviewFields p;
  p.Known = true;
  p.TotalSectors = TotalSectors;
  p.SectorsPerCluster = BootRecord[0x0D];
  p.Oem = BootText(BootRecord.data() + 3, 8);
  p.Label = BootText(BootRecord.data() + (FATType == FAT32 ? 0x47 : 0x2B), 11);
  p.HasFATType = true;
  p.FATType = FATType <= 3 ? kTypes[FATType] : "";
  if (TFATDirectory* root = Root())
    root->Search(
        [&p](TItem& item) {
          TPreviewFields::TEntry e;
          if (auto* d = dynamic_cast<TFATDirectory*>(&item)) {
            e = {DisplayName(d->Name), true, 0, DosDateTimeText(d->Date, d->Time)};
          } else if (auto* f = dynamic_cast<TFATFile*>(&item)) {
            e = {DisplayName(f->Name), false, f->Size, DosDateTimeText(f->Date, f->Time)};
          } else if (auto* m = dynamic_cast<TMFTFile*>(&item)) {
            e = {DisplayName(m->Name), false, m->Size, ""};
          }
          p.RootEntries.push_back(std::move(e));
          return true;
        },
        false, false, false);
  return p;
}

std::vector<TListColumn> TFATdrive::ListColumns() const { return StandardColumns(LoadText(txt::ColumnCluster)); }

bool TFATdrive::FindLostData(TStatusDialog* status) { return FindFATLostData(*this, status); }

std::vector<std::string> TFATdrive::ReadChoiceItems() const {
  std::vector<std::string> items{LoadText(txt::NoFatConsecutive)};
  for (uint32_t k = 1; k <= NumberOfFATs; ++k) items.push_back("FAT " + std::to_string(k));
  return items;
}

// ---- directory entries ----

bool TFATdrive::ReadLongName(TFATCursor& c, std::string& name, uint8_t* record) {
  TLongName longName;
  if (!longName.Start({record, dirent::kSize})) return false;
  while (longName.Continues({record, dirent::kSize})) {
    longName.Take({record, dirent::kSize});
    if (!GetNextRecord(c, record)) return false;
  }
  name = longName.Name(c.Records - 1);
  return true;
}

bool TFATdrive::GetNextEntry(TFATCursor& c, bool deletedMode, std::string& name, uint8_t* record) {
  for (;;) {
    if (!GetNextRecord(c, record)) return false;
    if (record[0] == 0) return false;
    if (!deletedMode && record[0] == dirent::kDeleted) continue;
    if (record[dirent::kAttributes] == dirent::kAttrLongName && ReadLongName(c, name, record)) {
      // The record after a long name may itself end the directory, or be deleted in the normal view.
      if (record[0] == 0) return false;
      if (!deletedMode && record[0] == dirent::kDeleted) continue;
      if (name.empty()) name = EntryNameOf({record, dirent::kSize});
      return true;
    }
    name = EntryNameOf({record, dirent::kSize});
    return true;
  }
}

bool TFATdrive::IsDirectoryCluster(uint32_t cluster, uint64_t sector) {
  TFATCursor c{cluster, sector, 0};
  uint8_t rec[dirent::kSize];
  auto isDirNamed = [&](const char* want) {
    return GetNextRecord(c, rec) && (rec[dirent::kAttributes] & dirent::kAttrDirectory) &&
           rec[dirent::kAttributes] != dirent::kAttrLongName && ShortNameOf({rec, dirent::kSize}) == want;
  };
  return isDirNamed(".") && isDirNamed("..");
}

// ---- file data ----

bool TFATdrive::OpenFilePos(uint32_t firstCluster, uint64_t size, TFATFilePos& pos) {
  pos = TFATFilePos{};
  pos.FirstCluster = pos.Cluster = firstCluster;
  pos.Size = size;
  return true;
}

uint32_t TFATdrive::NextFileCluster(uint32_t cluster, uint8_t fatChoice) {
  if (!IsValidCluster(cluster)) return 0;
  if (fatChoice > 0) {
    uint32_t next = GetFAT(cluster, fatChoice - 1u);
    return IsValidCluster(next) ? next : 0;
  }
  return cluster <= ClusterCount ? cluster + 1 : 0;
}

uint32_t TFATdrive::StepFileCluster(TFATFilePos& pos, uint8_t fatChoice) {
  // A chain longer than the volume's cluster count loops; the data ends there.
  if (++pos.Steps > ClusterCount) return 0;
  uint32_t next = NextFileCluster(pos.Cluster, fatChoice);
  if (fatChoice == 0 && pos.SkipAllocated)
    while (next != 0 && IsClusterAllocated(next)) {
      ++pos.Skipped;
      if (++pos.Steps > ClusterCount) return 0;
      next = NextFileCluster(next, 0);
    }
  // A chain that comes back to a cluster it holds would repeat the same bytes for ever: it ends
  // there, and the reader says why. Consecutive clusters (no FAT) cannot come back.
  if (fatChoice > 0 && next != 0) {
    pos.Visited.Insert(pos.Cluster);
    if (pos.Visited.Contains(next)) {
      pos.Revisited = next;
      return 0;
    }
  }
  return next;
}

bool TFATdrive::ReadFileData(TFATFilePos& pos, uint64_t count, uint64_t& read, uint8_t fatChoice, uint8_t* buffer) {
  read = 0;
  if (pos.Position >= pos.Size) return pos.Position == pos.Size;
  if (BytesPerSec == 0 || ClusterSize == 0) return false;
  count = std::min(count, pos.Size - pos.Position);
  const uint32_t bps = BytesPerSec;
  const uint32_t cs = ClusterSize;
  auto advance = [&](uint64_t n) {
    pos.Position += n;
    read += n;
    buffer += n;
    count -= n;
  };
  while (count > 0) {
    const uint32_t inCluster = static_cast<uint32_t>(pos.Position % cs);
    const uint32_t k = inCluster / bps;
    const uint32_t o = inCluster % bps;
    // No cluster to read from (the chain ended before the size, or left the volume): delivering
    // anything here would invent bytes, so the data ends with what was read.
    if (!IsValidCluster(pos.Cluster)) return false;
    // The volume's cluster, gone with the end of the device: the data ends here, said so.
    if (!IsOnDevice(pos.Cluster)) {
      pos.PastDevice = pos.Cluster;
      return false;
    }
    if (o == 0 && count >= bps) {
      // Whole sectors: one device read over the rest of this cluster and every directly following one.
      const uint64_t wanted = count / bps;
      const uint64_t start = ClusterToSector(pos.Cluster) + k;
      uint64_t sectors = 0;
      uint32_t kk = k;
      for (;;) {
        const uint64_t take = std::min<uint64_t>(SectorsPerCluster - kk, wanted - sectors);
        sectors += take;
        if (kk + take < SectorsPerCluster) break;
        const uint32_t next = StepFileCluster(pos, fatChoice);
        const bool consecutive = next == pos.Cluster + 1;
        pos.Cluster = next;
        kk = 0;
        if (!consecutive || sectors >= wanted || !IsOnDevice(next)) break;
      }
      const uint64_t bytes = sectors * bps;
      if (!ReadSectors(start, static_cast<uint32_t>(sectors), true, buffer)) {
        // Keep what can be read; the rest becomes zeros.
        for (uint64_t i = 0; i < sectors; ++i)
          if (!ReadSectors(start + i, 1, false, buffer + i * bps)) {
            std::memset(buffer + i * bps, 0, bps);
            ++pos.UnreadableSectors;
          }
      }
      advance(bytes);
      continue;
    }
    const uint64_t sector = ClusterToSector(pos.Cluster) + k;
    const bool fresh = !(StreamCache.Valid && StreamCache.Sector == sector);
    Fetch(StreamCache, sector);
    if (fresh && StreamCache.ReadFailed) ++pos.UnreadableSectors;
    const uint64_t n = std::min<uint64_t>(count, bps - o);
    std::memcpy(buffer, StreamCache.Bytes.data() + o, n);
    advance(n);
    if (pos.Position % cs == 0) pos.Cluster = StepFileCluster(pos, fatChoice);
  }
  return true;
}

bool TFATdrive::SeekFilePos(TFATFilePos& pos, uint64_t position, uint8_t fatChoice) {
  if (pos.FirstCluster == 0 || position >= pos.Size || ClusterSize == 0) return false;
  // The same steps as sequential reading, so that a seek lands where reading would.
  pos.Cluster = pos.FirstCluster;
  pos.Steps = 0;
  pos.Revisited = 0;
  pos.PastDevice = 0;
  pos.Visited.Clear();
  for (uint64_t m = position / ClusterSize; m > 0 && pos.Cluster != 0; --m) pos.Cluster = StepFileCluster(pos, fatChoice);
  pos.Position = position;
  return true;
}

}  // namespace salvex
