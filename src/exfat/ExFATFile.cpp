#include "exfat/ExFATFile.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/GapStream.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

TExFATdrive* TExFATFile::ExFATDrive() const { return dynamic_cast<TExFATdrive*>(Drive); }

std::unique_ptr<TItem> TExFATFile::Clone() const { return std::make_unique<TExFATFile>(*this); }

std::string TExFATFile::GetPath(const TCustomDirectory* stop) const {
  if (!Parent || Parent == stop) return "";
  return Parent->GetPath(stop);
}

std::unique_ptr<TDataStream> TExFATFile::OpenData(const TReadChoice& choice) {
  TExFATdrive* drive = ExFATDrive();
  if (!drive) return nullptr;
  const TExFATRun run =
      drive->DataRun(FirstCluster, Size + GapBytes, NoFatChain, Flags & (ItemDeleted | ItemLost), choice.FATCopy);
  return WithGap(std::make_unique<TExFATFileData>(*drive, run,
                                                  ExFATReadableBytes(*drive, Size + GapBytes, ValidDataLength + GapBytes),
                                                  ValidDataLength + GapBytes),
                 *this);
}

TFileMeta TExFATFile::Meta() const {
  TFileMeta meta;
  meta.Modified = ExFATTimeToTimespec(Modified);
  meta.ReadOnly = Attributes & exentry::kAttrReadOnly;
  meta.Attributes = Attributes;
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  if (auto* drive = ExFATDrive()) meta.Warning = ExFATDamage(*drive, Size, ValidDataLength, FirstCluster);
  if (meta.Warning.empty() && SharedCluster != 0) meta.Warning = TextF(txt::DataCrossLinked, {SharedCluster});
  // The bytes read from those clusters are another file's.
  if (TakenClusters != 0)
    meta.Damage = NoFatChain ? TextF(txt::ClustersTakenByOthers, {TakenClusters})
                             : TextF(txt::FirstClusterTaken, {FirstCluster});
  return meta;
}

// ---- TExFATFileData ----

TExFATFileData::TExFATFileData(TExFATdrive& drive, const TExFATRun& run, uint64_t size, uint64_t validLength)
    : drive_(drive),
      size_(std::min(size, drive.HeapBytes())),
      valid_(std::min(validLength, size_)),
      run_(run),
      cluster_(run.FirstCluster) {
  // Zeros past the valid length are the file's only when its clusters exist.
  if (size_ > 0 && !drive_.IsValidCluster(cluster_)) Failure = LoadText(txt::FirstClusterOutsideHeap);
}

bool TExFATFileData::Step() {
  // A chain longer than the volume's clusters loops.
  const uint32_t next = drive_.NextInRun(run_, cluster_, walked_);
  if (next == 0) return false;
  // A FAT chain that comes back to a cluster of the file would repeat it for ever: it ends there.
  if (run_.FatCopy) {
    visited_.Insert(cluster_);
    if (visited_.Contains(next)) {
      revisited_ = next;
      return false;
    }
  }
  ++index_;
  cluster_ = next;
  return true;
}

bool TExFATFileData::PlainExtent(TPlainExtent& extent) {
  if (position_ >= valid_ || !Failure.empty() || run_.FatCopy != 0 || run_.SkipAllocated || !drive_.Device) return false;
  const uint32_t cs = drive_.ClusterSize;
  const uint32_t devBps = drive_.Device->BytesPerSector ? drive_.Device->BytesPerSector : 512;
  if (cs == 0 || drive_.BytesPerSec == 0 || drive_.BytesPerSec % devBps != 0) return false;
  // Reading moves to a cluster when it first needs a byte of it.
  const uint64_t cluster = uint64_t(cluster_) + (position_ / cs - index_);
  // Clusters past the device's end go through Read, which counts them as unreadable.
  if (cluster > UINT32_MAX || !drive_.IsOnDevice(uint32_t(cluster))) return false;
  const int fd = drive_.Device->PlainFile();
  if (fd < 0) return false;
  const uint64_t inCluster = position_ % cs;
  const uint64_t heapLeft = (uint64_t(drive_.ClustersOnDevice) + 2 - cluster) * cs - inCluster;
  extent = {fd, drive_.FirstSector * devBps + drive_.ClusterToSector(uint32_t(cluster)) * drive_.BytesPerSec + inCluster,
            std::min(valid_ - position_, heapLeft)};
  return true;
}

void TExFATFileData::Skip(uint64_t count) {
  count = std::min(count, valid_ > position_ ? valid_ - position_ : 0);
  if (count == 0 || run_.FatCopy != 0 || run_.SkipAllocated) return;
  position_ += count;
  // As reading leaves it: at the cluster of the last byte delivered.
  const uint64_t last = (position_ - 1) / drive_.ClusterSize;
  cluster_ += uint32_t(last - index_);
  walked_ += last - index_;
  index_ = last;
}

