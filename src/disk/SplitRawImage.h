#pragma once
#include <memory>
#include <string>
#include <vector>

#include "disk/ImageContainer.h"

namespace salvex {

// A raw disk image cut into numbered segments (disk.001 disk.002 ..., disk.000 disk.001 ...,
// disk.aa disk.ab ...), read as one disk from its first segment.
class TSplitRawImage : public TImageContainer {
 public:
  ~TSplitRawImage() override;
  const char* Format() const override { return "split raw"; }
  uint64_t MediaSize() const override { return size_; }
  uint32_t SectorSize() const override { return 0; }
  ssize_t ReadAt(void* buffer, size_t length, uint64_t offset) override;

  // The whole set when `path` names the first segment of one with at least two segments; else
  // nullptr. Throws std::runtime_error when a segment of the set cannot be opened.
  static std::unique_ptr<TSplitRawImage> OpenSet(const std::string& path);

 private:
  struct Segment {
    int Fd = -1;
    uint64_t Start = 0;  // media offset of its first byte
    uint64_t Size = 0;
  };
  std::vector<Segment> segments_;
  uint64_t size_ = 0;
};

// The name of the segment after `path` (disk.001 -> disk.002, disk.az -> disk.ba); empty when the
// name has no segment suffix or the last one is reached.
std::string NextSegmentName(const std::string& path);
// Whether `path` names the first segment of a set: .000, .001 or .aa (any width, any case).
bool IsFirstSegmentName(const std::string& path);

}  // namespace salvex
