#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/Model.h"

namespace salvex {

// Reads `count` sectors of `volumeBps` bytes from volume sector `sector` of a volume whose sector 0
// is device sector `firstSector`. Volume sectors that are whole multiples of the device's are read
// straight; smaller ones through the covering device sectors. False where the request would
// overflow, or the two sector sizes do not divide. `bound` is the device read's read-ahead bound.
bool ReadVolumeSectors(TDevice& device, uint64_t firstSector, uint32_t volumeBps, uint64_t sector, uint32_t count,
                       bool showErrors, uint64_t bound, uint8_t* buffer);

// A volume whose data area is numbered in clusters from 2 (FAT, exFAT): the sector size, the
// cluster size and count, and the translation of its sectors to the device's.
class TClusterVolume : public TCustomDrive {
 public:
  uint32_t BytesPerSec = 0;
  uint32_t ClusterSize = 0;   // bytes; 32 bits so that 64 KiB (FAT) and 32 MiB (exFAT) clusters fit
  uint32_t ClusterCount = 0;  // valid clusters are 2 .. ClusterCount + 1, as the boot sector sizes them
  // Clusters 2 .. ClustersOnDevice + 1 lie on the device. A volume cut short keeps its clusters
  // past the end (their reads fail), but scans and searches over the volume stop at the device.
  uint32_t ClustersOnDevice = 0;

  // Sectors past the device's end are refused without asking the device, counted as a failed read
  // and given as zeros; the part on the device is still read. False when any sector was not read.
  bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) override;
  uint32_t BytesPerSector() const override { return BytesPerSec; }
  uint32_t AllocationUnit() const override { return ClusterSize; }

  bool IsValidCluster(uint64_t n) const { return n >= 2 && n <= uint64_t(ClusterCount) + 1; }
  bool IsOnDevice(uint64_t n) const { return n >= 2 && n <= uint64_t(ClustersOnDevice) + 1; }
  // Why data from cluster `first` cannot be read although the cluster is the volume's; "" when it can.
  std::string PastDeviceWarning(uint64_t first) const;
  // Why a file's data ends at cluster n, a cluster of the volume that the device no longer holds.
  static std::string PastDeviceFailure(uint64_t n);
  // Bytes the clusters can hold: no file on the volume can be larger.
  uint64_t DataBytes() const { return uint64_t(ClusterCount) * ClusterSize; }
  uint64_t ClustersFor(uint64_t bytes) const { return ClusterSize ? (bytes + ClusterSize - 1) / ClusterSize : 0; }

 protected:
  // Device-absolute read, with the volume's read-ahead bound.
  bool ReadDeviceSectors(uint64_t deviceSector, uint32_t count, bool showErrors, uint8_t* buffer);
};

// A folder of such a volume, read from FirstCluster in the normal view (live entries) or the
// deleted one (every folder, and with files-deleted-only only the deleted files).
class TClusterFolder : public TCustomDirectory {
 public:
  uint32_t FirstCluster = 0;
  // The folder's cluster is another folder entry's (a loop back to an ancestor, or folders that
  // share a cluster): it is listed, marked poor, and its entries only where they were first reached.
  bool Loop = false;

  void LoadListing(bool deletedMode) override;
  bool MayHaveSubfolders(bool deletedMode) override { return HasChildDirs(deletedMode); }
  // Reads Children from the disk (replacing what was there).
  virtual void ReadChildren(bool deletedMode, bool filesDeletedOnly) = 0;
  // Whether a tree node for this folder needs an expander, without building children.
  virtual bool HasChildDirs(bool deletedMode) = 0;
  // Calls `callback` for each child in order, descending into folders when recursive; stops when
  // the callback answers false and then answers false. Children read for the walk are released.
  using TSearchCallback = std::function<bool(TItem&)>;
  bool Search(const TSearchCallback& callback, bool deletedMode, bool recursive, bool filesDeletedOnly);
  using TCustomDirectory::Search;
  std::optional<TClusterField> ClusterField() const override { return TClusterField{true, FirstCluster}; }
  // Reads the folder from `cluster` from now on (with its entry's length and chaining); a cluster
  // outside the volume, or this folder's or an ancestor's (it would contain itself), leaves it as it was.
  void SetClusterField(uint32_t cluster) override;

 protected:
  // Whether `cluster` is this folder's or an ancestor's: such an entry would make the tree loop.
  bool ClusterOnPath(uint32_t cluster) const;

 private:
  // Children read from an earlier first cluster: a folder tree may still point at them, so they
  // live as long as the folder does.
  std::vector<std::shared_ptr<TChildren>> replaced_;
};

}  // namespace salvex
