// A failing disk for the imaging tests and benchmarks: a FUSE file system holding one file,
// `disk`, that serves an image's bytes the way a dying drive does. Chosen sectors always fail
// with EIO, weak sectors fail a set number of times and then read, slow areas delay each read
// that touches them. `stats` counts the reads served, so that imaging tools can be compared by
// the reads they cost, not only by the bytes they rescued.
//
//   salvex-faildisk IMAGE MOUNTPOINT [--sector-size N] [--bad A-B]... [--weak A-B:TIMES]...
//                   [--slow A-B:MILLISECONDS]... [-f]
//
// Sector ranges are inclusive. The file is opened with direct I/O: every read a program makes
// reaches this process (no page cache, no read-ahead), as reads of a raw disk reach the drive.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TArea {
  uint64_t First = 0, Last = 0;  // sectors, inclusive
  uint64_t Value = 0;            // weak: failures left per sector; slow: milliseconds
};

struct TDisk {
  int Fd = -1;
  uint64_t Size = 0;
  uint64_t SectorSize = 512;
  std::vector<TArea> Bad, Slow;
  std::map<uint64_t, uint64_t> WeakLeft;  // sector -> failures left
  std::mutex Lock;
  uint64_t Reads = 0, Errors = 0, BytesServed = 0;
} disk;

bool ParseRange(const char* text, TArea& area, bool withValue) {
  char* end = nullptr;
  area.First = std::strtoull(text, &end, 0);
  if (*end != '-') return false;
  area.Last = std::strtoull(end + 1, &end, 0);
  if (withValue) {
    if (*end != ':') return false;
    area.Value = std::strtoull(end + 1, &end, 0);
  }
  return *end == 0 && area.Last >= area.First;
}

bool Touches(const TArea& a, uint64_t first, uint64_t last) { return a.First <= last && first <= a.Last; }

std::string StatsText() {
  std::lock_guard<std::mutex> hold(disk.Lock);
  return "reads " + std::to_string(disk.Reads) + "\nerrors " + std::to_string(disk.Errors) + "\nbytes " +
         std::to_string(disk.BytesServed) + "\n";
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, "/disk") == 0) {
    st->st_mode = S_IFREG | 0444;
    st->st_size = off_t(disk.Size);
  } else if (std::strcmp(path, "/stats") == 0) {
    st->st_mode = S_IFREG | 0444;
    st->st_size = 4096;  // read with direct I/O: the text ends where it ends
  } else {
    return -ENOENT;
  }
  st->st_nlink = 1;
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  for (const char* name : {".", "..", "disk", "stats"}) fill(buf, name, nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, "/disk") != 0 && std::strcmp(path, "/stats") != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, "/stats") == 0) {
    const std::string text = StatsText();
    if (uint64_t(offset) >= text.size()) return 0;
    const size_t n = std::min(size, text.size() - size_t(offset));
    std::memcpy(buf, text.data() + offset, n);
    return int(n);
  }
  if (uint64_t(offset) >= disk.Size || size == 0) return 0;
  size = size_t(std::min<uint64_t>(size, disk.Size - uint64_t(offset)));
  const uint64_t first = uint64_t(offset) / disk.SectorSize, last = (uint64_t(offset) + size - 1) / disk.SectorSize;
  uint64_t delay = 0;
  bool fail = false;
  {
    std::lock_guard<std::mutex> hold(disk.Lock);
    ++disk.Reads;
    for (const TArea& a : disk.Slow)
      if (Touches(a, first, last)) delay = std::max(delay, a.Value);
    for (const TArea& a : disk.Bad)
      if (Touches(a, first, last)) fail = true;
    // A weak sector fails every read that reaches it until its failures are spent.
    for (auto it = disk.WeakLeft.lower_bound(first); it != disk.WeakLeft.end() && it->first <= last; ++it)
      if (it->second > 0) {
        --it->second;
        fail = true;
      }
    if (fail) ++disk.Errors;
  }
  if (delay) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  if (fail) return -EIO;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(disk.Fd, buf + done, size - done, offset + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -EIO;
    done += size_t(n);
  }
  std::lock_guard<std::mutex> hold(disk.Lock);
  disk.BytesServed += done;
  return int(done);
}

void* Init(fuse_conn_info*, fuse_config* cfg) {
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 0;
  return nullptr;
}

int Usage() {
  std::fprintf(stderr,
               "usage: salvex-faildisk IMAGE MOUNTPOINT [--sector-size N] [--bad A-B]... [--weak A-B:TIMES]...\n"
               "                       [--slow A-B:MILLISECONDS]... [-f]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const char* image = argv[1];
  std::vector<std::string> fuseArgs = {argv[0], argv[2], "-s", "-o", "ro,default_permissions,fsname=faildisk"};
  std::vector<TArea> weak;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    TArea area;
    const bool hasValue = i + 1 < argc;
    if (a == "--sector-size" && hasValue) {
      disk.SectorSize = std::strtoull(argv[++i], nullptr, 0);
      if (disk.SectorSize == 0) return Usage();
    } else if (a == "--bad" && hasValue && ParseRange(argv[++i], area, false)) {
      disk.Bad.push_back(area);
    } else if (a == "--weak" && hasValue && ParseRange(argv[++i], area, true)) {
      weak.push_back(area);
    } else if (a == "--slow" && hasValue && ParseRange(argv[++i], area, true)) {
      disk.Slow.push_back(area);
    } else if (a == "-f" || a == "-d") {
      fuseArgs.push_back(a);
    } else {
      return Usage();
    }
  }
  for (const TArea& w : weak)
    for (uint64_t s = w.First; s <= w.Last; ++s) disk.WeakLeft[s] = w.Value;
  disk.Fd = ::open(image, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (disk.Fd < 0 || ::fstat(disk.Fd, &st) != 0) {
    std::fprintf(stderr, "salvex-faildisk: cannot read %s: %s\n", image, std::strerror(errno));
    return 1;
  }
  disk.Size = uint64_t(st.st_size);
  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.init = Init;
  std::vector<char*> args;
  for (std::string& s : fuseArgs) args.push_back(s.data());
  return fuse_main(int(args.size()), args.data(), &ops, nullptr);
}
