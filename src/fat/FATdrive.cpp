#include "fat/FATdrive.h"

#include <algorithm>
#include <cstring>

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

bool TFATdrive::ReadDeviceSectors(uint64_t deviceSector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device) return false;
  // A volume of unknown size passes a bound before itself, so its reads bypass the block cache.
  uint64_t bound = SectorCount ? FirstSector + SectorCount - 1 : FirstSector;
  return Device->ReadSectors(deviceSector, count, showErrors, bound, buffer);
}

bool TFATdrive::ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device || count == 0) return count == 0;
  const uint32_t devBps = Device->BytesPerSector ? Device->BytesPerSector : 512;
  const uint32_t volBps = BytesPerSec ? BytesPerSec : devBps;
  if (volBps % devBps == 0) {
    // Volume sectors are whole multiples of the device's (a 4096-byte FAT in a 512-byte image).
    const uint64_t ratio = volBps / devBps;
    if (sector > (UINT64_MAX - FirstSector) / ratio || uint64_t(count) * ratio > UINT32_MAX) return false;
    return ReadDeviceSectors(FirstSector + sector * ratio, static_cast<uint32_t>(count * ratio), showErrors, buffer);
  }
  if (devBps % volBps != 0) return false;
  // Smaller volume sectors than the device's: read the covering device sectors and cut.
  if (sector > UINT64_MAX / volBps) return false;
  const uint64_t offset = sector * volBps;
  const uint64_t bytes = uint64_t(count) * volBps;
  const uint64_t first = offset / devBps;
  const uint64_t within = offset % devBps;
  const uint64_t devCount = (within + bytes + devBps - 1) / devBps;
  if (devCount > UINT32_MAX || first > UINT64_MAX - FirstSector) return false;
  std::vector<uint8_t> temp(devCount * devBps);
  if (!ReadDeviceSectors(FirstSector + first, static_cast<uint32_t>(devCount), showErrors, temp.data())) return false;
  std::memcpy(buffer, temp.data() + within, bytes);
  return true;
}

bool TFATdrive::Mount(bool quiet) {
  if (!Device) return false;
  const size_t size = std::max<size_t>(512, Device->BytesPerSector);
  std::vector<uint8_t> boot(size, 0);
  if (!ReadDeviceSectors(BootSector, 1, true, boot.data())) return false;
  DebugHexDump(boot.data(), 512);
  std::memcpy(BootRecord.data(), boot.data(), BootRecord.size());
  if (!ApplyBootSector(BootRecord.data(), quiet)) return false;
  CreateSpecialFolders();
  return true;
}

