#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/Model.h"
#include "exfat/ExFATEntries.h"

namespace salvex {

class TExFATdrive;

// Folders deeper than this list their files but no subfolders: a bound on crafted nesting.
constexpr size_t kMaxExFATDepth = 256;

// An exFAT folder. As on FAT the same entries give two views: the normal one lists live entry
// sets; the deleted one lists every folder (live ones, and deleted ones whose first cluster still
// holds directory entries) and, with files-deleted-only, only the deleted files.
class TExFATDirectory : public TCustomDirectory {
 public:
  uint32_t FirstCluster = 0;
  uint64_t DataLength = 0;
  bool IsRoot = false;     // the root has no length: its FAT chain ends it
  bool NoFatChain = false;
  bool ChecksumOk = true;
  uint16_t Attributes = 0;
  TExFATTime Modified;
  // The folder's cluster is another folder entry's (a loop back to an ancestor, or folders that
  // share a cluster): it is listed, marked poor, and its entries only where they were first reached.
  bool Loop = false;

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  void AssignTo(TItem& target) const override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  bool Rename(const std::string& newName) override;
  void LoadListing(bool deletedMode) override;
  bool MayHaveSubfolders(bool deletedMode) override { return HasChildDirs(deletedMode); }
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;

  // Reads Children from the disk (replacing what was there).
  void ReadChildren(bool deletedMode, bool filesDeletedOnly);
  bool HasChildDirs(bool deletedMode);
  using TSearchCallback = std::function<bool(TItem&)>;
  bool Search(const TSearchCallback& callback, bool deletedMode, bool recursive, bool filesDeletedOnly);
  // In the view of the tree the folder belongs to (the Deleted tree: deleted files and all folders).
  bool Search(const std::function<bool(TItem&)>& visit, bool recursive) override;

  TExFATdrive* ExFATDrive() const;
  // The entry sets of this folder, in order; deleted ones only in deleted mode.
  std::vector<TExFATEntrySet> ReadEntrySets(bool deletedMode);

 private:
  bool ClusterOnPath(uint32_t cluster) const;
  size_t Depth() const;
};

// What is wrong with an item's stored size, valid length or first cluster against its volume,
// as a warning; empty when nothing is.
std::string ExFATDamage(const TExFATdrive& drive, uint64_t length, uint64_t valid, uint32_t first);
// How many of an item's bytes are read: its stored size, or, when the volume cannot hold that,
// its valid length within the cluster heap.
uint64_t ExFATReadableBytes(const TExFATdrive& drive, uint64_t length, uint64_t valid);
// How many clusters known to be a deleted or lost item's own the allocation bitmap gives to files
// now: every one of a contiguous item's; of a freed chain that cannot be followed only the first is
// known (the clusters in use that reading its free ones steps over were files it was written around).
uint64_t ExFATTakenClusters(TExFATdrive& drive, const TExFATEntrySet& set);
// 2 (poor) for any item whose set checksum is wrong or that has ExFATDamage; otherwise 0 for a live
// item, and for a deleted or lost one 1 (good) when none of its clusters is `taken`, 2 otherwise.
uint8_t ExFATCondition(TExFATdrive& drive, const TExFATEntrySet& set, bool freed, uint64_t taken);
// The file-list row of an exFAT folder or file.
TListRow ExFATRow(const TItem& object);

}  // namespace salvex
