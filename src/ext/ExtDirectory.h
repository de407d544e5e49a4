#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/Model.h"
#include "ext/Extdrive.h"

namespace salvex {

// An ext folder. The normal view lists the live entries; the deleted view lists every live
// subfolder (for the paths) and the deleted entries still standing in the gaps of the folder's
// blocks or in the journal's older copies of them, each checked against its inode.
class TExtDirectory : public TCustomDirectory {
 public:
  TExtNode Node;
  bool IsRoot = false;

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  void AssignTo(TItem& target) const override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  bool Rename(const std::string& newName) override;
  void LoadListing(bool deletedMode) override;
  // Telling would read the folder: every folder offers to open.
  bool MayHaveSubfolders(bool) override { return true; }
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;
  // An ext item's data is found through its inode, not from a first cluster.
  std::optional<TClusterField> ClusterField() const override { return TClusterField{false, 0}; }
  TItemHistory History() const override;
  bool Search(const std::function<bool(TItem&)>& visit, bool recursive) override;

  void ReadChildren(bool deletedView);
  TExtdrive* ExtDrive() const;
  // Whether this folder is in the Deleted tree's view.
  bool DeletedView() const;

 private:
  bool InodeOnPath(uint32_t ino) const;
  size_t Depth() const;
};

// Fills in what a deleted item needs: its inode's data (from the journal when the inode's map
// was cleared) and its condition with the reason. False when the entry must not be listed (the
// inode is live again, or of another kind than the entry says).
bool PrepareDeletedNode(TExtdrive& drive, TExtNode& node, uint8_t entryType, uint8_t& condition);
// The entry's file type against the inode's mode (entry type 0: the volume stores no types).
bool ExtEntryTypeMatches(uint8_t entryType, uint16_t mode);
// The file-list row of an ext folder or file.
TListRow ExtRow(const TItem& object);
// The saved file's times and the listing's location of a node.
TFileMeta ExtMeta(const TExtNode& node);
// Damage found in the inode and the journal transaction it was rebuilt from.
TItemHistory ExtHistory(const TExtNode& node);

}  // namespace salvex
