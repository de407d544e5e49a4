#pragma once
#include <functional>
#include <map>
#include <string>

#include "disk/RawIO.h"
#include "disk/RescueMap.h"

namespace salvex {

// Reads an image through the rescue map of the run that made it: a read that touches bytes the
// map does not mark finished fails with EIO, as the disk did, so that the zeros the image holds
// there are never taken for data. Everything else goes to the layer underneath.
class TMappedRawIO : public TRawIO {
 public:
  explicit TMappedRawIO(TRawIO& inner) : inner_(inner) {}
  // Reads of `path` (as given to Open) follow `map`.
  void AddMap(const std::string& path, TRescueMap map) { maps_[path] = std::move(map); }
  // The map of `path`; null when it has none.
  const TRescueMap* MapOf(const std::string& path) const {
    auto it = maps_.find(path);
    return it == maps_.end() ? nullptr : &it->second;
  }
  // Reads refused because of the map, for summaries.
  uint64_t RefusedReads() const { return refused_; }
  // The last read refused: its map and the byte range asked for (in the image).
  struct TRefusal {
    const TRescueMap* Map = nullptr;
    uint64_t Offset = 0, Length = 0;
  };
  const TRefusal& LastRefusal() const { return lastRefusal_; }
  // Told of every refused read (map-files: which folder's reading met unread sectors).
  std::function<void(const TRefusal&)> OnRefusal;

  int Open(const std::string& path) override;
  ssize_t PRead(int fd, void* buffer, size_t length, uint64_t offset) override;
  void Close(int fd) override;
  bool Size(int fd, uint64_t& bytes) override { return inner_.Size(fd, bytes); }
  std::string OpenFailure() const override { return inner_.OpenFailure(); }
  bool SectorSize(int fd, uint32_t& bytes) override { return inner_.SectorSize(fd, bytes); }
  // The kernel would copy unread bytes as data: mapped images are never handed out this way.
  int PlainFileDescriptor(int fd) override { return open_.count(fd) ? -1 : inner_.PlainFileDescriptor(fd); }

 private:
  TRawIO& inner_;
  std::map<std::string, TRescueMap> maps_;
  std::map<int, const TRescueMap*> open_;
  uint64_t refused_ = 0;
  TRefusal lastRefusal_;
};

}  // namespace salvex
