#include "fat/FATStream.h"

#include "devices/DataStream.h"
#include "fat/FATdrive.h"

namespace salvex {

TFATStream::TFATStream(TFATdrive& drive, uint8_t fatChoice, uint32_t baseOffset, uint64_t size, uint32_t firstCluster)
    : drive_(drive), fatChoice_(fatChoice), base_(baseOffset), size_(size), first_(firstCluster) {
  Open();
}

TFATStream::~TFATStream() = default;

void TFATStream::Open() {
  data_ = std::make_unique<TFATFileData>(drive_, fatChoice_, first_, base_, size_);
  lost_ = !data_->Failure.empty();
}

size_t TFATStream::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || lost_) return 0;
  const size_t got = data_->Read(buffer, count);
  position_ += got;
  return got;
}

uint64_t TFATStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t from = origin == TSeekOrigin::Begin ? 0 : origin == TSeekOrigin::Current ? int64_t(position_) : int64_t(size_);
  int64_t target = from + offset;
  if (target < 0) target = 0;
  position_ = static_cast<uint64_t>(target);
  if (position_ < size_) {
    if (!data_->Failure.empty()) Open();
    // Without a first cluster nothing can be walked; the position still moves (reads give nothing).
    lost_ = !data_->Failure.empty() || !data_->Seek(position_);
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
