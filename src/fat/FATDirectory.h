#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/ClusterVolume.h"

namespace salvex {

class TFATdrive;

// A FAT folder. The same records give two views: the normal one skips deleted entries; the
// deleted one lists every folder (live ones, and deleted ones whose cluster still starts with
// "." and "..") and, with files-deleted-only, only the deleted files.
class TFATDirectory : public TClusterFolder {
 public:
  uint64_t StartSector = 0;  // where a folder without a first cluster is read (the FAT12/16 root)
  uint16_t Time = 0;
  uint16_t Date = 0;
  // Read in the deleted view (the Deleted root and what was read below it): every folder, and only
  // the deleted files.
  bool DeletedView = false;

  std::unique_ptr<TItem> Clone() const override;
  bool NameHasDeletedMark() const override { return true; }
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::string TreeName() const override;
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;

  void ReadChildren(bool deletedMode, bool filesDeletedOnly) override;
  bool HasChildDirs(bool deletedMode) override;
  // Search in this folder's own view (DeletedView: deleted mode, deleted files only).
  bool Search(const std::function<bool(TItem&)>& visit, bool recursive) override;
  using TClusterFolder::Search;

  TFATdrive* FATDrive() const;
};

// Row texts shared by the list and the command line.
std::string FATConditionText(uint8_t flags, uint8_t condition);
// The file-list row of a FAT folder, file or lost MFT file: icon, caption and the five columns' texts.
TListRow FATRow(const TItem& object);

}  // namespace salvex
