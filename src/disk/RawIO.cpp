#include "disk/RawIO.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <span>

#include "disk/SplitRawImage.h"

namespace salvex {

namespace {

ssize_t ReadFully(int fd, void* buffer, size_t length, uint64_t offset);

}  // namespace

int TPosixRawIO::Open(const std::string& path) {
  openFailure_.clear();
  // Without O_NONBLOCK, opening a FIFO waits for a writer forever; what it is, is checked
  // before anything is read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    ::close(fd);
    openFailure_ = "'" + path + "' is neither a regular file nor a block device; give a disk image or a disk";
    errno = EINVAL;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!S_ISREG(st.st_mode)) {
    // A disk is mostly read from start to end (searches, saves, imaging): a larger read-ahead
    // window keeps it streaming. A hint only; nothing depends on it being taken.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
  }
  uint8_t head[64] = {}, tail[512] = {};
  ssize_t headBytes = ReadFully(fd, head, sizeof head, 0);
  ssize_t tailBytes = st.st_size >= 512 ? ReadFully(fd, tail, sizeof tail, uint64_t(st.st_size) - 512) : 0;
  TContainerFormat format = DetectContainer(std::span<const uint8_t>(head, headBytes > 0 ? size_t(headBytes) : 0),
                                            std::span<const uint8_t>(tail, tailBytes > 0 ? size_t(tailBytes) : 0));
  try {
    if (format == TContainerFormat::None) {
      if (auto set = TSplitRawImage::OpenSet(path)) containers_[fd] = std::move(set);
      return fd;
    }
    containers_[fd] = OpenContainer(path, format);
  } catch (const std::exception& e) {
    // Only a footer at the end said VHD: a raw disk may end that way, and is read as raw.
    if (format == TContainerFormat::VHD && std::memcmp(head, "conectix", 8) != 0) return fd;
    openFailure_ = e.what();
    ::close(fd);
    errno = EIO;
    return -1;
  }
  return fd;
}

ssize_t TPosixRawIO::PRead(int fd, void* buffer, size_t length, uint64_t offset) {
  auto container = containers_.find(fd);
  if (container != containers_.end()) {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
      ssize_t r = container->second->ReadAt(out + done, length - done, offset + done);
      if (r < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
  }
  return ReadFully(fd, buffer, length, offset);
}

namespace {

ssize_t ReadFully(int fd, void* buffer, size_t length, uint64_t offset) {
  size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t r = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    if (r == 0) break;  // end of the image
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

void TPosixRawIO::Close(int fd) {
  containers_.erase(fd);
  ::close(fd);
}

bool TPosixRawIO::Size(int fd, uint64_t& bytes) {
  auto container = containers_.find(fd);
  if (container != containers_.end()) {
    bytes = container->second->MediaSize();
    return true;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (S_ISBLK(st.st_mode)) {
    uint64_t size = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return false;
    bytes = size;
    return true;
  }
  if (S_ISREG(st.st_mode)) {
    bytes = static_cast<uint64_t>(st.st_size);
    return true;
  }
  errno = ENOTBLK;
  return false;
}

bool TPosixRawIO::SectorSize(int fd, uint32_t& bytes) {
  auto container = containers_.find(fd);
  if (container != containers_.end()) {
    // 512 is what acquisition tools write by default, so only a larger size tells anything.
    uint32_t recorded = container->second->SectorSize();
    if (recorded <= 512 || recorded > 4096 || (recorded & (recorded - 1)) != 0) return false;
    bytes = recorded;
    return true;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  int size = 0;
  if (::ioctl(fd, BLKSSZGET, &size) != 0 || size < 512) return false;
  bytes = static_cast<uint32_t>(size);
  return true;
}

namespace {
TPosixRawIO& PosixIO() {
  static TPosixRawIO io;
  return io;
}
TRawIO*& Current() {
  static TRawIO* io = nullptr;
  return io;
}
}  // namespace

int TPosixRawIO::PlainFileDescriptor(int fd) {
  if (fd < 0 || containers_.count(fd)) return -1;
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fd : -1;
}

TRawIO& RawIO() { return Current() ? *Current() : PosixIO(); }
void SetRawIO(TRawIO* io) { Current() = io; }

}  // namespace salvex
