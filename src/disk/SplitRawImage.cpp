#include "disk/SplitRawImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace salvex {

namespace {

constexpr size_t kMaxSegments = 100000;

// The suffix after the last dot of the file name (not of a folder), or npos.
size_t SuffixStart(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 >= path.size()) return std::string::npos;
  return dot + 1;
}

bool AllOf(const std::string& s, size_t from, int (*test)(int)) {
  return std::all_of(s.begin() + long(from), s.end(), [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::string NextSegmentName(const std::string& path) {
  const size_t at = SuffixStart(path);
  if (at == std::string::npos) return {};
  const size_t width = path.size() - at;
  std::string next = path;
  if (width >= 2 && width <= 4 && AllOf(path, at, isdigit)) {
    for (size_t i = path.size(); i-- > at;) {
      if (next[i] != '9') {
        ++next[i];
        return next;
      }
      next[i] = '0';
    }
    return {};
  }
  if (width >= 2 && width <= 3 && (AllOf(path, at, islower) || AllOf(path, at, isupper))) {
    const char first = std::islower(static_cast<unsigned char>(path[at])) ? 'a' : 'A';
    for (size_t i = path.size(); i-- > at;) {
      if (next[i] != first + 25) {
        ++next[i];
        return next;
      }
      next[i] = first;
    }
  }
  return {};
}

bool IsFirstSegmentName(const std::string& path) {
  const size_t at = SuffixStart(path);
  if (at == std::string::npos || path.size() - at < 2) return false;
  const std::string suffix = path.substr(at);
  if (AllOf(suffix, 0, isdigit)) {
    const size_t ones = suffix.find_first_not_of('0');
    return ones == std::string::npos || (ones == suffix.size() - 1 && suffix.back() == '1');
  }
  return suffix.find_first_not_of('a') == std::string::npos || suffix.find_first_not_of('A') == std::string::npos;
}

TSplitRawImage::~TSplitRawImage() {
  for (const Segment& s : segments_) ::close(s.Fd);
}

std::unique_ptr<TSplitRawImage> TSplitRawImage::OpenSet(const std::string& path) {
  if (!IsFirstSegmentName(path)) return nullptr;
  std::string second = NextSegmentName(path);
  struct stat st {};
  if (second.empty() || ::stat(second.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  auto set = std::unique_ptr<TSplitRawImage>(new TSplitRawImage);
  for (std::string name = path; !name.empty() && set->segments_.size() < kMaxSegments; name = NextSegmentName(name)) {
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) break;  // the set ends where the names do
      throw std::runtime_error("cannot open segment '" + name + "' of the split image: " + std::strerror(errno));
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      break;
    }
    set->segments_.push_back({fd, set->size_, uint64_t(st.st_size)});
    set->size_ += uint64_t(st.st_size);
  }
  return set;
}

ssize_t TSplitRawImage::ReadAt(void* buffer, size_t length, uint64_t offset) {
  if (offset >= size_) return 0;
  auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                             [](uint64_t at, const Segment& s) { return at < s.Start; });
  const Segment& s = *std::prev(it);
  const size_t chunk = size_t(std::min<uint64_t>(length, s.Start + s.Size - offset));
  for (;;) {
    ssize_t got = ::pread(s.Fd, buffer, chunk, off_t(offset - s.Start));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) errno = EIO;
    // A segment that shrank since it was opened leaves a hole: a read error, not the next segment's bytes.
    if (got == 0) {
      errno = EIO;
      return -1;
    }
    return got;
  }
}

}  // namespace salvex