bool TExFATFileData::Seek(uint64_t position) {
  if (position > size_ || !Failure.empty()) return false;
  const uint32_t cs = drive_.ClusterSize;
  if (cs == 0) return false;
  // Past the valid length every byte is a zero; before it, the cluster holding the position is
  // found by the same steps as reading takes (in the FAT, not in the data).
  if (position < valid_) {
    const uint64_t target = position / cs;
    if (target < index_) {
      cluster_ = run_.FirstCluster;
      index_ = 0;
      walked_ = 0;
      visited_.Clear();
      revisited_ = 0;
    }
    while (index_ < target)
      if (!Step()) return false;
  }
  position_ = position;
  return true;
}

bool TExFATFileData::ByteRuns(std::vector<TByteRun>& runs) {
  const uint64_t cs = drive_.ClusterSize;
  if (!Failure.empty() || cs == 0) return false;
  uint32_t cluster = run_.FirstCluster;
  uint64_t steps = 0;
  TClusterSet seen;
  // The same steps as reading takes; past the valid length nothing is stored.
  for (uint64_t offset = 0; offset < valid_; offset += cs) {
    AddByteRun(runs, offset, drive_.ClusterToSector(cluster) * drive_.BytesPerSec, std::min(cs, valid_ - offset));
    if (offset + cs >= valid_) break;
    if (run_.FatCopy) seen.Insert(cluster);
    const uint32_t next = drive_.NextInRun(run_, cluster, steps);
    if (next == 0 || (run_.FatCopy && seen.Contains(next))) return false;
    cluster = next;
  }
  return true;
}

size_t TExFATFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  const uint32_t bps = drive_.BytesPerSec;
  const uint32_t cs = drive_.ClusterSize;
  size_t done = 0;
  while (done < count) {
    if (position_ >= valid_) {
      // Never written: the file system defines these bytes as zeros.
      const size_t n = count - done;
      std::memset(buffer + done, 0, n);
      position_ += n;
      done += n;
      break;
    }
    if (position_ > 0 && position_ % cs == 0 && position_ / cs > index_ && !Step()) {
      Failure = revisited_ ? TextF(txt::ClusterChainLoop, {revisited_})
                           : LoadText(run_.FatCopy ? txt::ClusterChainEndsEarly : txt::ClustersPastHeap);
      break;
    }
    if (!drive_.IsOnDevice(cluster_)) {
      Failure = TClusterVolume::PastDeviceFailure(cluster_);
      break;
    }
    const uint32_t inCluster = uint32_t(position_ % cs);
    const uint64_t sector = drive_.ClusterToSector(cluster_) + inCluster / bps;
    const uint32_t within = inCluster % bps;
    const uint64_t limit = std::min<uint64_t>(count - done, valid_ - position_);
    if (within == 0 && limit >= bps) {
      // Whole sectors to the end of this cluster, or of the request; consecutive clusters in one read.
      uint64_t sectors = std::min<uint64_t>((cs - inCluster) / bps, limit / bps);
      uint64_t crossed = 0;
      if (run_.FatCopy == 0 && !run_.SkipAllocated) {
        const uint64_t clustersLeft = uint64_t(drive_.ClustersOnDevice) + 1 - cluster_;
        const uint64_t heapBytes = clustersLeft * cs + (cs - inCluster);
        sectors = std::min<uint64_t>(limit, std::min<uint64_t>(heapBytes, uint64_t(1) << 30)) / bps;
        crossed = (inCluster + sectors * bps - 1) / cs;
      }
      uint8_t* out = buffer + done;
      if (!drive_.ReadSectors(sector, uint32_t(sectors), true, out)) {
        for (uint64_t i = 0; i < sectors; ++i)
          if (!drive_.ReadSectors(sector + i, 1, false, out + i * bps)) {
            std::memset(out + i * bps, 0, bps);
            ++ZeroFilledSectors;
          }
      }
      position_ += sectors * bps;
      done += size_t(sectors * bps);
      cluster_ += uint32_t(crossed);
      index_ += crossed;
      walked_ += crossed;
      continue;
    }
    sector_.resize(bps);
    if (!drive_.ReadSectors(sector, 1, true, sector_.data())) {
      std::fill(sector_.begin(), sector_.end(), 0);
      ++ZeroFilledSectors;
    }
    const size_t n = size_t(std::min<uint64_t>(limit, bps - within));
    std::memcpy(buffer + done, sector_.data() + within, n);
    position_ += n;
    done += n;
  }
  return done;
}

std::optional<TClusterField> TExFATFile::ClusterField() const { return TClusterField{true, FirstCluster}; }

void TExFATFile::SetClusterField(uint32_t cluster) { FirstCluster = cluster; }

}  // namespace salvex
