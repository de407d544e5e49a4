#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "ntfs/MFTRecord.h"

namespace salvex {

class TNTFSdrive;
class TNTFSDirectory;
class TStatusDialog;
struct TNTFSAttribute;

// Builds a volume's Deleted tree from the records the $MFT bitmap marks free, rebuilding each
// entry's former path from its parent records, and judges whether a deleted file's data is still
// there (the volume bitmap).
class TNTFSDeletedTree {
 public:
  explicit TNTFSDeletedTree(TNTFSdrive& drive) : drive_(drive) {}

  // The walk over the records the $MFT bitmap marks free.
  void FindDeleted(TStatusDialog* status);
  // Forgets a walk cut short.
  void Clear() { nodes_.clear(); }
  // The volume bitmap ($Bitmap's data, bit n for cluster n), loaded once; null when it cannot be read.
  const std::vector<uint8_t>* VolumeBitmap() { return LoadVolumeBitmap() ? &*volumeBitmap_ : nullptr; }
  // 0 not judged, 1 good (every cluster is free), 2 poor (in use again, or unreachable); `reused`
  // gets the number of clusters in use again.
  uint8_t DataCondition(const TNTFSAttribute* data, uint64_t* reused = nullptr);
  // The folder of the Deleted tree that stands for record p (pre-order, the last one met).
  TNTFSDirectory* FindDirectoryNode(TNTFSDirectory* top, uint64_t p);
  // The rebuilt former parent of an entry whose $FILE_NAME is `name`.
  TNTFSDirectory* RebuildParent(const ntfs::TFileNameView& name);

 private:
  bool LoadVolumeBitmap();
  TNTFSDirectory* RebuildParentFrom(const ntfs::TFileNameView& name, std::vector<uint64_t>& path);
  TNTFSDirectory* DeletedNode(uint64_t number);
  void FileDeletedRecord(uint64_t number, std::span<const uint8_t> record);

  TNTFSdrive& drive_;
  // Folders of the Deleted tree by record number while the deleted walk builds it (the last one
  // added for a number wins, as in a pre-order search of the tree).
  std::unordered_map<uint64_t, TNTFSDirectory*> nodes_;
  // The volume bitmap ($Bitmap's data), loaded once for the condition of deleted entries.
  std::optional<std::vector<uint8_t>> volumeBitmap_;
  bool volumeBitmapTried_ = false;
};

}  // namespace salvex
