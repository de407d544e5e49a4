#include "fat/FATFileData.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fat/FATdrive.h"
#include "filetypes/FileEnd.h"
#include "filetypes/FileTypes.h"

namespace salvex {

TFATFileData::TFATFileData(TFATdrive& drive, uint8_t fatChoice, uint32_t firstCluster, uint32_t baseOffset,
                           uint64_t size)
    : drive_(drive), fatChoice_(fatChoice), base_(baseOffset), size_(std::min(size, drive.DataBytes())), first_(firstCluster) {
  drive_.OpenFilePos(firstCluster, uint64_t(base_) + size_, pos_);
  if (base_ > 0 && !drive_.SeekFilePos(pos_, base_, fatChoice_)) Failure = "the data's first cluster is not valid";
}

size_t TFATFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  uint64_t got = 0;
  const uint64_t before = pos_.UnreadableSectors;
  const bool ok = drive_.ReadFileData(pos_, count, got, fatChoice_, buffer);
  ZeroFilledSectors += pos_.UnreadableSectors - before;
  if (!ok || got == 0) {
    Failure = pos_.Revisited ? "the cluster chain comes back to cluster " + std::to_string(pos_.Revisited) +
                                   ", which the file already holds (a loop); the data ends there"
                             : "the cluster chain could not be followed to the file's size";
    return size_t(got);
  }
  position_ += got;
  if (position_ == size_ && checkEnd_) Failure = FormatEndFailure();
  return size_t(got);
}

// The same cluster steps as reading, on a position of its own.
bool TFATFileData::DeviceRuns(std::vector<TByteRun>& runs) {
  const uint64_t cs = drive_.ClusterSize;
  if (cs == 0 || drive_.BytesPerSec == 0) return false;
  TFATFilePos p;
  drive_.OpenFilePos(first_, uint64_t(base_) + size_, p);
  p.SkipAllocated = pos_.SkipAllocated;
  if (base_ > 0 && !drive_.SeekFilePos(p, base_, fatChoice_)) return true;
  const uint64_t end = uint64_t(base_) + size_;
  for (uint64_t at = base_; at < end && drive_.IsValidCluster(p.Cluster);) {
    const uint64_t within = at % cs;
    const uint64_t n = std::min(cs - within, end - at);
    const uint64_t pos = drive_.DeviceByte(drive_.ClusterToSector(p.Cluster) * drive_.BytesPerSec + within);
    if (!runs.empty() && runs.back().End() == pos)
      runs.back().Size += n;
    else
      runs.push_back({pos, n});
    at += n;
    p.Position = at;
    if (at < end) p.Cluster = drive_.StepFileCluster(p, fatChoice_);
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
  return "its " + type + " structure does not end within its " + std::to_string(size_) +
         " bytes: some of the clusters read are not the file's";
}

}  // namespace salvex
