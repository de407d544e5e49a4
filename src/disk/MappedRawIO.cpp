#include "disk/MappedRawIO.h"

#include <cerrno>

namespace salvex {

int TMappedRawIO::Open(const std::string& path) {
  const int fd = inner_.Open(path);
  if (fd < 0) return fd;
  auto it = maps_.find(path);
  if (it != maps_.end()) open_[fd] = &it->second;
  return fd;
}

ssize_t TMappedRawIO::PRead(int fd, void* buffer, size_t length, uint64_t offset) {
  auto it = open_.find(fd);
  if (it != open_.end() && length > 0) {
    const TRescueMap& map = *it->second;
    // Past the map's end the image has no bytes either; the layer underneath says so.
    const uint64_t inMap = offset < map.Size() ? std::min<uint64_t>(length, map.Size() - offset) : 0;
    if (inMap > 0 && !map.Unrescued(offset, inMap).empty()) {
      ++refused_;
      lastRefusal_ = {&map, offset, inMap};
      if (OnRefusal) OnRefusal(lastRefusal_);
      errno = EIO;
      return -1;
    }
  }
  return inner_.PRead(fd, buffer, length, offset);
}

void TMappedRawIO::Close(int fd) {
  open_.erase(fd);
  inner_.Close(fd);
}

}  // namespace salvex
