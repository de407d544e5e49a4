#include "fat/FATDirectory.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "common/Unicode.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Deeper folders are not listed: no real path is this long, and every walk recurses per level.
constexpr size_t kMaxDepth = 256;

uint32_t FirstClusterOf(const ByteReader& r, uint8_t fatType) {
  // FAT12/16 keep other data in the high word (OS/2 extended attributes), so it is used on FAT32 only.
  uint32_t high = fatType == FAT32 ? r.U16(dirent::kClusterHigh) : 0;
  return (high << 16) | r.U16(dirent::kClusterLow);
}

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

// The date in the high half, the time in the low half: full date-and-time order.
uint64_t StampKey(uint16_t date, uint16_t time) { return (uint32_t(date) << 16) | time; }

TSortKey KeysOf(const TItem& item, bool withType) {
  TSortKey k;
  auto file = [&](const auto& f, int condition) {
    k = {f.Name, f.Size, StampKey(f.Date, f.Time), f.FirstCluster, condition, ""};
    if (withType) k.Type = Host().TypeName(DisplayName(f.Name));
  };
  if (auto* f = dynamic_cast<const TFATFile*>(&item))
    file(*f, f->Condition);
  else if (auto* m = dynamic_cast<const TMFTFile*>(&item))
    file(*m, 2);  // listed poor, as its row shows
  else if (auto* d = dynamic_cast<const TFATDirectory*>(&item))
    k = {d->Name, 0, StampKey(d->Date, d->Time), d->FirstCluster, d->Condition, Host().FolderTypeName()};
  return k;
}

}  // namespace

std::string FATConditionText(uint8_t flags, uint8_t condition) {
  if (!(flags & ItemDeleted) && condition != 2) return "";
  return LoadText(condition == 2 ? txt::ConditionPoor : txt::ConditionGood);
}

// ---- TFATDirectory ----

TFATdrive* TFATDirectory::FATDrive() const { return dynamic_cast<TFATdrive*>(Drive); }

std::unique_ptr<TItem> TFATDirectory::Clone() const { return std::make_unique<TFATDirectory>(*this); }

std::string TFATDirectory::GetPath(const TCustomDirectory* stop) const { return FATParentPath(this, stop); }

void TFATDirectory::ReadChildren(bool deletedMode, bool filesDeletedOnly) {
  if (Children) Children->clear();
  Children.emplace();
  // A lost folder keeps its deleted entries as well (after a quick format most deleted files are
  // known only from there): it lists every entry, as undelete would see the folder.
  if (TreeOf(*this) == TTreeKind::Lost) {
    deletedMode = true;
    filesDeletedOnly = false;
  }
  TFATdrive* drive = FATDrive();
  // A folder entry without a first cluster has nothing to read (sector 0 is the boot sector).
  if (!drive || drive->BytesPerSec == 0 || (FirstCluster == 0 && StartSector == 0) || Loop) return;
  TFATCursor c{FirstCluster, StartSector, 0};
  if (FirstCluster == 0 && StartSector == drive->RootDirSector && drive->FATType != FAT32)
    c.MaxRecords = drive->RootDirSectors * (drive->BytesPerSec / dirent::kSize);
  const bool deep = Depth() >= kMaxDepth;
  std::string name;
  uint8_t rec[dirent::kSize];
  while (drive->GetNextEntry(c, deletedMode, name, rec)) {
    ByteReader r(rec, sizeof rec);
    const uint8_t attr = rec[dirent::kAttributes];
    const bool deleted = rec[0] == dirent::kDeleted;
    const uint32_t cluster = FirstClusterOf(r, drive->FATType);
    uint8_t flags = 0, condition = 0;
    if (deleted) {
      flags = ItemDeleted;
      condition = 2;
      // Good chances when nothing has claimed the first cluster since (FAT 1, whatever FAT is in use);
      // an empty file has nothing to lose.
      if ((drive->IsValidCluster(cluster) && ClassifyFATEntry(drive->FATType, drive->GetFAT(cluster, 0)) == EntryFree) ||
          (!(attr & dirent::kAttrDirectory) && r.U32(dirent::kFileSize) == 0))
        condition = 1;
    }
    if ((attr & dirent::kAttrDirectory) && attr != dirent::kAttrLongName) {
      if (IsDots(name) || deep) continue;
      if (deleted && !drive->IsDirectoryCluster(cluster, 0)) continue;
      auto d = std::make_unique<TFATDirectory>();
      d->Loop = (cluster != 0 && ClusterOnPath(cluster)) ||
                !drive->ClaimFolder(deletedMode, cluster, TFATdrive::FolderEntryKey(FirstCluster, c.Records - 1));
      if (d->Loop) {
        condition = 2;
        d->Children.emplace();
      }
      d->Drive = drive;
      d->FirstCluster = cluster;
      d->DeletedView = deletedMode;
      d->Name = name;
      d->Time = r.U16(dirent::kTime);
      d->Date = r.U16(dirent::kDate);
      d->Flags = flags;
      d->Condition = condition;
      d->Parent = this;
      // A file's chain that runs into a folder's first cluster is cross-linked with the folder.
      if (!deleted && !d->Loop && drive->IsValidCluster(cluster)) drive->LiveFileStarts.insert(cluster);
      Adopt(std::move(d));
    } else {
      if (attr & dirent::kAttrVolume) continue;
      if (deletedMode && filesDeletedOnly && !deleted) continue;
      auto f = std::make_unique<TFATFile>();
      f->Drive = drive;
      f->FirstCluster = cluster;
      f->Attributes = attr;
      f->Size = r.U32(dirent::kFileSize);
      f->Time = r.U16(dirent::kTime);
      f->Date = r.U16(dirent::kDate);
      f->Name = name;
      f->Flags = flags;
      f->Condition = condition;
      // Clusters of live files inside a deleted file's span are skipped when it is read; whether
      // its bytes went around them cannot be told, so it is not good.
      if (deleted && condition == 1 && (f->CrossedClusters = drive->AllocatedInSpan(cluster, f->Size)) != 0)
        f->Condition = 2;
      // A size the volume cannot hold is damage, whatever the entry's state.
      if (f->Size > drive->DataBytes()) f->Condition = 2;
      if (f->Size > 0 && !drive->PastDeviceWarning(cluster).empty()) f->Condition = 2;
      f->Parent = this;
      if (!deleted && drive->IsValidCluster(cluster)) drive->LiveFileStarts.insert(cluster);
      Adopt(std::move(f));
    }
  }
  // A chain that meets another file's, or comes back to itself, cannot be both files' bytes.
  if (const TFATLinks* links = drive->LinksInUse())
    for (auto& child : *Children)
      if (auto* f = dynamic_cast<TFATFile*>(child.get()); f && !(f->Flags & ItemDeleted))
        if ((f->SharedCluster = links->SharedCluster(*drive, f->FirstCluster, f->Size, drive->LiveFileStarts)) != 0)
          f->Condition = 2;
}

