// salvex-cli mount through the kernel: what find, sha256sum and rsync see under the mount is what
// salvex-cli save writes of the same trees. Runs where /dev/fuse and fusermount3 exist.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/Cli.h"

namespace fs = std::filesystem;
using namespace salvex::test;

namespace {

// A mount run in the foreground as a child process, unmounted when the test ends.
class Mounted {
 public:
  Mounted(const std::vector<std::string>& args, const fs::path& at) : at_(at) {
    fs::create_directories(at);
    struct stat before {};
    ::stat(at.c_str(), &before);
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<std::string> argv = {SALVEX_CLI_PATH, "mount"};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.push_back(at.string());
      argv.push_back("-f");
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
    // Mounted once the folder lies on another device.
    for (int i = 0; i < 200 && !Up(); ++i) {
      struct stat now {};
      if (::stat(at.c_str(), &now) == 0 && now.st_dev != before.st_dev) up_ = true;
      if (!up_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Mounted() {
    if (pid_ > 0 && !exited_) {
      RunCommand({"fusermount3", "-u", at_.string()});
      Wait();
    }
  }
  bool Up() const { return up_; }
  pid_t Pid() const { return pid_; }
  // The exit status, once the process has ended (-1 when it had to be killed).
  int Wait() {
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
    return -1;
  }

 private:
  fs::path at_;
  pid_t pid_ = -1;
  bool up_ = false;
  bool exited_ = false;
};

#ifdef SALVEX_HAVE_FUSE
bool CanMount() { return fs::exists("/dev/fuse") && HaveTool("fusermount3"); }
#else
bool CanMount() { return false; }  // built without libfuse3
#endif

// "HASH  ./path" lines of every file below `top`, sorted: what a user compares by hand.
std::string Hashes(const fs::path& top, bool unreadableFiles = false) {
  auto r = RunCommand({"bash", "-c", "cd \"$1\" && find . -type f ! -name '*.partial' -print0 | LC_ALL=C sort -z | "
                                     "xargs -0 -r sha256sum",
                       "-", top.string()});
  if (!unreadableFiles) {
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
  }
  return r.Out;
}

class CliMount : public TempFolderTest {};

TEST_F(CliMount, FilesUnderTheMountAreWhatSaveWrites) {
  if (!CanMount()) GTEST_SKIP() << "no FUSE here (/dev/fuse, fusermount3, or a build with libfuse3): the mount is not tested";
  struct Case {
    std::string Image;
    std::vector<std::string> Volumes;  // the folder of each volume; "" when the trees are at the top
  };
  const std::vector<Case> cases = {{"demo.img.gz", {"volume-0-FAT16", "volume-1-NTFS"}},
                                   {"fat16.img.gz", {""}},
                                   {"exfat.img.gz", {""}},
                                   {"ntfs.img.gz", {""}},
                                   {"ext4.img.gz", {""}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Image);
    const std::string image = UnpackedImage(c.Image).string();
    const fs::path at = dir / "mnt";
    Mounted mount({image}, at);
    ASSERT_TRUE(mount.Up());
    for (size_t v = 0; v < c.Volumes.size(); ++v) {
      const fs::path top = c.Volumes[v].empty() ? at : at / c.Volumes[v];
      const fs::path saved = dir / ("saved" + std::to_string(v));
      const std::string volume = std::to_string(v);
      ASSERT_EQ(Cli({"save", image, "--volume", volume, "--to", (saved / "Root").string(), "/"}).ExitCode, 0);
      Cli({"save", image, "--volume", volume, "--deleted", "--to", (saved / "Deleted").string(), "/"});
      const std::string root = Hashes(top / "Root");
      EXPECT_FALSE(root.empty());
      EXPECT_EQ(root, Hashes(saved / "Root"));
      // Deleted files whose data is gone fail under the mount (EIO) and are partial in a save.
      const std::string deleted = Hashes(top / "Deleted", true);
      std::istringstream lines(Hashes(saved / "Deleted"));
      for (std::string line; std::getline(lines, line);) EXPECT_NE(deleted.find(line), std::string::npos) << line;

      // rsync keeps names, bytes and times.
      const fs::path copy = dir / ("rsync" + volume);
      auto rsync = RunCommand({"rsync", "-a", (top / "Root").string() + "/", copy.string() + "/"});
      ASSERT_EQ(rsync.ExitCode, 0) << rsync.Err;
      EXPECT_EQ(Hashes(copy), root);
      for (const auto& e : fs::recursive_directory_iterator(saved / "Root"))
        if (e.is_regular_file()) {
          EXPECT_EQ(fs::last_write_time(e.path()), fs::last_write_time(copy / fs::relative(e.path(), saved / "Root")))
              << e.path();
        }
      fs::remove_all(saved);
      fs::remove_all(copy);
    }
  }
}

TEST_F(CliMount, RefusesChangesAndEndsOnSignalOrUnmount) {
  if (!CanMount()) GTEST_SKIP() << "no FUSE here (/dev/fuse, fusermount3, or a build with libfuse3): the mount is not tested";
  const std::string image = UnpackedImage("fat16.img.gz").string();
  const fs::path at = dir / "mnt";
  {
    Mounted mount({image}, at);
    ASSERT_TRUE(mount.Up());
    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"touch", (at / "Root/new").string()}, {"mkdir", (at / "Root/new").string()},
          {"rm", "-rf", (at / "Root").string()}}) {
      auto r = RunCommand(change);
      EXPECT_NE(r.ExitCode, 0) << change[0];
      EXPECT_NE(r.Err.find("Read-only file system"), std::string::npos) << r.Err;
    }
    EXPECT_TRUE(fs::exists(at / "Root"));
    kill(mount.Pid(), SIGTERM);
    EXPECT_EQ(mount.Wait(), 0);
  }
  EXPECT_TRUE(fs::is_empty(at)) << "still mounted after SIGTERM";
  {
    Mounted mount({image, "--volume", "0"}, at);
    ASSERT_TRUE(mount.Up());
    ASSERT_EQ(RunCommand({"fusermount3", "-u", at.string()}).ExitCode, 0);
    EXPECT_EQ(mount.Wait(), 0);
  }
  // A folder that is not there is said before anything is mounted.
  auto r = Cli({"mount", image, (dir / "missing").string(), "-f"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("is not a folder"), std::string::npos) << r.Err;
}

}  // namespace
