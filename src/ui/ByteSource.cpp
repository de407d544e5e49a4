#include "ui/ByteSource.h"

#include <algorithm>

#include "devices/DataStream.h"
#include "devices/Model.h"
#include "fat/FATStream.h"
#include "fat/FATdrive.h"
#include "fat/MFTFile.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"

namespace salvex::ui {

TForwardSource::TForwardSource(TOpen open) : open_(std::move(open)) {
  stream_ = open_();
  if (stream_) size_ = stream_->Size();
}

TForwardSource::~TForwardSource() = default;

size_t TForwardSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t count) {
  if (offset >= size_) return 0;
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
  auto* file = dynamic_cast<TCustomFile*>(&item);
  if (!file || !file->Drive) return nullptr;
  if (auto* fat = dynamic_cast<TFATdrive*>(file->Drive)) {
    uint32_t first = 0, base = 0;
    if (auto* f = dynamic_cast<TFATFile*>(file)) {
      first = f->FirstCluster;
    } else if (auto* m = dynamic_cast<TMFTFile*>(file)) {
      first = m->FirstCluster;
      base = m->DataOffset;
    } else {
      return nullptr;
    }
    using Source = TSeekSource<TFATStream, TSeekOrigin::Begin>;
    return std::make_unique<Source>(
        std::make_unique<TFATStream>(*fat, uint8_t(std::max(fatChoice, 0)), base, file->Size, first));
  }
  if (auto* ntfs = dynamic_cast<TNTFSdrive*>(file->Drive)) {
    auto stream = OpenNTFSStream(*ntfs, item);
    if (!stream) return nullptr;
    // The NTFS streams keep Size as a field; an adapter gives it the common shape.
    struct TNTFSSource : TByteSource {
      std::unique_ptr<TNTFSReadStream> s;
      uint64_t Size() const override { return s->Size; }
      size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override {
        if (offset >= s->Size) return 0;
        s->Seek(int64_t(offset), TNTFSReadStream::FromBeginning);
        return size_t(s->Read(buffer, count));
      }
    };
    auto source = std::make_unique<TNTFSSource>();
    source->s = std::move(stream);
    return source;
  }
  TReadChoice choice;
  choice.FATCopy = fatChoice;
  return std::make_unique<TForwardSource>([file, choice] { return file->OpenData(choice); });
}

std::vector<uint8_t> ReadHead(TByteSource& source, uint64_t limit) {
  std::vector<uint8_t> bytes(size_t(std::min(source.Size(), limit)));
  bytes.resize(source.ReadAt(0, bytes.data(), bytes.size()));
  return bytes;
}

}  // namespace salvex::ui
