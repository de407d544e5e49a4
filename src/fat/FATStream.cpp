#include "fat/FATStream.h"

#include "devices/DataStream.h"
#include "fat/FATdrive.h"

namespace salvex {

TFATStream::TFATStream(TFATdrive& drive, uint8_t fatChoice, uint32_t baseOffset, uint64_t size, uint32_t firstCluster)
    : drive_(drive), fatChoice_(fatChoice), base_(baseOffset), size_(size) {
  drive_.OpenFilePos(firstCluster, uint64_t(base_) + size_, pos_);
  drive_.SeekFilePos(pos_, base_, fatChoice_);
}

TFATStream::~TFATStream() { drive_.CloseFilePos(pos_); }

size_t TFATStream::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_) return 0;
  uint64_t got = 0;
  if (!drive_.ReadFileData(pos_, count, got, fatChoice_, buffer)) return 0;
  position_ += got;
  return static_cast<size_t>(got);
}

uint64_t TFATStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t from = origin == TSeekOrigin::Begin ? 0 : origin == TSeekOrigin::Current ? int64_t(position_) : int64_t(size_);
  int64_t target = from + offset;
  if (target < 0) target = 0;
  position_ = static_cast<uint64_t>(target);
  if (position_ < size_) {
    // Without a first cluster nothing can be walked; the position still moves (reads give zeros).
    if (!drive_.SeekFilePos(pos_, base_ + position_, fatChoice_)) {
      pos_.Cluster = pos_.FirstCluster;
      pos_.Position = base_ + position_;
    }
  } else {
    pos_.Position = pos_.Size;
  }
  return position_;
}

std::unique_ptr<TDataStream> FATViewStream(TFATdrive& drive, uint8_t fatChoice, uint32_t baseOffset, uint64_t size,
                                           uint32_t firstCluster) {
  struct TView : TDataStream {
    TFATStream stream;
    TView(TFATdrive& d, uint8_t fat, uint32_t base, uint64_t n, uint32_t first) : stream(d, fat, base, n, first) {}
    uint64_t Size() const override { return stream.Size(); }
    size_t Read(uint8_t* buffer, size_t count) override { return stream.Read(buffer, count); }
    bool Seek(uint64_t position) override {
      stream.Seek(int64_t(position), TSeekOrigin::Begin);
      return true;
    }
  };
  return std::make_unique<TView>(drive, fatChoice, baseOffset, size, firstCluster);
}

}  // namespace salvex
