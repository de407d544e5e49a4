#include "fat/FATFileData.h"

#include <algorithm>
#include <string>

#include "fat/FATdrive.h"

namespace salvex {

TFATFileData::TFATFileData(TFATdrive& drive, uint8_t fatChoice, uint32_t firstCluster, uint32_t baseOffset,
                           uint64_t size)
    : drive_(drive), fatChoice_(fatChoice), base_(baseOffset), size_(std::min(size, drive.DataBytes())) {
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
  return size_t(got);
}

}  // namespace salvex
