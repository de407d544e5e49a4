#include "ui/ByteSource.h"

#include <algorithm>

#include "devices/DataStream.h"
#include "devices/Model.h"

namespace salvex::ui {

TForwardSource::TForwardSource(TOpen open) : open_(std::move(open)) {
  stream_ = open_();
  if (stream_) size_ = stream_->Size();
}

TForwardSource::~TForwardSource() = default;

size_t TForwardSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t count) {
  if (offset >= size_) return 0;
  if (stream_ && offset != position_ && stream_->Seek(offset)) {
    position_ = offset;
    ended_ = false;
  }
  if (!stream_ || offset < position_) {
    stream_ = open_();
    position_ = 0;
    ended_ = false;
    if (!stream_) return 0;
  }
  uint8_t skip[4096];
  while (position_ < offset && !ended_) {
    const size_t got = stream_->Read(skip, size_t(std::min<uint64_t>(sizeof skip, offset - position_)));
    if (got == 0) ended_ = true;
    position_ += got;
  }
  size_t done = 0;
  while (done < count && !ended_) {
    const size_t got = stream_->Read(buffer + done, count - done);
    if (got == 0) ended_ = true;
    done += got;
  }
  position_ += done;
  return done;
}

std::unique_ptr<TByteSource> OpenByteSource(TItem& item, int fatChoice) {
  auto* file = item.AsFile();
  if (!file || !file->Drive) return nullptr;
  TReadChoice choice;
  choice.FATCopy = fatChoice;
  return std::make_unique<TForwardSource>([file, choice] { return file->OpenViewData(choice); });
}

std::vector<uint8_t> ReadHead(TByteSource& source, uint64_t limit) {
  std::vector<uint8_t> bytes(size_t(std::min(source.Size(), limit)));
  bytes.resize(source.ReadAt(0, bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace salvex::ui
