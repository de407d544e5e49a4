#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace salvex {
class TCustomFile;
class TDataStream;
class TItem;
}  // namespace salvex

namespace salvex::ui {

// Random access to a file's bytes for the viewer.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Up to count bytes at offset; fewer at the end or when the data ends early.
  virtual size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t count) = 0;
};

// A file's view stream: it seeks where the stream can; otherwise reading behind the position
// reopens it and reading ahead skips.
class TForwardSource : public TByteSource {
 public:
  using TOpen = std::function<std::unique_ptr<TDataStream>()>;
  explicit TForwardSource(TOpen open);
  ~TForwardSource() override;
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t count) override;

 private:
  TOpen open_;
  std::unique_ptr<TDataStream> stream_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  bool ended_ = false;
};

// The viewer's source for a file of the open volume; fatChoice is the FAT copy to follow on FAT
// volumes (0 = consecutive clusters). Null when the item has no bytes to show.
std::unique_ptr<TByteSource> OpenByteSource(TItem& item, int fatChoice);

// Up to limit bytes from the start of a source.
std::vector<uint8_t> ReadHead(TByteSource& source, uint64_t limit);

}  // namespace salvex::ui
