#include "disk/RawIO.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace salvex {

int TPosixRawIO::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

ssize_t TPosixRawIO::PRead(int fd, void* buffer, size_t length, uint64_t offset) {
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

void TPosixRawIO::Close(int fd) { ::close(fd); }

bool TPosixRawIO::Size(int fd, uint64_t& bytes) {
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

TRawIO& RawIO() { return Current() ? *Current() : PosixIO(); }
void SetRawIO(TRawIO* io) { Current() = io; }

}  // namespace salvex
