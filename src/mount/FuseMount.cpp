#include "mount/FuseMount.h"

#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "mount/MountTree.h"

// The kernel side of a mount: each request is answered from the tree, on one thread, as the
// model is single-threaded.

namespace salvex {

namespace {

// The tree does not change while mounted, except that a file's size is corrected once its data
// is opened: short timeouts let that correction reach the kernel.
constexpr double kTimeout = 1.0;

TMountTree& Tree(fuse_req_t req) { return *static_cast<TMountTree*>(fuse_req_userdata(req)); }

struct stat StatOf(const TMountTree::TAttr& attr) {
  struct stat st {};
  st.st_ino = attr.Ino;
  st.st_mode = attr.Folder ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st.st_nlink = attr.Folder ? 2 : 1;
  st.st_uid = getuid();
  st.st_gid = getgid();
  st.st_size = off_t(attr.Size);
  st.st_blksize = 4096;
  st.st_blocks = blkcnt_t((attr.Size + 511) / 512);
  st.st_mtim = st.st_atim = st.st_ctim = attr.Modified;
  return st;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  TMountTree::TAttr attr;
  if (const int e = Tree(req).Lookup(parent, name, attr)) {
    fuse_reply_err(req, e);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = attr.Ino;
  entry.attr = StatOf(attr);
  entry.attr_timeout = entry.entry_timeout = kTimeout;
  fuse_reply_entry(req, &entry);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  TMountTree::TAttr attr;
  if (const int e = Tree(req).GetAttr(ino, attr)) {
    fuse_reply_err(req, e);
    return;
  }
  const struct stat st = StatOf(attr);
  fuse_reply_attr(req, &st, kTimeout);
}

void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  std::vector<TMountTree::TEntry> entries;
  if (const int e = Tree(req).List(ino, entries)) {
    fuse_reply_err(req, e);
    return;
  }
  std::vector<char> buffer(size);
  size_t used = 0;
  for (size_t i = size_t(offset); i < entries.size(); ++i) {
    struct stat st {};
    st.st_ino = entries[i].Ino;
    st.st_mode = entries[i].Folder ? S_IFDIR : S_IFREG;
    const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].Name.c_str(), &st, off_t(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) {
    fuse_reply_err(req, EROFS);
    return;
  }
  uint64_t handle = 0;
  if (const int e = Tree(req).Open(ino, handle)) {
    fuse_reply_err(req, e);
    return;
  }
  fi->fh = handle;
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  std::vector<uint8_t> out;
  if (const int e = Tree(req).Read(fi->fh, uint64_t(offset), size, out)) {
    fuse_reply_err(req, e);
    return;
  }
  fuse_reply_buf(req, reinterpret_cast<const char*>(out.data()), out.size());
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Tree(req).Release(fi->fh);
  fuse_reply_err(req, 0);
}

void GetXattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  std::string value;
  if (const int e = Tree(req).GetXattr(ino, name, value)) {
    fuse_reply_err(req, e);
    return;
  }
  if (size == 0)
    fuse_reply_xattr(req, value.size());
  else if (size < value.size())
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, value.data(), value.size());
}

void ListXattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  std::string names;
  for (const std::string& name : Tree(req).XattrNames(ino)) names.append(name).push_back('\0');
  if (size == 0)
    fuse_reply_xattr(req, names.size());
  else if (size < names.size())
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, names.data(), names.size());
}

// Everything that would change the volume: the view is read-only, whatever the kernel lets through.
void RefuseSetAttr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void RefuseMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(req, EPERM); }
void RefuseMkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { fuse_reply_err(req, EROFS); }
void RefuseRemove(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void RefuseSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
void RefuseRename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
  fuse_reply_err(req, EROFS);
}
void RefuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
void RefuseWrite(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void RefuseCreate(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { fuse_reply_err(req, EROFS); }
void RefuseSetXattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { fuse_reply_err(req, EROFS); }
void RefuseRemoveXattr(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.setattr = RefuseSetAttr;
  ops.mknod = RefuseMknod;
  ops.mkdir = RefuseMkdir;
  ops.unlink = RefuseRemove;
  ops.rmdir = RefuseRemove;
  ops.symlink = RefuseSymlink;
  ops.rename = RefuseRename;
  ops.link = RefuseLink;
  ops.write = RefuseWrite;
  ops.create = RefuseCreate;
  ops.setxattr = RefuseSetXattr;
  ops.removexattr = RefuseRemoveXattr;
  return ops;
}

// A mount option's value may not hold the separators of the option list.
std::string OptionValue(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == ',' || c == '\\' || c == '=' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
  return out;
}

// Goes to the background as fuse_daemonize does, but keeps stderr: the lost-data search that the
// first visit to Lost starts, maybe long after the prompt came back, tells its progress on the
// terminal the mount was started from rather than to nobody. The starting process ends once the
// background one is on its own.
bool Detach(std::string& error) {
  int ready[2];
  if (::pipe(ready) != 0) {
    error = std::string("cannot go to the background: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("cannot go to the background: ") + std::strerror(errno);
    return false;
  }
  if (pid > 0) {
    ::close(ready[1]);
    char done = 0;
    while (::read(ready[0], &done, 1) < 0 && errno == EINTR) {
    }
    ::_exit(done == 1 ? 0 : 1);
  }
  ::close(ready[0]);
  ::setsid();
  if (::chdir("/") != 0) {
    // The image was opened by its full path; the working folder is only not kept busy.
  }
  if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    if (null > 2) ::close(null);
  }
  // A terminal closed or a pipe's reader gone must not end the mount: such writes just fail.
  std::signal(SIGPIPE, SIG_IGN);
  const char done = 1;
  while (::write(ready[1], &done, 1) < 0 && errno == EINTR) {
  }
  ::close(ready[1]);
  return true;
}

}  // namespace

bool FuseAvailable() { return true; }

bool ServeMount(TMountTree& tree, const TFuseMountOptions& options, std::string& error) {
  const std::string mountOptions = "ro,default_permissions,subtype=salvex,fsname=" + OptionValue(options.Source);
  std::vector<std::string> argv = {"salvex-cli", "-o", mountOptions};
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(int(raw.size()), raw.data());
  const fuse_lowlevel_ops ops = Operations();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof(ops), &tree);
  fuse_opt_free_args(&args);  // the session may have copied the arguments into memory of its own
  if (!session) {
    error = "the FUSE session could not be set up";
    return false;
  }
  // libfuse installs its handlers only over the default ones; the end of the session is its to say.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
  bool ok = fuse_set_signal_handlers(session) == 0;
  if (!ok) error = "the signal handlers could not be installed";
  if (ok && fuse_session_mount(session, options.MountPoint.c_str()) != 0) {
    error = "cannot mount on '" + options.MountPoint +
            "' (is it an empty folder you own, and is /dev/fuse there with fusermount3 installed?)";
    ok = false;
  }
  if (ok && !options.Foreground && !Detach(error)) {
    fuse_session_unmount(session);
    ok = false;
  }
  if (ok) {
    fuse_session_loop(session);
    fuse_session_unmount(session);
  }
  fuse_remove_signal_handlers(session);
  fuse_session_destroy(session);
  return ok;
}

}  // namespace salvex
