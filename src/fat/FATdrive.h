#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/ClusterSet.h"
#include "devices/ClusterVolume.h"
#include "fat/FATEntries.h"
#include "fat/FATLinks.h"

namespace salvex {

class ByteReader;

class TFATDirectory;
class TFATFile;
struct TFATFilePos;

// Where a run of directory records or data sectors is read. Cluster != 0: the run starting at
// that cluster, following the FAT in use; cluster 0: consecutive sectors from Sector (the
// FAT12/16 root directory). Index counts what was already read from the current cluster or sector.
struct TFATCursor {
  uint32_t Cluster = 0;
  uint64_t Sector = 0;
  uint32_t Index = 0;
  uint32_t Records = 0;  // records delivered so far
  // A directory holds at most 65536 records (the FAT12/16 root fewer): a longer run is a loop.
  uint32_t MaxRecords = 65536;
  TClusterSet Visited{};  // clusters of the run read so far: a run that comes back to one ends
};

// How FAT entries of one variant are located and decoded, chosen once at mount.
struct TFATEntryAccess {
  uint64_t (*ByteOffset)(uint32_t n);
  uint32_t Width;  // bytes read at the offset
  uint32_t (*Decode)(uint32_t raw, uint32_t n);
};

// One sector held in memory; `Valid` instead of a reserved sector number, so sector 0 can be cached.
struct TSectorCache {
  std::vector<uint8_t> Bytes;
  uint64_t Sector = 0;
  bool Valid = false;
  bool ReadFailed = false;
  void Reset(size_t size) {
    Bytes.assign(size, 0);
    Valid = false;
    ReadFailed = false;
  }
};

class TFATdrive : public TClusterVolume {
 public:
  TFATdrive();
  ~TFATdrive() override;

  // FAT used to follow chains: 0 = none (consecutive clusters), k = FAT copy k.
  uint8_t FATCopy = 1;
  bool SkipBadClusters = false;
  std::array<uint8_t, 90> BootRecord{};
  uint8_t FATType = FATUnknown;
  uint32_t SectorsPerCluster = 0;
  uint32_t ReservedSectors = 0;
  uint32_t NumberOfFATs = 0;
  uint32_t RootEntries = 0;
  uint32_t TotalSectors = 0;
  uint32_t RootCluster = 0;
  uint32_t RootDirSectors = 0;
  uint64_t RootDirSector = 0;
  uint32_t SectorsPerFAT = 0;
  uint64_t FATSectors = 0;
  uint64_t FirstDataSector = 0;
  uint32_t DataSectors = 0;

  // TCustomDrive
  bool Mount(bool quiet) override;
  bool FindLostData(TStatusDialog* status) override;
  std::vector<TListColumn> ListColumns() const override;
  bool TopMayHaveSubfolders(TTreeKind tree) override;
  TPreviewFields Preview() override;
  std::vector<std::string> ReadChoiceItems() const override;
  int DefaultReadChoice(bool deletedView) const override { return deletedView ? 0 : FATCopy; }
  std::optional<uint32_t> ChoosableFATs() const override { return NumberOfFATs; }
  int FATChoice() const override { return FATCopy; }
  void SetFATChoice(int choice) override { FATCopy = uint8_t(choice); }
  void SetSkipBadClusters(bool skip) override { SkipBadClusters = skip; }
  std::string FileSystemName() const override;
  uint64_t VolumeBytes() const override { return uint64_t(TotalSectors) * BytesPerSec; }

  // Derives the geometry from a 90-byte boot record; quiet suppresses the messages.
  bool ApplyBootSector(const uint8_t* bootRecord, bool quiet);
  void CreateSpecialFolders();

  uint64_t ClusterToSector(uint32_t n) const { return uint64_t(n - 2) * SectorsPerCluster + FirstDataSector; }
  // Entry n of FAT copy `copy` (0-based); 0 and a debug line for an out-of-range n.
  uint32_t GetFAT(uint32_t n, uint32_t copy);
  bool IsEndOfChain(uint32_t value) const { return IsEndOfChainValue(FATType, value); }
  // The cluster after n in the FAT in use (FATCopy), or n + 1 without a FAT.
  uint32_t NextClusterInUse(uint32_t n);

