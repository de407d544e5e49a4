#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/ClusterVolume.h"
#include "exfat/ExFATEntries.h"

namespace salvex {

class TExFATdrive;

// Folders deeper than this list their files but no subfolders: a bound on crafted nesting.
constexpr size_t kMaxExFATDepth = 256;

// An exFAT folder. As on FAT the same entries give two views: the normal one lists live entry
// sets; the deleted one lists every folder (live ones, and deleted ones whose first cluster still
// holds directory entries) and, with files-deleted-only, only the deleted files.
class TExFATDirectory : public TClusterFolder {
 public:
  uint64_t DataLength = 0;
  bool IsRoot = false;     // the root has no length: its FAT chain ends it
  bool NoFatChain = false;
  bool ChecksumOk = true;
  uint16_t Attributes = 0;
  TExFATTime Modified;

  std::unique_ptr<TItem> Clone() const override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;

  void ReadChildren(bool deletedMode, bool filesDeletedOnly) override;
  bool HasChildDirs(bool deletedMode) override;
  // Search in the view of the tree the folder belongs to (the Deleted tree: deleted files and all folders).
  bool Search(const std::function<bool(TItem&)>& visit, bool recursive) override;
  using TClusterFolder::Search;

  TExFATdrive* ExFATDrive() const;
  // The entry sets of this folder, in order; deleted ones only in deleted mode.
  std::vector<TExFATEntrySet> ReadEntrySets(bool deletedMode);
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
