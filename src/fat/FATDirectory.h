#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/Model.h"

namespace salvex {

class TFATdrive;

// A FAT folder. The same records give two views: the normal one skips deleted entries; the
// deleted one lists every folder (live ones, and deleted ones whose cluster still starts with
// "." and "..") and, with files-deleted-only, only the deleted files.
class TFATDirectory : public TCustomDirectory {
 public:
  uint32_t FirstCluster = 0;  // 0: a run of sectors from StartSector (the FAT12/16 root)
  uint64_t StartSector = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;
  // Read in the deleted view (the Deleted root and what was read below it): every folder, and only
  // the deleted files.
  bool DeletedView = false;
  // The folder's cluster is another folder entry's (a loop back to an ancestor, or folders that
  // share a cluster): it is listed, marked poor, and its entries only where they were first reached.
  bool Loop = false;

  std::unique_ptr<TItem> Clone() const override;
  bool NameHasDeletedMark() const override { return true; }
  void Assign(const TItem& source) override;
  void AssignTo(TItem& target) const override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  bool Rename(const std::string& newName) override;
  void LoadListing(bool deletedMode) override;
  bool MayHaveSubfolders(bool deletedMode) override { return HasChildDirs(deletedMode); }
  std::string TreeName() const override;
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;

  // Reads Children from the disk (replacing what was there).
  void ReadChildren(bool deletedMode, bool filesDeletedOnly);
  // Whether a tree node for this folder needs an expander, without building children.
  bool HasChildDirs(bool deletedMode);
  // Calls `callback` for each child in order, descending into folders when recursive; stops when
  // the callback answers false and then answers false. Children read for the walk are released.
  using TSearchCallback = std::function<bool(TItem&)>;
  bool Search(const TSearchCallback& callback, bool deletedMode, bool recursive, bool filesDeletedOnly);
  // The same in this folder's own view (DeletedView: deleted mode, deleted files only).
  bool Search(const std::function<bool(TItem&)>& visit, bool recursive) override;

  TFATdrive* FATDrive() const;

 private:
  // Whether `cluster` is this folder's or an ancestor's: such an entry would make the tree loop.
  bool ClusterOnPath(uint32_t cluster) const;
  size_t Depth() const;
};

// Row texts shared by the list and the command line.
std::string FATConditionText(uint8_t flags, uint8_t condition);
// The file-list row of a FAT folder, file or lost MFT file: icon, caption and the five columns' texts.
TListRow FATRow(const TItem& object);

}  // namespace salvex
