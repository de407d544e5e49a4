#include "exfat/ExFATDirectory.h"

#include <algorithm>
#include <stdexcept>

#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/StringTable.h"
#include "common/Unicode.h"
#include "devices/DataStream.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Deeper folders are not listed: no real path is this long, and every walk recurses per level.
constexpr uint64_t kMaxDirectoryBytes = uint64_t(256) << 20;
// Checking more clusters of a deleted file than this adds nothing to its condition but time.
constexpr uint64_t kMaxConditionClusters = uint64_t(1) << 20;

const char* kFolderTypeName = "File folder";

uint64_t StampKey(const TExFATTime& t) { return (uint64_t(t.Stamp) << 8) | t.TenMs; }

TSortKey KeysOf(const TItem& item, bool withType) {
  TSortKey k;
  if (auto* f = dynamic_cast<const TExFATFile*>(&item)) {
    k = {f->Name, f->Size, StampKey(f->Modified), f->FirstCluster, f->Condition, ""};
    if (withType) k.Type = Host().TypeName(f->Name);
  } else if (auto* d = dynamic_cast<const TExFATDirectory*>(&item)) {
    k = {d->Name, 0, StampKey(d->Modified), d->FirstCluster, d->Condition, kFolderTypeName};
  }
  return k;
}

std::string ConditionText(uint8_t flags, uint8_t condition) {
  if (!(flags & ItemDeleted) && condition != 2) return "";
  return LoadText(condition == 2 ? txt::ConditionPoor : txt::ConditionGood);
}

}  // namespace

std::string ExFATDamage(const TExFATdrive& drive, uint64_t length, uint64_t valid, uint32_t first) {
  if (length > drive.HeapBytes()) return OversizeWarning(length, ExFATReadableBytes(drive, length, valid));
  if (valid > length)
    return TextF(txt::ValidLengthBeyondSize, {valid, length});
  if (length > 0 && !drive.IsValidCluster(first))
    return TextF(txt::FirstClusterOutsideHeapAt, {first});
  if (length > 0) return drive.PastDeviceWarning(first);
  return "";
}

uint64_t ExFATReadableBytes(const TExFATdrive& drive, uint64_t length, uint64_t valid) {
  if (length <= drive.HeapBytes()) return length;
  // The stored size is damage; bytes past the valid length would be zeros the volume never held.
  return std::min(valid, drive.HeapBytes());
}

uint64_t ExFATTakenClusters(TExFATdrive& drive, const TExFATEntrySet& set) {
  const uint32_t first = set.FirstCluster;
  if (set.DataLength == 0 || !drive.BitmapRead || !drive.IsOnDevice(first)) return 0;
  const TExFATRun run = drive.DataRun(first, set.DataLength, set.NoFatChain(), true, -1);
  // A freed chain that is still whole and free was checked cluster by cluster.
  if (run.FatCopy) return 0;
  if (run.SkipAllocated) return drive.IsClusterFree(first) ? 0 : 1;
  // The bitmap says nothing of clusters past the device's end.
  uint64_t taken = 0;
  const uint64_t count = std::min(drive.ClustersFor(set.DataLength), kMaxConditionClusters);
  for (uint64_t n = first; n < uint64_t(first) + count && drive.IsOnDevice(n); ++n)
    taken += !drive.IsClusterFree(uint32_t(n));
  return taken;
}

uint8_t ExFATCondition(TExFATdrive& drive, const TExFATEntrySet& set, bool freed, uint64_t taken) {
  if (!set.ChecksumOk || !ExFATDamage(drive, set.DataLength, set.ValidDataLength, set.FirstCluster).empty()) return 2;
  if (!freed) return 0;
  if (set.DataLength == 0) return 1;
  if (!drive.BitmapRead) return 2;
  return taken == 0 ? 1 : 2;
}

TExFATdrive* TExFATDirectory::ExFATDrive() const { return dynamic_cast<TExFATdrive*>(Drive); }

std::unique_ptr<TItem> TExFATDirectory::Clone() const { return std::make_unique<TExFATDirectory>(*this); }

std::string TExFATDirectory::GetPath(const TCustomDirectory* stop) const {
  if (this == stop) return "";
  std::string path = Name;
  for (const TCustomDirectory* p = Parent; p && p != stop; p = p->Parent) path = p->Name + "\\" + path;
  return path;
}

std::vector<TExFATEntrySet> TExFATDirectory::ReadEntrySets(bool deletedMode) {
  std::vector<TExFATEntrySet> sets;
  TExFATdrive* drive = ExFATDrive();
  if (!drive || drive->ClusterSize == 0 || !drive->IsValidCluster(FirstCluster)) return sets;
  TExFATRun run;
  if (IsRoot)
    run = {FirstCluster, kMaxDirectoryBytes, drive->ActiveFat};
  else
    run = drive->DataRun(FirstCluster, DataLength, NoFatChain, Flags & (ItemDeleted | ItemLost), -1);
  const std::vector<uint8_t> bytes = drive->ReadRun(run, kMaxDirectoryBytes, true);
  for (size_t off = 0; off + exentry::kSize <= bytes.size();) {
    const uint8_t type = bytes[off];
    if (type == exentry::kEndOfDirectory) break;
    if ((type & 0x7F) == (exentry::kFile & 0x7F)) {
      if (auto set = ParseExFATEntrySet(bytes, off)) {
        if (set->NameLossy) set->Name += "~" + std::to_string(off / exentry::kSize);
        if (!set->ChecksumOk)
          DebugLog("exFAT: entry set checksum wrong for \"" + set->Name + "\" in cluster " +
                       std::to_string(FirstCluster) + " at entry " + std::to_string(off / exentry::kSize),
                   1);
        const size_t length = set->Entries * exentry::kSize;
        if (!set->Deleted || deletedMode) sets.push_back(std::move(*set));
        off += length;
        continue;
      }
      if (type == exentry::kFile)
        DebugLog("exFAT: damaged entry set in cluster " + std::to_string(FirstCluster) + " at entry " +
                     std::to_string(off / exentry::kSize),
                 1);
    }
    off += exentry::kSize;
  }
  return sets;
}

