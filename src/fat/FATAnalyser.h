#pragma once
#include <cstdint>
#include <span>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/LostDrives.h"
#include "fat/BootRecord.h"
#include "fat/FATDirectory.h"
#include "fat/FATSectorTests.h"

namespace salvex {

class TDevice;
class TDriveList;
class TFATdrive;
class TStatusDialog;

// The FAT half of the lost-drive search. From the stream of sectors it infers where a FAT starts
// and ends, its copies and type, where cluster 2 lies, the sectors per cluster and the root
// directory; a volume whose boot sector is gone gets a new boot record ("DRIVE (without
// BootSec)"). Every directory-looking sector goes into a lost directory; at the end the lost
// directories become volumes of their own ("DRIVE (rebuilt)"), each linked under its parent.
class TFATAnalyser : public TLostDriveAnalyser {
 public:
  // Bounds on what one search keeps in memory, whatever the disk holds.
  static constexpr size_t kMaxLostDirectories = 1'000'000;
  static constexpr size_t kMaxLostEntries = 4'000'000;

  TFATAnalyser();
  ~TFATAnalyser() override;

  void Start(TDevice& device, TDriveList& drives) override;
  void AnalyseSector(TDevice& device, uint64_t sector, uint32_t& files, uint32_t& folders, uint32_t& drives,
                     uint32_t bytesPerSector, const uint8_t* window) override;
  void Finish(TStatusDialog* status) override;
  size_t PrescanBytes() const override { return sizeof(TSectorPrescan); }
  void Prescan(uint64_t totalSectors, uint32_t bytesPerSector, const uint8_t* window, uint8_t* out) const override;
  void AnalysePrescanned(TDevice& device, uint64_t sector, uint32_t& files, uint32_t& folders, uint32_t& drives,
                         uint32_t bytesPerSector, const uint8_t* window, const uint8_t* prescan) override;

  // A lost directory with where it was found (kept apart from the object, which is handed on).
  struct TLostDir {
    std::unique_ptr<TFATDirectory> Dir;
    uint64_t StartSector = 0;
    uint32_t Cluster = 0;
  };
  // A volume rebuilt without boot sector, remembered so that lost directories can use its FAT.
  struct TFATDescriptor {
    uint64_t FATStart = 0, FATEnd = 0;
    uint8_t FATCount = 0;
    uint32_t SectorsPerFAT = 0;
    uint8_t FATType = 0;
    uint32_t MaxFATValue = 0;
    uint32_t ClusterCount = 0;
  };

  // Scan state (device-absolute sectors; 0 = not known yet).
  uint64_t LastFATSector = 0;
  uint32_t MaxFATValue = 0;
  uint64_t FATStart = 0;
  uint64_t FATEnd = 0;
  uint8_t FATCount = 0;
  uint32_t SectorsPerFAT = 0;
  uint8_t FATType = 0;
  bool FATSeen = false;
  bool DataReached = false;  // a "." directory was seen: FAT recognition stops
  bool RootSeen = false;
  bool RootHasLabel = false;
  uint16_t SectorsPerCluster = 0;
  uint32_t ClusterCount = 0;
  uint32_t FirstDotCluster = 0;
  uint64_t FirstDotSector = 0;
  uint64_t DataStart = 0;
  uint8_t DirRun = 0;
  uint64_t RootSector = 0;
  uint32_t RootCluster = 0;
  uint16_t RootEntries = 0;
  uint8_t DirRunAtRoot = 0;
  uint32_t RecordIndex = 0;
  uint64_t LastDirSector = 0;
  bool HaveDirSector = false;

  const std::vector<TLostDir>& DotDirs() const { return dotDirs_; }
  const std::vector<TLostDir>& SectorDirs() const { return sectorDirs_; }
  const std::vector<TFATDescriptor>& FATDescriptors() const { return descriptors_; }
  TFATDirectory* CurrentDir() const { return currentDir_; }

 private:
  // How one sector reads as directory data.
  struct TSectorLook {
    bool Dot = false;  // starts with "." and ".." (a folder's first sector)
    bool Dir = false;  // plausible directory records
    uint32_t DotCluster = 0;
  };
  // What a sector's bytes alone say (the FAT test only when asked for).
  struct TSectorPrescan {
    bool Zero = false;
    bool FAT = false;
    TFATSectorGuess Guess;
    TSectorLook Look;
  };
  static void PrescanSector(uint64_t totalSectors, uint32_t bytes, const uint8_t* window, bool fat,
                            TSectorPrescan& p);
  void Analyse(TDevice& device, uint64_t sector, uint32_t& files, uint32_t& folders, uint32_t& drives,
               uint32_t bytes, const uint8_t* window, const TSectorPrescan& p);
  void Reset();
  // AnalyseSector's steps: FAT sectors before the data area, the volume's geometry from root and
  // "." sectors (the cluster size from two of them, the cluster count from the FAT's size), and the
  // directory sectors gathered into lost folders.
  void NoteFATSector(std::span<const uint8_t> sec, uint64_t sector, const TFATSectorGuess& guess);
  void NoteGeometry(std::span<const uint8_t> sec, uint64_t sector, const TSectorLook& look, uint32_t bytes);
  void NoteDotSector(uint64_t sector, uint32_t dotCluster);
  void EstimateClusterCount(uint32_t bytes);
  void CollectDirectorySector(std::span<const uint8_t> window, uint64_t sector, const TSectorLook& look, uint64_t total,
                              uint32_t& files, uint32_t& folders);
  void ParseDirectorySector(const uint8_t* window, uint32_t bytes, uint32_t& files);
  void RebuildWithoutBootSector();
  void BuildDrivesFromDirectories(TStatusDialog* status);
  // A rebuilt volume's FAT that lies before `dataStart` (the nearest one), or nullptr.
  const TFATDescriptor* DescriptorBefore(uint64_t dataStart) const;
  // Whether a FAT volume the drive list reads through its own boot sector has these FATs or this
  // data area (fatStart 0: any FATs).
  bool ReadAlready(uint64_t fatStart, uint64_t dataStart) const;
  // For each "." folder: the first other one that puts cluster 2 at the same sector with a cluster
  // size of 2 to 64 sectors, and that size; SIZE_MAX when there is none.
  std::vector<std::pair<size_t, uint16_t>> PairFolders() const;
  std::unique_ptr<TFATdrive> NewFolderDrive(uint64_t dataStart, uint16_t sectorsPerCluster) const;
  void AttachSectorDirs(const std::map<uint64_t, TFATdrive*>& byDataStart);
  // Moves each top folder of the volume into the folder that lists its cluster.
  static void LinkUnderParents(TFATdrive& drive);

  TDevice* device_ = nullptr;
  TDriveList* drives_ = nullptr;
  uint32_t bytes_ = 512;
  std::vector<uint8_t> firstFATCopy_;
  std::vector<TLostDir> dotDirs_;
  std::vector<TLostDir> sectorDirs_;
  std::vector<TFATDescriptor> descriptors_;
  TFATDirectory* currentDir_ = nullptr;
  size_t entries_ = 0;  // child objects made so far
  bool dirCapLogged_ = false;
  bool entryCapLogged_ = false;
};

std::unique_ptr<TLostDriveAnalyser> NewFATAnalyser();

}  // namespace salvex
