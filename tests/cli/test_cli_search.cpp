// The searching commands as a script runs them: lost drives, lost data, name search, and the
// deleted files of an NTFS volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CliSearch : TempFolderTest {
  const fs::path& target = dir;
  // Every file saved below the target, by its path relative to it in lower case (short names are
  // shown in capitals whatever case flags the writing tool set).
  std::map<std::string, std::string> Saved() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(target))
      if (e.is_regular_file()) out[Lower(fs::relative(e.path(), target).string())] = Sha256OfFile(e.path());
    return out;
  }
  static std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
};

TEST_F(CliSearch, LostDrivesFindsTheVolumesOfAZeroedPartitionTable) {
  std::string image = UnpackedImage("lost-mbr-zeroed.img.gz").string();
  auto volumes = Cli({"volumes", image});
  EXPECT_EQ(volumes.Out.find("LOSTFAT16"), std::string::npos);  // nothing before the search
  auto r = Cli({"lost-drives", image});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("LOSTFAT16 (lost)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("22528"), std::string::npos) << r.Out;  // the NTFS partition's start
  // One call finds the lost volume and saves its files.
  auto save = Cli({"save", image, "--search-lost", "--volume", "0", "--to", target.string(), "/"});
  ASSERT_EQ(save.ExitCode, 0) << save.Err << save.Out;
  auto manifest = ReadManifest(FixturePath("lost-mbr-zeroed-p2048-manifest.txt"));
  auto saved = Saved();
  size_t compared = 0;
  for (const auto& [path, e] : manifest) {
    if (e.IsDirectory() || e.State != "live") continue;
    auto it = saved.find(Lower(path.substr(1)));
    ASSERT_NE(it, saved.end()) << path;
    EXPECT_EQ(it->second, e.Sha256) << path;
    ++compared;
  }
  EXPECT_GT(compared, 5u);
}

// The searches read ahead and examine on several threads; what they find, and its order, must not
// depend on how many.
TEST_F(CliSearch, SearchesFindTheSameWhateverTheThreads) {
  struct Case {
    const char* image;
    std::vector<std::string> args;
  } cases[] = {
      {"lost-mbr-zeroed.img.gz", {"lost-drives", "@"}},
      {"lost-fat16-nobootsec.img.gz", {"lost-drives", "@", "--json"}},
      {"fat16-quickformat.img.gz", {"lost-data", "@", "--volume", "0", "--json"}},
      {"carving.img.gz", {"lost-data", "@", "--volume", "0"}},
      {"ntfs-quickformat.img.gz", {"lost-data", "@", "--volume", "0"}},
  };
  for (const Case& c : cases) {
    const std::string image = UnpackedImage(c.image).string();
    std::string first;
    for (const char* threads : {"1", "2", "5"}) {
      std::vector<std::string> args = c.args;
      for (auto& a : args)
        if (a == "@") a = image;
      args.insert(args.end(), {"--threads", threads});
      auto r = Cli(args);
      ASSERT_EQ(r.ExitCode, 0) << c.image << " --threads " << threads << ": " << r.Err;
      if (first.empty()) first = r.Out;
      EXPECT_EQ(r.Out, first) << c.image << " --threads " << threads;
    }
    EXPECT_GT(std::count(first.begin(), first.end(), '\n'), 2) << c.image << ":\n" << first;
  }
}

TEST_F(CliSearch, LostDataSavesTheFoldersOfAQuickFormattedVolume) {
  std::string image = UnpackedImage("fat16-quickformat.img.gz").string();
  auto r = Cli({"lost-data", image, "--volume", "0", "--to", target.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("cluster "), std::string::npos) << r.Out;
  // Every file of a lost folder comes back with its bytes, below "cluster N/".
  auto manifest = ReadManifest(FixturePath("fat16-quickformat-manifest.txt"));
  auto saved = Saved();
  size_t found = 0, lost = 0;
  for (const auto& [path, e] : manifest) {
    if (e.IsDirectory() || e.State != "lost") continue;
    ++lost;
    for (const auto& [rel, sha] : saved)
      if (sha == e.Sha256) {
        ++found;
        break;
      }
  }
  EXPECT_GT(lost, 10u);
  EXPECT_EQ(found, lost);
}

TEST_F(CliSearch, LostDataTakesABackwardRangeInOrder) {
  std::string image = UnpackedImage("fat16-quickformat.img.gz").string();
  // A range given backwards is put in order rather than scanning nothing.
  auto r = Cli({"lost-data", image, "--volume", "0", "--first", "1000", "--last", "2"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("cluster "), std::string::npos) << r.Out;
}

TEST_F(CliSearch, FindListsMatchingNamesOfEveryTree) {
  std::string image = UnpackedImage("demo.img.gz").string();
  auto r = Cli({"find", image, "--volume", "0", "plan"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("Old-Plan.txt"), std::string::npos) << r.Out;
  auto none = Cli({"find", image, "--volume", "0", "*.nothing"});
  EXPECT_EQ(none.Out.find("Old-Plan.txt"), std::string::npos);
}

TEST_F(CliSearch, UndeleteOnNtfsRestoresTheFormerPaths) {
  std::string image = UnpackedImage("demo.img.gz").string();
  auto r = Cli({"undelete", image, "--volume", "1", "--to", target.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
  auto saved = Saved();
  auto manifest = ReadManifest(FixturePath("demo-ntfs-manifest.txt"));
  size_t compared = 0;
  for (const auto& [path, e] : manifest) {
    if (e.IsDirectory() || e.State != "deleted") continue;
    auto it = saved.find(Lower(path.substr(1)));
    ASSERT_NE(it, saved.end()) << path << " not among " << saved.size() << " saved files";
    EXPECT_EQ(it->second, e.Sha256) << path;
    ++compared;
  }
  EXPECT_EQ(compared, 3u);
}

}  // namespace
}  // namespace salvex::test