bool TFATdrive::ApplyBootSector(const uint8_t* bootRecord, bool quiet) {
  ByteReader b(bootRecord, 90);
  auto inform = [quiet](const std::string& text) {
    if (!quiet) Host().MessageBox(text, "Information", TMsgButtons::Ok, TMsgIcon::Information);
  };
  auto refuse = [quiet]() {
    if (!quiet)
      Host().MessageBox("Bad parameters for calculating logical drive information from Boot Sector", "Error",
                        TMsgButtons::Ok, TMsgIcon::Information);
    return false;
  };
  const uint32_t bps = b.U16(0x0B);
  const uint32_t spc = b.U8(0x0D);
  if (bps == 0) {
    inform("bad parameter in boot sector: Bytes Per Sector (" + std::to_string(bps) + ") = 0 !");
    return false;
  }
  if (spc == 0) {
    inform("bad parameter in boot sector: Sectors Per Cluster (" + std::to_string(spc) + ") = 0 !");
    return false;
  }
  // The sizes the lost-drive search's boot-sector test accepts: what it finds must mount.
  if (!IsBootSectorSize(bps)) {
    inform("bad parameter in boot sector: Bytes Per Sector (" + std::to_string(bps) +
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
  const uint32_t rootCluster = b.U32(0x2C);

  const uint32_t rootDirSectors = (rootEntries * 32 + bps - 1) / bps;
  const uint32_t sectorsPerFAT = spf16 ? spf16 : spf32;
  const uint64_t fatSectors = uint64_t(sectorsPerFAT) * fats;
  const uint64_t firstDataSector = fatSectors + reserved + rootDirSectors;
  const uint32_t totalSectors = total16 ? total16 : total32;
  // Metadata that does not fit the volume would make the data area negative.
  if (firstDataSector > totalSectors) return refuse();

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
  ClusterCount = DataSectors / spc;
  FATType = ClusterCount < 4085 ? FAT12 : ClusterCount < 65525 ? FAT16 : FAT32;
  ClusterSize = bps * spc;
  // Clusters up to 64 KiB are read; larger ones exceed what FAT allows.
  if (ClusterSize > 65536) {
    inform("bad parameter in boot sector: cluster size (" + std::to_string(ClusterSize) + ") > 65536 !");
    return false;
  }
  if (FATType == FAT32) {
    if (rootCluster > uint64_t(ClusterCount) + 1)
      inform("bad parameter in boot sector: root directory cluster (" + std::to_string(rootCluster) +
             ") > count of clusters !");
    else if (rootCluster < 2)
      inform("bad parameter in boot sector: root directory cluster (" + std::to_string(rootCluster) + ") < 2 !");
    if (IsValidRootCluster(rootCluster)) {
      RootDirSector = (uint64_t(rootCluster) - 2) * spc + FirstDataSector;
      RootCluster = rootCluster;
    } else {
      // Outside the data area: the root lists nothing, the deleted and lost-data searches still work.
      RootDirSector = 0;
      RootCluster = 0;
    }
  } else {
    RootDirSector = uint64_t(fats) * SectorsPerFAT + reserved;
    RootCluster = 0;
  }
  FATCache.Reset(bps);
  FATCache2.Reset(bps);
  DataCache.Reset(bps);
  StreamCache.Reset(bps);
  FATCopy = 1;
  access_ = FATType == FAT12 ? &kFAT12Access : FATType == FAT16 ? &kFAT16Access : &kFAT32Access;

  std::string label = b.Str(FATType == FAT32 ? 0x47 : 0x2B, 11);
  if (auto zero = label.find('\0'); zero != std::string::npos) label.resize(zero);
  Name = label;

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
  return true;
}

void TFATdrive::CreateSpecialFolders() {
  auto make = [this](int offset, uint32_t cluster, uint64_t sector, bool empty) {
    auto d = std::make_unique<TFATDirectory>();
    d->Name = LoadText(offset);
    d->Drive = this;
    d->FirstCluster = cluster;
    d->StartSector = sector;
    if (empty) d->Children.emplace();
    return d;
  };
  RootFolder = make(739, RootCluster, RootDirSector, false);
  DeletedFolder = make(740, RootCluster, RootDirSector, false);
  static_cast<TFATDirectory*>(DeletedFolder.get())->DeletedView = true;
  LostFolder = make(741, 0, 0, true);
  SearchFolder = make(742, 0, 0, true);
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

uint32_t TFATdrive::NextClusterInUse(uint32_t n) { return FATCopy ? GetFAT(n, FATCopy - 1u) : n + 1; }

bool TFATdrive::ReadDataSec(TFATCursor& c, uint8_t* buffer) {
  if (BytesPerSec == 0) return false;
  if (c.Cluster != 0 && !IsValidCluster(c.Cluster)) {
    if (DebugLevel() >= 3)
      DebugLog(Format("ReadDataSec error, wrong parameter: cluster %d (valid range is 0-%d)",
                      {c.Cluster, uint64_t(ClusterCount) + 1}),
               3);
    return false;
  }
  uint64_t target;
  if (c.Cluster != 0) {
    if (c.Index >= SectorsPerCluster) {
      uint32_t next = NextClusterInUse(c.Cluster);
      // Free, bad and out-of-range entries end a run as an end mark does.
      if (IsEndOfChain(next) || !IsValidCluster(next)) return false;
      c.Cluster = next;
      c.Index = 0;
    }
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
  if (c.Cluster != 0 && !IsValidCluster(c.Cluster)) {
    if (DebugLevel() >= 3)
      DebugLog(Format("GetNextRecord error, wrong parameter: cluster %d (valid range is 0-%d)",
                      {c.Cluster, uint64_t(ClusterCount) + 1}),
               3);
    return false;
  }
  uint64_t target;
  if (c.Cluster != 0) {
    if (c.Index >= ClusterSize / dirent::kSize) {
      uint32_t next = NextClusterInUse(c.Cluster);
      if (IsEndOfChain(next) || !IsValidCluster(next)) return false;
      c.Cluster = next;
      c.Index = 0;
    }
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

TSpecialNodes TFATdrive::ScanDrive(TTreeView& tree, TStatusDialog*) {
  TSpecialNodes nodes;
  if (!HasSpecialFolders()) return nodes;
  for (auto* f : {RootFolder.get(), DeletedFolder.get(), LostFolder.get(), SearchFolder.get()})
    f->SetTreeBuilt(false, true);
  nodes.Root = tree.AddChild(nullptr, LoadText(739), 0, RootFolder.get());
  tree.SetHasChildren(nodes.Root, Root()->HasChildDirs(false));
  nodes.Deleted = tree.AddChild(nullptr, LoadText(740), 2, DeletedFolder.get());
  tree.SetHasChildren(nodes.Deleted, Root()->HasChildDirs(true));
  nodes.Lost = tree.AddChild(nullptr, LoadText(741), 3, LostFolder.get());
  tree.SetHasChildren(nodes.Lost, LostFolder->HasSubdirectories());
  nodes.Search = tree.AddChild(nullptr, LoadText(742), 4, SearchFolder.get());
  tree.SetHasChildren(nodes.Search, SearchFolder->HasSubdirectories());
  return nodes;
}

void TFATdrive::SetupListColumns(TListView& list) {
  list.AddColumn({LoadText(721), 150, false});
  list.AddColumn({LoadText(722), 60, true});
  list.AddColumn({LoadText(723), 100, false});
  list.AddColumn({LoadText(724), 60, true});
  list.AddColumn({LoadText(725), 60, false});
  list.AddColumn({LoadText(728), 100, false});
}

bool TFATdrive::FindLostData(TStatusDialog* status) { return FindFATLostData(*this, status); }

bool TFATdrive::FindFiles() {
  if (!HasSpecialFolders()) return false;
  TFindDialog& dialog = Host().FindDialog();
  if (!dialog.Run()) return false;
  SearchFolder->ClearChildren();
  if (!SearchFolder->Children) SearchFolder->Children.emplace();
  SearchFolder->TreeBuilt = false;
  const std::string mask = dialog.Mask();
  auto* results = static_cast<TFATDirectory*>(SearchFolder.get());

  auto match = [&](TItem& item, bool deletedMode) {
    std::string name, path;
    bool isDeleted = false;
    if (auto* f = dynamic_cast<TCustomFile*>(&item)) {
      name = DisplayName(f->Name);
      path = f->GetPath(nullptr);
    } else if (auto* d = dynamic_cast<TCustomDirectory*>(&item)) {
      name = DisplayName(d->Name);
      path = d->GetPath(nullptr);
      isDeleted = d->Flags & ItemDeleted;
    }
    dialog.SetScanningText(ShortenPath(path, 30));
    bool isDir = dynamic_cast<TCustomDirectory*>(&item) != nullptr;
    bool eligible = !isDir || !deletedMode || isDeleted;
    if (eligible && MatchMask(name, mask)) {
      dialog.AddHit(name);
      std::unique_ptr<TItem> copy = item.Clone();
      if (auto* f = dynamic_cast<TCustomFile*>(copy.get())) f->Parent = results;
      if (auto* d = dynamic_cast<TCustomDirectory*>(copy.get())) d->Parent = results;
      results->Adopt(std::move(copy));
    }
    Host().ProcessMessages();
    return !dialog.Cancelled();
  };
  bool go = DeletedFolder->Search([&](TItem& i) { return match(i, true); }, true);
  if (go) go = LostFolder->Search([&](TItem& i) { return match(i, false); }, true);
  if (go) RootFolder->Search([&](TItem& i) { return match(i, false); }, true);
  dialog.Hide();
  return true;
}

}  // namespace salvex
