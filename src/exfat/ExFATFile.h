#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ClusterSet.h"
#include "devices/Model.h"
#include "exfat/ExFATEntries.h"
#include "exfat/ExFATdrive.h"

namespace salvex {

class TExFATdrive;

class TExFATFile : public TCustomFile {
 public:
  uint32_t FirstCluster = 0;
  uint64_t ValidDataLength = 0;  // as stored; bytes past it read as zeros
  bool NoFatChain = false;
  bool ChecksumOk = true;
  uint16_t Attributes = 0;
  TExFATTime Modified;
  // A cluster of its data that another live file's data holds too (cross-linked); 0 when none.
  uint32_t SharedCluster = 0;
  // Clusters of a deleted or lost file's own that other files hold now (ExFATTakenClusters).
  uint64_t TakenClusters = 0;

  std::unique_ptr<TItem> Clone() const override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  TFileMeta Meta() const override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;

  TExFATdrive* ExFATDrive() const;
};

// A file's bytes along a run of clusters, zeros past the valid data length.
class TExFATFileData : public TDataStream {
 public:
  TExFATFileData(TExFATdrive& drive, const TExFATRun& run, uint64_t size, uint64_t validLength);
  uint64_t Size() const override { return size_; }
  size_t Read(uint8_t* buffer, size_t count) override;
  // Consecutive clusters (no FAT chain) up to the valid length, when the volume lies in a plain
  // image file.
  bool PlainExtent(TPlainExtent& extent) override;
  void Skip(uint64_t count) override;
  bool Seek(uint64_t position) override;
  bool ByteRuns(std::vector<TByteRun>& runs) override;

 private:
  // Moves to the next cluster of the run; false when the run has none.
  bool Step();
  TExFATdrive& drive_;
  uint64_t size_;
  uint64_t valid_;
  TExFATRun run_;
  uint32_t cluster_;
  uint64_t position_ = 0;
  uint64_t index_ = 0;   // the cluster's place in the file
  uint64_t walked_ = 0;  // clusters stepped over, skipped ones included
  TClusterSet visited_;   // clusters of a FAT chain read so far
  uint32_t revisited_ = 0;
  std::vector<uint8_t> sector_;
};

}  // namespace salvex
