#include "fat/FATFileData.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "fat/FATdrive.h"
#include "filetypes/FileEnd.h"
#include "filetypes/FileTypes.h"
#include "salvex/StringIds.h"

namespace salvex {

TFATFileData::TFATFileData(TFATdrive& drive, uint8_t fatChoice, uint32_t firstCluster, uint32_t baseOffset,
                           uint64_t size)
    : drive_(drive), fatChoice_(fatChoice), base_(baseOffset), size_(std::min(size, drive.DataBytes())), first_(firstCluster) {
  drive_.OpenFilePos(firstCluster, uint64_t(base_) + size_, pos_);
  if (base_ > 0 && !drive_.SeekFilePos(pos_, base_, fatChoice_)) Failure = LoadText(txt::FirstClusterInvalid);
}

size_t TFATFileData::Read(uint8_t* buffer, size_t count) {
  plainLength_ = 0;
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  uint64_t got = 0;
  const uint64_t before = pos_.UnreadableSectors;
  const bool ok = drive_.ReadFileData(pos_, count, got, fatChoice_, buffer);
  ZeroFilledSectors += pos_.UnreadableSectors - before;
  if (!ok || got == 0) {
    Failure = pos_.Revisited     ? TextF(txt::ClusterChainLoop, {pos_.Revisited})
              : pos_.PastDevice  ? TClusterVolume::PastDeviceFailure(pos_.PastDevice)
                                 : LoadText(txt::ClusterChainShort);
    return size_t(got);
  }
  position_ += got;
  if (position_ == size_ && checkEnd_) Failure = FormatEndFailure();
  return size_t(got);
}

bool TFATFileData::PlainExtent(TPlainExtent& extent) {
  plainLength_ = 0;
  // The format's end check reads the file through Read; it gets no plain extents.
  if (position_ >= size_ || !Failure.empty() || checkEnd_ || !drive_.Device) return false;
  const uint32_t cs = drive_.ClusterSize;
  const uint32_t devBps = drive_.Device->BytesPerSector ? drive_.Device->BytesPerSector : 512;
  if (cs == 0 || drive_.BytesPerSec == 0 || drive_.BytesPerSec % devBps != 0) return false;
  // Clusters past the device's end go through Read, which counts them as unreadable.
  if (!drive_.IsOnDevice(pos_.Cluster)) return false;
  const int fd = drive_.Device->PlainFile();
  if (fd < 0) return false;
  // The run of consecutive clusters from here, walked as reading would walk it.
  TFATFilePos probe = pos_;
  const uint32_t first = probe.Cluster;
  const uint64_t within = probe.Position % cs;
  const uint64_t want = size_ - position_;
  uint64_t length = cs - within;
  for (uint32_t c = first; length < want;) {
    const uint32_t next = drive_.StepFileCluster(probe, fatChoice_);
    probe.Cluster = next;
    if (next != c + 1 || !drive_.IsOnDevice(next)) break;
    c = next;
    length += cs;
  }
  length = std::min(length, want);
  probe.Position += length;
  extent = {fd, drive_.FirstSector * devBps + drive_.ClusterToSector(first) * drive_.BytesPerSec + within, length};
  plainLength_ = length;
  plainPos_ = std::move(probe);
  return true;
}

void TFATFileData::Skip(uint64_t count) {
  if (count == 0) return;
  count = std::min(count, size_ - position_);
  if (plainLength_ != 0 && count == plainLength_) {
    pos_ = std::move(plainPos_);
  } else if (position_ + count < size_ && !drive_.SeekFilePos(pos_, base_ + position_ + count, fatChoice_)) {
    Failure = LoadText(txt::ClusterChainShort);
  }
  plainLength_ = 0;
  position_ += count;
}

bool TFATFileData::Seek(uint64_t position) {
  plainLength_ = 0;
  if (position > size_ || !Failure.empty()) return false;
  if (position == position_) return true;
  // The end needs no cluster; anywhere else the chain is walked in the FAT, not in the data.
  if (position < size_ && !drive_.SeekFilePos(pos_, base_ + position, fatChoice_)) return false;
  if (position < size_ && pos_.Cluster == 0) return false;
  position_ = position;
  return true;
}

bool TFATFileData::ByteRuns(std::vector<TByteRun>& runs) {
  // Data inside a lost MFT record's cluster is resident data, not a run of clusters.
  if (base_ != 0 || first_ < 2 || drive_.ClusterSize == 0 || !Failure.empty()) return false;
  const uint64_t cs = drive_.ClusterSize;
  TFATFilePos pos;
  drive_.OpenFilePos(first_, size_, pos);
  pos.SkipAllocated = pos_.SkipAllocated;
  pos.Cluster = first_;
  // The same steps as reading takes, so that the runs are the clusters read.
  for (uint64_t offset = 0; offset < size_; offset += cs) {
    if (pos.Cluster == 0) return false;
    AddByteRun(runs, offset, drive_.ClusterToSector(pos.Cluster) * drive_.BytesPerSec, std::min(cs, size_ - offset));
    if (offset + cs < size_) pos.Cluster = drive_.StepFileCluster(pos, fatChoice_);
  }
  return true;
}

namespace {
// The file's own bytes again, from a second read position: the end finders read forwards.
class TFileBytes : public TByteSource {
 public:
  TFileBytes(TFATdrive& drive, uint8_t fat, uint32_t first, uint64_t size) : drive_(drive), fat_(fat), first_(first), size_(size) {}
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) override {
    if (offset >= size_) return 0;
    if (!data_ || offset < at_) Open();
    std::vector<uint8_t> skip(4096);
    while (at_ < offset) {
      const size_t n = data_->Read(skip.data(), size_t(std::min<uint64_t>(skip.size(), offset - at_)));
      if (n == 0) return 0;
      at_ += n;
    }
    size_t done = 0;
    while (done < count) {
      const size_t n = data_->Read(out + done, count - done);
      if (n == 0) break;
      done += n;
    }
    at_ += done;
    return done;
  }

 private:
  void Open() {
    data_ = std::make_unique<TFATFileData>(drive_, fat_, first_, 0, size_);
    data_->SkipAllocated();
    at_ = 0;
  }
  TFATdrive& drive_;
  uint8_t fat_;
  uint32_t first_;
  uint64_t size_;
  std::unique_ptr<TFATFileData> data_;
  uint64_t at_ = 0;
};
}  // namespace

std::string TFATFileData::FormatEndFailure() {
  if (base_ != 0 || size_ == 0 || !pos_.SkipAllocated) return "";
  TFileBytes bytes(drive_, fatChoice_, first_, size_);
  std::vector<uint8_t> head(std::min<uint64_t>(drive_.ClusterSize, size_));
  if (bytes.ReadAt(0, head.data(), head.size()) != head.size()) return "";
  std::string type;
  uint8_t kind = 0;
  if (!IdentifyFileType(head, type, kind)) return "";
  // Only a file the finder can read to its end is judged.
  const uint64_t cap = MaxFileEndSearch(type);
  if (cap == 0 || size_ > cap) return "";
  if (FindFileEnd(type, bytes)) return "";
  return TextF(txt::FormatEndNotFound, {type, size_});
}

}  // namespace salvex