bool TFATDirectory::HasChildDirs(bool deletedMode) {
  if (Children) return HasSubdirectories();
  TFATdrive* drive = FATDrive();
  if (!drive || drive->BytesPerSec == 0 || (FirstCluster == 0 && StartSector == 0)) return false;
  TFATCursor c{FirstCluster, StartSector, 0};
  if (FirstCluster == 0 && StartSector == drive->RootDirSector && drive->FATType != FAT32)
    c.MaxRecords = drive->RootDirSectors * (drive->BytesPerSec / dirent::kSize);
  std::string name;
  uint8_t rec[dirent::kSize];
  while (drive->GetNextEntry(c, deletedMode, name, rec))
    if ((rec[dirent::kAttributes] & dirent::kAttrDirectory) && rec[dirent::kAttributes] != dirent::kAttrLongName &&
        !IsDots(name))
      return true;
  return false;
}

// Live folders keep their names in the tree; deleted ones show the chosen first character.
std::string TFATDirectory::TreeName() const { return (Flags & ItemDeleted) ? DisplayName(Name) : Name; }

TListRow FATRow(const TItem& object) {
  TListRow row;
  if (auto* d = dynamic_cast<const TFATDirectory*>(&object)) {
    row.Icon = (d->Flags & ItemDeleted) ? TRowIcon::DeletedFolder : TRowIcon::Folder;
    row.Caption = DisplayName(d->Name);
    row.Cells = {"", DosDateTimeText(d->Date, d->Time), std::to_string(d->FirstCluster),
                 FATConditionText(d->Flags, d->Condition), Host().FolderTypeName()};
  } else if (auto* m = dynamic_cast<const TMFTFile*>(&object)) {
    row.Icon = TRowIcon::File;
    row.Caption = DisplayName(m->Name);
    row.Cells = {std::to_string(m->Size), DosDateTimeText(m->Date, m->Time), std::to_string(m->FirstCluster),
                 LoadText(txt::ConditionPoor), Host().TypeName(row.Caption)};
  } else if (auto* f = dynamic_cast<const TFATFile*>(&object)) {
    row.Icon = (f->Flags & ItemDeleted) ? TRowIcon::DeletedFile : TRowIcon::File;
    row.Caption = DisplayName(f->Name);
    row.Cells = {std::to_string(f->Size), DosDateTimeText(f->Date, f->Time), std::to_string(f->FirstCluster),
                 FATConditionText(f->Flags, f->Condition), Host().TypeName(row.Caption)};
  }
  return row;
}

TListRow TFATDirectory::ListRow(const TItem& child) const { return FATRow(child); }

TSortKey TFATDirectory::SortKey(const TItem& child, bool withType) const { return KeysOf(child, withType); }

void TFATDirectory::LoadChildren(bool deletedView) {
  if (!Children) ReadChildren(deletedView || DeletedView, true);
}

TFileMeta TFATDirectory::Meta() const {
  TFileMeta meta;
  if (Loop)
    meta.Warning = TextF(txt::FolderClusterShared, {FirstCluster});
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  meta.Modified = DosToTimespec(Date, Time);
  return meta;
}

bool TFATDirectory::Search(const std::function<bool(TItem&)>& visit, bool recursive) {
  return Search(visit, DeletedView, recursive, DeletedView);
}

}  // namespace salvex
