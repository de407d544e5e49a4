// salvex-cli mount through the kernel: what find, sha256sum and rsync see under the mount is what
// salvex-cli save writes of the same trees. Runs where /dev/fuse and fusermount3 exist.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "support/Cli.h"

namespace fs = std::filesystem;
using namespace salvex::test;

namespace {

// A mount run in the foreground as a child process, unmounted when the test ends.
class Mounted {
 public:
  // Without `foreground` the command goes to the background once mounted; `errors` receives its
  // stderr when given.
  Mounted(const std::vector<std::string>& args, const fs::path& at, bool foreground = true, const fs::path& errors = {})
      : at_(at) {
    fs::create_directories(at);
    struct stat before {};
    ::stat(at.c_str(), &before);
    pid_ = fork();
    if (pid_ == 0) {
      if (!errors.empty()) {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 2) < 0) _exit(126);
      }
      std::vector<std::string> argv = {SALVEX_CLI_PATH, "mount"};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.push_back(at.string());
      if (foreground) argv.push_back("-f");
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

// --map: a file with a sector the rescue never read fails with EIO under the mount, every other
// file reads as a save of the intact image writes it.
TEST_F(CliMount, ARescueMapMakesTheFilesOverUnreadSectorsFail) {
  if (!CanMount()) GTEST_SKIP() << "no FUSE here (/dev/fuse, fusermount3, or a build with libfuse3): the mount is not tested";
  const std::string image = UnpackedImage("fat16.img.gz").string();
  // Where each file lies, from the DFXML byte runs: the one whose first run starts furthest in.
  const fs::path listing = dir / "ls.xml";
  ASSERT_EQ(Cli({"ls", image, "-r", "--dfxml", listing.string()}).ExitCode, 0);
  std::ifstream in(listing);
  const std::string xml((std::istreambuf_iterator<char>(in)), {});
  const std::regex object("<fileobject>([\\s\\S]*?)</fileobject>");
  const std::regex name("<filename>([^<]*)</filename>"), run("img_offset=\"(\\d+)\"");
  std::string victim;
  uint64_t sector = 0;
  for (std::sregex_iterator it(xml.begin(), xml.end(), object), end; it != end; ++it) {
    const std::string body = (*it)[1];
    std::smatch n, r;
    if (std::regex_search(body, n, name) && std::regex_search(body, r, run) && std::stoull(r[1]) / 512 > sector) {
      sector = std::stoull(r[1]) / 512;
      victim = n[1];
    }
  }
  ASSERT_FALSE(victim.empty());
  if (victim[0] == '/') victim.erase(0, 1);
  const fs::path map = dir / "rescue.map";
  std::ofstream(map) << "0 +\n0x0 0x" << std::hex << sector * 512 << " +\n0x" << sector * 512 << " 0x200 -\n0x"
                     << (sector + 1) * 512 << " 0x" << fs::file_size(image) - (sector + 1) * 512 << " +\n";
  const fs::path saved = dir / "saved";
  ASSERT_EQ(Cli({"save", image, "--to", saved.string(), "/"}).ExitCode, 0);
  fs::remove(saved / victim);

  const fs::path at = dir / "mnt";
  Mounted mount({image, "--map", map.string()}, at);
  ASSERT_TRUE(mount.Up());
  auto cat = RunCommand({"cat", (at / "Root" / victim).string()});
  EXPECT_NE(cat.ExitCode, 0) << victim;
  EXPECT_NE(cat.Err.find("Input/output error"), std::string::npos) << cat.Err;
  // The others: hashed one by one (the victim left out), as a save of the intact image wrote them.
  auto others = RunCommand({"bash", "-c",
                            "cd \"$1\" && find . -type f ! -path \"./$2\" -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum",
                            "-", (at / "Root").string(), victim});
  EXPECT_EQ(others.ExitCode, 0) << others.Err;
  EXPECT_FALSE(others.Out.empty());
  EXPECT_EQ(others.Out, Hashes(saved));
}

// Without -f the mount goes to the background, yet the lost-data search that the first visit to
// Lost starts still tells the terminal what it does and what it found.
TEST_F(CliMount, InTheBackgroundTheLostSearchStillReportsOnStderr) {
  if (!CanMount()) GTEST_SKIP() << "no FUSE here (/dev/fuse, fusermount3, or a build with libfuse3): the mount is not tested";
  const std::string image = UnpackedImage("fat16-quickformat.img.gz").string();
  const fs::path at = dir / "mnt", errors = dir / "stderr.txt";
  Mounted mount({image}, at, false, errors);
  ASSERT_TRUE(mount.Up());
  EXPECT_EQ(mount.Wait(), 0) << "the starting process ends once mounted";
  auto ls = RunCommand({"ls", (at / "Lost").string()});
  EXPECT_EQ(ls.ExitCode, 0) << ls.Err;
  ASSERT_EQ(RunCommand({"fusermount3", "-u", at.string()}).ExitCode, 0);
  std::ifstream in(errors);
  const std::string said((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(said.find("for lost folders and files"), std::string::npos) << said;
  EXPECT_NE(said.find("the lost-data search found"), std::string::npos) << said;
}

// Lost files have no chain in the FAT a quick format wrote: the mount reads them as consecutive
// clusters, as lost-data --to saves them. One file written after the format keeps that FAT in use.
TEST_F(CliMount, LostFilesOfAQuickFormattedFatAreWhatLostDataSaves) {
  if (!CanMount()) GTEST_SKIP() << "no FUSE here (/dev/fuse, fusermount3, or a build with libfuse3): the mount is not tested";
  if (!HaveTool("mcopy")) GTEST_SKIP() << "mtools not installed";
  const std::string image = (dir / "reused.img").string();
  fs::copy_file(UnpackedImage("fat16-quickformat.img.gz"), image);
  std::ofstream(dir / "new.txt") << std::string(3000, 'n');
  ASSERT_EQ(RunCommand({"env", "MTOOLS_SKIP_CHECK=1", "mcopy", "-i", image, (dir / "new.txt").string(), "::/new.txt"}).ExitCode, 0);
  const fs::path saved = dir / "saved";
  auto lost = Cli({"lost-data", image, "--to", saved.string()});
  ASSERT_EQ(lost.ExitCode, 0) << lost.Err;
  const fs::path at = dir / "mnt";
  Mounted mount({image}, at);
  ASSERT_TRUE(mount.Up());
  const std::string shown = Hashes(at / "Lost", true);
  const std::string want = Hashes(saved);
  EXPECT_FALSE(want.empty());
  EXPECT_EQ(shown, want);
}

}  // namespace
