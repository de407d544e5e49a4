#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "common/ClusterSet.h"
#include "devices/Model.h"
#include "fat/MFTFile.h"

namespace salvex {

class TFATdrive;
class TStatusDialog;

// A read position over a file's clusters.
struct TFATFilePos {
  uint32_t FirstCluster = 0;
  uint32_t Cluster = 0;   // cluster of the next byte
  uint64_t Position = 0;  // bytes from the start of FirstCluster
  uint64_t Size = 0;      // bytes that may be read
  uint64_t UnreadableSectors = 0;  // sectors delivered as zeros because they could not be read
  uint64_t Steps = 0;              // clusters walked; more than the volume holds means a loop
  TClusterSet Visited;             // clusters walked along a FAT chain
  uint32_t Revisited = 0;          // the cluster the chain came back to, ending the data
  uint32_t PastDevice = 0;         // the cluster past the device's end that ended the data
  // Without a chain: step over clusters the FAT in use allocates (a deleted file's clusters are
  // free; allocated ones in its span are live files' written since), counted in Skipped.
  bool SkipAllocated = false;
  uint64_t Skipped = 0;
};

class TFATFile : public TCustomFile {
 public:
  uint8_t Attributes = 0;
  uint32_t FirstCluster = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;
  // A cluster of the chain that another chain (or this one again) also reaches; 0 when none.
  uint32_t SharedCluster = 0;
  // A deleted file whose consecutive span crosses clusters allocated to live files (they are
  // skipped when it is read): how many of them lie in its span.
  uint64_t CrossedClusters = 0;

  std::unique_ptr<TItem> Clone() const override;
  bool NameHasDeletedMark() const override { return true; }
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;
  TFileMeta Meta() const override;

  TFATdrive* FATDrive() const;
};

// The FAT copy a file's data is read along: the choice given, else none for deleted files (their
// chain is freed) and the volume's copy for the others.
uint8_t FATChoiceFor(const TCustomFile& file, const TReadChoice& choice);

// The path of the folder holding an item (shared by both file classes).
std::string FATParentPath(const TCustomDirectory* parent, const TCustomDirectory* stop);

}  // namespace salvex
