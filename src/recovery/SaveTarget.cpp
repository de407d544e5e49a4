#include "recovery/SaveTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace salvex {

namespace {

bool IsNetworkFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
      return true;
    default: return false;
  }
}

}  // namespace

bool EnoughSpace(TFolderTarget& dir, uint64_t size) {
  constexpr uint64_t kBlock = 4096;
  const uint64_t need = (size + kBlock - 1) / kBlock * kBlock + kBlock;  // data and its entry
  if (!dir.SpaceLeft || *dir.SpaceLeft < need) {
    struct statvfs vfs {};
    if (IsNetworkFileSystem(dir.Fd) || ::fstatvfs(dir.Fd, &vfs) != 0)
      dir.SpaceLeft = UINT64_MAX;
    else
      dir.SpaceLeft = uint64_t(vfs.f_bavail) * vfs.f_frsize;
    if (*dir.SpaceLeft < size) return false;
  }
  if (*dir.SpaceLeft != UINT64_MAX) *dir.SpaceLeft -= std::min(*dir.SpaceLeft, need);
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size, int& error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

TNameHolder WhoHolds(const TFolderFd& folder, const std::string& name, TEntryKey* key) {
  struct stat st {};
  if (::fstatat(folder.Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return TNameHolder::Nobody;
  if (key) *key = {st.st_dev, st.st_ino};
  if (folder.Fresh || folder.Made.count({st.st_dev, st.st_ino})) return TNameHolder::ThisSave;
  return S_ISDIR(st.st_mode) ? TNameHolder::FolderBefore : TNameHolder::FileBefore;
}

}  // namespace salvex
