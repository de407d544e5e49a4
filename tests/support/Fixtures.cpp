#include "support/Fixtures.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace salvex::test {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

std::string ErrnoText() { return std::strerror(errno); }

// The private folder for unpacked images; removed when the process ends normally.
class UnpackFolder {
 public:
  ~UnpackFolder() {
    if (!Folder_.empty()) {
      std::error_code ignored;
      fs::remove_all(Folder_, ignored);
    }
  }

  fs::path Get(std::string_view relativeGz) {
    std::lock_guard lock(Mutex_);
    const std::string key(relativeGz);
    if (auto it = Cache_.find(key); it != Cache_.end()) return it->second;
    if (Folder_.empty()) Folder_ = MakeFolder();
    std::string name = fs::path(key).filename().string();
    if (name.size() > 3 && name.ends_with(".gz")) name.resize(name.size() - 3);
    // Several fixtures may share a base name in different folders.
    const fs::path target = Folder_ / (std::to_string(Cache_.size()) + "-" + name);
    Gunzip(FixturePath(key), target);
    Cache_.emplace(key, target);
    return target;
  }

 private:
  static fs::path MakeFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/salvex-test-XXXXXX";
    if (!mkdtemp(pattern.data())) Fail("cannot create a temporary folder " + pattern + ": " + ErrnoText());
    return pattern;
  }

  static void Gunzip(const fs::path& from, const fs::path& to) {
    if (!fs::is_regular_file(from)) Fail("fixture missing: " + from.string());
    std::unique_ptr<gzFile_s, decltype(&gzclose)> in(gzopen(from.c_str(), "rb"), &gzclose);
    if (!in) Fail("cannot open fixture " + from.string());
    std::ofstream out(to, std::ios::binary);
    if (!out) Fail("cannot write " + to.string());
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const int n = gzread(in.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
      if (n < 0) {
        int code = 0;
        Fail("corrupt fixture " + from.string() + ": " + gzerror(in.get(), &code));
      }
      if (n == 0) break;
      out.write(buffer.data(), n);
    }
    out.close();
    if (!out) Fail("cannot write " + to.string());
  }

  std::mutex Mutex_;
  fs::path Folder_;
  std::map<std::string, fs::path> Cache_;
};

UnpackFolder& Unpacked() {
  static UnpackFolder folder;
  return folder;
}

struct Pipe {
  int Fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(Fd, O_CLOEXEC) != 0) Fail("pipe: " + ErrnoText());
  }
  ~Pipe() {
    for (int fd : Fd)
      if (fd >= 0) close(fd);
  }
  void CloseEnd(int i) {
    close(Fd[i]);
    Fd[i] = -1;
  }
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

fs::path FixturePath(std::string_view relative) { return fs::path(SALVEX_FIXTURES_DIR) / relative; }

fs::path UnpackedImage(std::string_view relativeGz) { return Unpacked().Get(relativeGz); }

CommandResult RunCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) Fail("RunCommand: no program given");
  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.Fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.Fd[1], STDERR_FILENO);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  CommandResult result;
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    result.ExitCode = 127;
    result.Err = argv[0] + ": " + std::strerror(spawned);
    return result;
  }
  out.CloseEnd(1);
  err.CloseEnd(1);

  // Both pipes are drained together so that a child filling one of them cannot block.
  std::array<pollfd, 2> fds{{{out.Fd[0], POLLIN, 0}, {err.Fd[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.Out, &result.Err};
  std::vector<char> buffer(65536);
  int open = 2;
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      Fail("poll: " + ErrnoText());
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) Fail("waitpid: " + ErrnoText());
  }
  if (WIFEXITED(status))
    result.ExitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.ExitCode = 128 + WTERMSIG(status);
  return result;
}

bool HaveTool(std::string_view name) {
  if (name.empty()) return false;
  if (name.find('/') != std::string_view::npos) return access(std::string(name).c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return true;
  }
  return false;
}

std::map<std::string, ManifestEntry> ReadManifest(const fs::path& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot read manifest " + path.string());
  std::map<std::string, ManifestEntry> entries;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const auto bad = [&](const std::string& why) {
      Fail(path.string() + ":" + std::to_string(number) + ": " + why);
    };
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() < 5 || f.size() > 6) bad("expected 5 or 6 tab-separated fields");
    ManifestEntry e;
    e.Kind = f[0];
    e.State = f[1];
    e.Path = f[4];
    if (f.size() == 6) e.Notes = f[5];
    if (e.Kind == "dir") {
      if (f[2] != "-" || f[3] != "-") bad("a folder has no size or hash");
    } else if (e.Kind == "file" || e.Kind == "link") {
      if (f[2].empty() || f[2].find_first_not_of("0123456789") != std::string::npos) bad("bad size");
      e.Size = std::stoull(f[2]);
      if (f[3].size() != 64 || f[3].find_first_not_of("0123456789abcdef") != std::string::npos)
        bad("bad sha256");
      e.Sha256 = f[3];
    } else {
      bad("unknown kind " + e.Kind);
    }
    if (e.Path.empty() || e.Path[0] != '/') bad("path must start with /");
    if (!entries.emplace(e.Path, e).second) bad("duplicate path " + e.Path);
  }
  return entries;
}

std::map<std::string, std::string> ReadManifestHeader(const fs::path& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot read manifest " + path.string());
  std::map<std::string, std::string> header;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("# ")) continue;
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    header[line.substr(2, colon - 2)] = line.substr(colon + 2);
  }
  return header;
}

namespace {

class Sha256 {
 public:
  Sha256() : Ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (!Ctx_ || EVP_DigestInit_ex(Ctx_.get(), EVP_sha256(), nullptr) != 1) Fail("SHA-256 unavailable");
  }
  void Add(const void* data, std::size_t size) { EVP_DigestUpdate(Ctx_.get(), data, size); }
  std::string Hex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    EVP_DigestFinal_ex(Ctx_.get(), digest.data(), &length);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
      hex += kDigits[digest[i] >> 4];
      hex += kDigits[digest[i] & 15];
    }
    return hex;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> Ctx_;
};

}  // namespace

std::string Sha256OfFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path.string());
  Sha256 sha;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    sha.Add(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) Fail("read error in " + path.string());
  return sha.Hex();
}

std::string Sha256OfBytes(std::string_view bytes) {
  Sha256 sha;
  sha.Add(bytes.data(), bytes.size());
  return sha.Hex();
}

const std::map<std::string, VolumeFixture>& VolumeFixtures() {
  static const std::map<std::string, VolumeFixture> fixtures = {
      {"FAT", {"fat16.img.gz", 32768}},
      {"NTFS", {"ntfs.img.gz", 65536}},
      {"exFAT", {"exfat.img.gz", 16384}},
      {"ext", {"ext2-1k.img.gz", 16384}},
  };
  return fixtures;
}

}  // namespace salvex::test