  // The next data sector of a run (bytes-per-sector bytes into buffer).
  bool ReadDataSec(TFATCursor& cursor, uint8_t* buffer);
  // The next raw 32-byte directory record of a run.
  bool GetNextRecord(TFATCursor& cursor, uint8_t* record);
  // The next directory entry with its (long) name; deleted entries only in deleted mode.
  bool GetNextEntry(TFATCursor& cursor, bool deletedMode, std::string& name, uint8_t* record);
  // Collects a long-name run starting with `record`; on success `record` holds the record after it.
  bool ReadLongName(TFATCursor& cursor, std::string& name, uint8_t* record);
  // Whether the cluster (or, with cluster 0, the sector) starts with the "." and ".." records.
  // Whether a FAT32 root cluster lies in the data area (2 to ClusterCount + 1).
  bool IsValidRootCluster(uint32_t cluster) const;
  bool IsDirectoryCluster(uint32_t cluster, uint64_t sector);

  // File data (FATFile.cpp). FAT choice: 0 = consecutive clusters, k = FAT copy k.
  bool OpenFilePos(uint32_t firstCluster, uint64_t size, TFATFilePos& pos);
  bool ReadFileData(TFATFilePos& pos, uint64_t count, uint64_t& read, uint8_t fatChoice, uint8_t* buffer);
  bool SeekFilePos(TFATFilePos& pos, uint64_t position, uint8_t fatChoice);
  void CloseFilePos(TFATFilePos&) {}
  // The cluster that follows `cluster` when reading file data with the given FAT choice; 0 where
  // the data cannot go on: an end mark, a free, bad or out-of-range entry, or (without a FAT) the
  // volume's last cluster. A file longer than its chain therefore ends early instead of repeating.
  uint32_t NextFileCluster(uint32_t cluster, uint8_t fatChoice);
  // NextFileCluster from a read position, counting the step; 0 once the walk exceeds ClusterCount
  // or comes back to a cluster of the position's walk (Revisited names it).
  uint32_t StepFileCluster(TFATFilePos& pos, uint8_t fatChoice);

  // Whether the folder entry `owner` (its folder's first cluster and record index, see
  // FolderEntryKey) may enter the folder at `cluster` in the live or the deleted view: the first
  // entry to reach a cluster owns it, the root owns its own, and any other entry reaching it is a
  // loop or a cross-link whose folder is listed once, where it was first reached.
  bool ClaimFolder(bool deletedView, uint32_t cluster, uint64_t owner);
  static uint64_t FolderEntryKey(uint32_t folderCluster, uint32_t record) {
    return (uint64_t(folderCluster) << 32) | record;
  }

  // Whether the FAT in use (FAT 1 without one) allocates cluster n.
  bool IsClusterAllocated(uint32_t n);
  // How many allocated clusters a deleted file of `size` bytes from `first` steps over when its
  // free clusters are read from the first on.
  uint64_t AllocatedInSpan(uint32_t first, uint64_t size);

  // The link counts of the FAT in use, counted on first use; null without a FAT in use or when
  // the volume is too large to count.
  const TFATLinks* LinksInUse();
  // First clusters of the live files and folders listed so far, for SharedCluster.
  TClusterBits LiveFileStarts;

  TFATDirectory* Root() const;
  TFATDirectory* DeletedRoot() const;

  // Caches, sized by the volume's sector size at mount.
  TSectorCache FATCache;
  TSectorCache FATCache2;  // the following sector, for FAT12 entries that span two sectors
  TSectorCache DataCache;
  TSectorCache StreamCache;

 private:
  // ApplyBootSector's steps: sizes and layout (false when refused), where the root folder lies,
  // the caches and FAT access, and whether FAT 1 still describes any allocation.
  bool ApplyGeometry(const ByteReader& boot, bool quiet);
  void ApplyRootDirectory(uint32_t rootCluster, bool quiet);
  // A boot-sector field that is wrong: "`field` `value` `why`", with the desktop program's `message`.
  void Inform(bool quiet, bool stopped, const std::string& field, uint64_t value, const std::string& why,
              const std::string& message);
  void PrepareReading();
  void CheckFATInUse();
  // Fills a cache with a sector; an unreadable sector reads as zeros.
  void Fetch(TSectorCache& cache, uint64_t sector);
  const TFATEntryAccess* access_ = nullptr;
  TFATLinks links_;
  std::unordered_map<uint32_t, uint64_t> folderOwners_[2];  // live view, deleted view
};

// The factory for the drive list.
std::unique_ptr<TCustomDrive> NewFATDrive();

}  // namespace salvex
