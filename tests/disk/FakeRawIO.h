#pragma once
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "disk/RawIO.h"

namespace salvex::test {

// In-memory images behind the file-descriptor layer, with read errors on chosen sectors and a
// log of every transfer, so that chunking, handle reuse and the operator prompt can be tested.
class FakeRawIO : public TRawIO {
 public:
  struct Image {
    std::vector<uint8_t> bytes;
    std::set<uint64_t> badSectors;  // 512-byte sector numbers that fail to read
    int failuresLeft = -1;          // -1: bad sectors fail forever; n: they fail n more times
    uint64_t virtualSize = 0;       // when set: the size reported, reads past `bytes` give zeros
    bool shortReads = false;        // a read that meets a bad sector ends short before it, as a
                                    // device's does when it fails part way (when it starts there: -1)
  };
  struct Transfer {
    std::string path;
    size_t length;
    uint64_t offset;
  };

  std::map<std::string, Image> images;
  std::vector<Transfer> transfers;
  std::atomic<size_t> reads{0};  // the transfers so far, safe to poll while a read runs on another thread
  int opens = 0;
  int closes = 0;

  int Open(const std::string& path) override {
    if (!images.count(path)) {
      errno = ENOENT;
      return -1;
    }
    ++opens;
    int fd = next_++;
    fds_[fd] = path;
    return fd;
  }
  ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) override {
    auto it = fds_.find(fd);
    if (it == fds_.end()) {
      errno = EBADF;
      return -1;
    }
    transfers.push_back({it->second, length, offset});
    ++reads;
    Image& img = images[it->second];
    for (uint64_t s = offset / 512; s * 512 < offset + length; ++s)
      if (img.badSectors.count(s)) {
        if (img.failuresLeft == 0) break;
        if (img.failuresLeft > 0) --img.failuresLeft;
        if (img.shortReads && s * 512 > offset) {
          length = size_t(s * 512 - offset);
          break;
        }
        errno = EIO;
        return -1;
      }
    uint64_t size = img.virtualSize ? img.virtualSize : img.bytes.size();
    if (offset >= size) return 0;
    size_t n = std::min<uint64_t>(length, size - offset);
    std::memset(buffer, 0, n);
    if (offset < img.bytes.size())
      std::memcpy(buffer, img.bytes.data() + offset, std::min<uint64_t>(n, img.bytes.size() - offset));
    return static_cast<ssize_t>(n);
  }
  void Close(int fd) override {
    ++closes;
    fds_.erase(fd);
  }
  bool Size(int fd, uint64_t& bytes) override {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return false;
    const Image& img = images[it->second];
    bytes = img.virtualSize ? img.virtualSize : img.bytes.size();
    return true;
  }

 private:
  int next_ = 100;
  std::map<int, std::string> fds_;
};

// Installs a FakeRawIO for a test's scope and clears the registry and cached handles around it.
class ScopedFakeIO {
 public:
  ScopedFakeIO();
  ~ScopedFakeIO();
  FakeRawIO io;
};

}  // namespace salvex::test
