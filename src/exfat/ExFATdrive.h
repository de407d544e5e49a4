#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/ClusterSet.h"
#include "devices/ClusterVolume.h"
#include "exfat/ExFATEntries.h"

namespace salvex {

class TExFATDirectory;

// How a run of clusters is walked: along a FAT copy, or consecutive clusters from the first one,
// optionally passing over those the allocation bitmap gives to other files.
struct TExFATRun {
  uint32_t FirstCluster = 0;
  uint64_t Length = 0;  // bytes
  int FatCopy = 0;      // 0: consecutive clusters; k: FAT copy k
  bool SkipAllocated = false;
};

class TExFATdrive : public TClusterVolume {
 public:
  TExFATdrive();
  ~TExFATdrive() override;

  TExFATBoot Boot;
  uint64_t VolumeSectors = 0;  // the boot sector's length, cut to the device
  uint8_t ActiveFat = 1;      // the FAT copy the volume uses (1 or 2)
  bool UsedBackupBoot = false;
  std::string BootProblem;  // why the main boot region was not used, or why mounting failed
  // The critical entries of the root directory.
  uint32_t BitmapCluster = 0;
  uint64_t BitmapLength = 0;
  uint32_t UpcaseCluster = 0;
  uint64_t UpcaseLength = 0;
  uint32_t UpcaseChecksum = 0;
  bool UpcaseOk = false;  // the table was read and its checksum holds
  std::vector<uint8_t> Bitmap;  // one bit per cluster from cluster 2; empty when it could not be read
  bool BitmapRead = false;

  // TCustomDrive
  bool Mount(bool quiet) override;
  bool FindLostData(TStatusDialog* status) override;
  std::vector<TListColumn> ListColumns() const override;
  bool TopMayHaveSubfolders(TTreeKind tree) override;
  TPreviewFields Preview() override;
  TListOrder ListOrder() const override { return {true, false}; }
  std::vector<std::string> ReadChoiceItems() const override;
  int DefaultReadChoice(bool deletedView) const override { return deletedView ? -1 : ActiveFat; }
  std::string FileSystemName() const override { return "exFAT"; }
  uint64_t VolumeBytes() const override { return VolumeSectors * BytesPerSec; }

  // Takes a validated boot sector's geometry; ClustersOnDevice is cut to the device (a mount note says so).
  void ApplyBoot(const TExFATBoot& boot);
  // Finds the allocation bitmap, up-case table and label among the root's entries and reads the bitmap.
  void ReadCriticalEntries();
  void CreateSpecialFolders();

  uint64_t ClusterToSector(uint32_t n) const {
    return Boot.ClusterHeapOffset + (uint64_t(n - 2) << Boot.SectorsPerClusterShift);
  }
  // Entry n of FAT copy `copy` (1-based); 0 for a cluster outside the heap.
  uint32_t GetFAT(uint32_t n, int copy);
  // Whether the allocation bitmap marks the cluster free; false when the bitmap is unknown.
  bool IsClusterFree(uint32_t n) const;
  // Whether `count` clusters from `first` along FAT copy `copy` form a chain that ends there,
  // without repeats, on clusters the bitmap calls free (a deleted file's chain left intact).
  bool FreeChainIntact(uint32_t first, uint64_t count, int copy);
  // Reads a run's clusters into memory, at most `maxBytes`; stops early at a chain's end and, with
  // `untilEnd`, after the first cluster that holds an end-of-directory entry.
  std::vector<uint8_t> ReadRun(const TExFATRun& run, uint64_t maxBytes, bool untilEnd);
  // The run a file's or folder's data is read along. `choice`: -1 decides (live data along the
  // active FAT; deleted data along its chain when FreeChainIntact, else the free clusters from its
  // first one), 0 reads consecutive clusters, k follows FAT copy k. A NoFatChain item is always
  // consecutive.
  TExFATRun DataRun(uint32_t first, uint64_t length, bool noFatChain, bool deleted, int choice);
  // The cluster after n in a run; 0 when the run has none or `steps` exceeds the cluster count.
  uint32_t NextInRun(const TExFATRun& run, uint32_t n, uint64_t& steps);
  // The most data any file can have: the whole cluster heap.
  uint64_t HeapBytes() const { return DataBytes(); }

  TExFATDirectory* Root() const;
  TExFATDirectory* DeletedRoot() const;

  // The first cluster of a live file's data that another live file's data holds too, or 0. The
  // whole live tree is walked once, before the first answer, so that both files of a cross-link
  // are told, in whatever folders and order they are listed.
  uint32_t SharesClusters(uint32_t first, uint64_t length, bool noFatChain);

  // Whether the folder entry `owner` (its folder's first cluster and entry-set ordinal) may enter
  // the folder at `cluster` in the live or the deleted view: the first entry to reach a cluster
  // owns it, the root owns its own; another entry reaching it is a loop or shared folder clusters.
  bool ClaimFolder(bool deletedView, uint32_t cluster, uint64_t owner) {
    if (cluster == 0) return true;
    if (cluster == Boot.RootCluster) return false;
    const auto [it, first] = folderOwners_[deletedView ? 1 : 0].try_emplace(cluster, owner);
    return first || it->second == owner;
  }

 private:
  std::unordered_map<uint32_t, uint64_t> folderOwners_[2];  // live view, deleted view
  TClusterSet sharedClusters_;  // clusters two or more live files hold
  bool sharedKnown_ = false;
  void FindSharedClusters();
  // Adds a live file's clusters to `held`, and to sharedClusters_ the first one `held` had already.
  void HoldLiveData(TClusterSet& held, uint32_t first, uint64_t length, bool noFatChain);
  // Calls visit(cluster) for each cluster of a live file's data until it returns false.
  template <class Visit>
  void WalkLiveData(uint32_t first, uint64_t length, bool noFatChain, Visit visit);
  bool ReadBootRegion(uint64_t sector, uint32_t bytesPerSector, std::vector<uint8_t>& region);
  std::vector<uint8_t> fatCache_;
  uint64_t fatCacheSector_ = 0;
  bool fatCacheValid_ = false;
};

// The factory for the drive list.
std::unique_ptr<TCustomDrive> NewExFATDrive();

}  // namespace salvex
