#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace salvex {

// A zeroed, page-aligned byte buffer for large reads: the kernel copies into an aligned buffer
// several times faster than into one at an odd offset, which is what a plain heap block gives.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t size) : size_(size) {
    size_t rounded = (size + kAlign - 1) / kAlign * kAlign;
    data_.reset(static_cast<uint8_t*>(std::aligned_alloc(kAlign, rounded ? rounded : kAlign)));
    if (!data_) throw std::bad_alloc();
    std::memset(data_.get(), 0, size);
  }
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  std::span<uint8_t> span() { return {data_.get(), size_}; }

 private:
  static constexpr size_t kAlign = 4096;
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t[], Free> data_;
  size_t size_;
};

// For vectors of bytes that large reads go into: page-aligned storage, for the reason above.
template <class T>
struct PageAlignedAllocator {
  using value_type = T;
  PageAlignedAllocator() = default;
  template <class U>
  PageAlignedAllocator(const PageAlignedAllocator<U>&) {}
  T* allocate(size_t n) {
    const size_t bytes = (n * sizeof(T) + 4095) / 4096 * 4096;
    void* p = std::aligned_alloc(4096, bytes ? bytes : 4096);
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <class U>
  bool operator==(const PageAlignedAllocator<U>&) const {
    return true;
  }
};

}  // namespace salvex