void TExFATDirectory::ReadChildren(bool deletedMode, bool filesDeletedOnly) {
  if (Children) Children->clear();
  Children.emplace();
  TExFATdrive* drive = ExFATDrive();
  if (!drive || Loop) return;
  const bool deep = Depth() >= kMaxExFATDepth;
  uint32_t ordinal = 0;
  for (const TExFATEntrySet& set : ReadEntrySets(deletedMode)) {
    ++ordinal;
    // Below a lost folder everything is lost: its clusters are free, as a deleted file's are.
    const uint8_t flags = (set.Deleted ? ItemDeleted : 0) | (Flags & ItemLost);
    const uint64_t taken = flags != 0 ? ExFATTakenClusters(*drive, set) : 0;
    const uint8_t condition = ExFATCondition(*drive, set, flags != 0, taken);
    // What folders and files take alike from their entry set.
    auto fill = [&](auto& item) {
      item.Drive = drive;
      item.Name = set.Name;
      item.FirstCluster = set.FirstCluster;
      item.NoFatChain = set.NoFatChain();
      item.ChecksumOk = set.ChecksumOk;
      item.Attributes = set.Attributes;
      item.Modified = set.Modified;
      item.Flags = flags;
      item.Condition = condition;
      item.Parent = this;
    };
    if (set.Directory()) {
      if (deep) continue;
      if (set.Deleted) {
        // A freed folder is listed only while its first cluster still starts with entries.
        std::vector<uint8_t> head = drive->ReadRun({set.FirstCluster, exentry::kSize, 0}, exentry::kSize, false);
        if (head.size() < exentry::kSize) continue;
        const uint8_t t = head[0];
        if (t != exentry::kFile && t != (exentry::kFile & 0x7F) && t != exentry::kEndOfDirectory) continue;
      }
      auto d = std::make_unique<TExFATDirectory>();
      fill(*d);
      d->DataLength = set.DataLength;
      d->Loop = (set.FirstCluster != 0 && ClusterOnPath(set.FirstCluster)) ||
                !drive->ClaimFolder(deletedMode, set.FirstCluster, (uint64_t(FirstCluster) << 32) | ordinal);
      if (d->Loop) {
        d->Condition = 2;
        d->Children.emplace();
      }
      Adopt(std::move(d));
    } else {
      if (deletedMode && filesDeletedOnly && !set.Deleted) continue;
      auto f = std::make_unique<TExFATFile>();
      fill(*f);
      f->Size = set.DataLength;
      f->ValidDataLength = set.ValidDataLength;
      f->TakenClusters = taken;
      // Two live files whose data share a cluster cannot both be right.
      if (!deletedMode && flags == 0 && f->Size > 0 &&
          (f->SharedCluster = drive->SharesClusters(f->FirstCluster, f->Size, f->NoFatChain)) != 0)
        f->Condition = 2;
      Adopt(std::move(f));
    }
  }
}

bool TExFATDirectory::HasChildDirs(bool deletedMode) {
  if (Children) return HasSubdirectories();
  if (Depth() >= kMaxExFATDepth) return false;
  for (const TExFATEntrySet& set : ReadEntrySets(deletedMode))
    if (set.Directory() && !ClusterOnPath(set.FirstCluster)) return true;
  return false;
}

TListRow ExFATRow(const TItem& object) {
  TListRow row;
  if (auto* d = dynamic_cast<const TExFATDirectory*>(&object)) {
    row.Icon = (d->Flags & ItemDeleted) ? TRowIcon::DeletedFolder : TRowIcon::Folder;
    row.Caption = d->Name;
    row.Cells = {"", DosDateTimeText(d->Modified.Date(), d->Modified.Time()), std::to_string(d->FirstCluster),
                 ConditionText(d->Flags, d->Condition), kFolderTypeName};
  } else if (auto* f = dynamic_cast<const TExFATFile*>(&object)) {
    row.Icon = (f->Flags & ItemDeleted) ? TRowIcon::DeletedFile : TRowIcon::File;
    row.Caption = f->Name;
    row.Cells = {std::to_string(f->Size), DosDateTimeText(f->Modified.Date(), f->Modified.Time()),
                 std::to_string(f->FirstCluster), ConditionText(f->Flags, f->Condition), Host().TypeName(row.Caption)};
  }
  return row;
}

TListRow TExFATDirectory::ListRow(const TItem& child) const { return ExFATRow(child); }

TSortKey TExFATDirectory::SortKey(const TItem& child, bool withType) const { return KeysOf(child, withType); }

void TExFATDirectory::LoadChildren(bool deletedView) {
  if (!Children) ReadChildren(deletedView, true);
}

TFileMeta TExFATDirectory::Meta() const {
  TFileMeta meta;
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  meta.Attributes = Attributes;
  meta.Modified = ExFATTimeToTimespec(Modified);
  if (Loop)
    meta.Warning = TextF(txt::FolderClusterShared, {FirstCluster});
  return meta;
}

bool TExFATDirectory::Search(const std::function<bool(TItem&)>& visit, bool recursive) {
  const bool deleted = TreeOf(*this) == TTreeKind::Deleted || (Flags & ItemDeleted);
  return Search(visit, deleted, recursive, deleted);
}

}  // namespace salvex
