// The command line on crafted volumes: names that hold terminal escapes, and folders that share
// their clusters so that a recursive listing would never end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "fat/FatImage.h"
#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CliHostile : TempFolderTest {
  fs::path Write(const FatImage& img) {
    const fs::path path = dir / "image.img";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.bytes.data()), std::streamsize(img.bytes.size()));
    return path;
  }
  // Runs the command line under a time limit, so that a walk that never ends fails the test.
  static CommandResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"timeout", "120", SALVEX_CLI_PATH});
    return RunCommand(args);
  }
};

TEST_F(CliHostile, ControlCharactersInNamesAreNeverPrintedRaw) {
  FatImage img{FatGeometry{}};
  std::memcpy(img.bytes.data() + 0x2B, "EVIL\x1b[2J\x07  ", 11);
  img.AddToDir(0, FatImage::Record("EVIL\x1b[2J\x07  ", 0x08, 0, 0));
  const std::string evil = "red\x1b[31m\x07\x7f.txt";
  img.AddLongEntry(0, evil, "RED~1   TXT", 0x20, 6, 5);
  img.Chain({6});
  std::memcpy(img.Cluster(6), "hello", 5);
  const fs::path image = Write(img);

  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"ls", image.string(), "-r"}, {"volumes", image.string()},
        {"ls", image.string(), "--bodyfile"}}) {
    SCOPED_TRACE(command[0]);
    const CommandResult r = Cli(command);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    for (char c : r.Out + r.Err) EXPECT_FALSE((unsigned char)c < 0x20 && c != '\n' && c != '\t') << int(c);
    EXPECT_EQ((r.Out + r.Err).find('\x7f'), std::string::npos);
  }
  const CommandResult listing = Cli({"ls", image.string()});
  EXPECT_NE(listing.Out.find("red\\x1b[31m\\x07\\x7f.txt"), std::string::npos) << listing.Out;

  // JSON keeps the name itself, escaped the JSON way.
  const CommandResult json = Cli({"ls", image.string(), "--json"});
  ASSERT_EQ(json.ExitCode, 0) << json.Err;
  EXPECT_EQ(json.Out.find('\x1b'), std::string::npos);
  bool found = false;
  const auto doc = nlohmann::json::parse(json.Out);
  for (const auto& item : doc["items"]) found = found || item["name"] == evil;
  EXPECT_TRUE(found) << json.Out;

  // Saved under a name without the control characters.
  const fs::path out = dir / "out";
  const CommandResult save = Cli({"save", image.string(), "--to", out.string(), "-q", evil});
  ASSERT_EQ(save.ExitCode, 0) << save.Err;
  EXPECT_TRUE(fs::exists(out / "red_[31m__.txt"));
}

// Folders whose entries point at the same clusters would make a tree that doubles at every level:
// each folder cluster is entered once, the second entry reaching it is listed once, poor.
TEST_F(CliHostile, RecursiveListingOfFoldersThatShareClustersEnds) {
  FatImage img{FatGeometry{}};
  const uint32_t levels = 24;
  img.AddToDir(0, FatImage::Record("A          ", 0x10, 10, 0));
  for (uint32_t k = 0; k < levels; ++k) {
    const uint32_t c = 10 + k;
    img.MakeDirCluster(c, k == 0 ? 0 : c - 1);
    img.Chain({c});
    if (k + 1 < levels) {
      img.AddToDir(c, FatImage::Record("L          ", 0x10, c + 1, 0));
      img.AddToDir(c, FatImage::Record("R          ", 0x10, c + 1, 0));
    }
  }
  const fs::path image = Write(img);
  const CommandResult r = Cli({"ls", image.string(), "-r", "-q"});
  EXPECT_EQ(r.ExitCode, 0) << r.Err;
  const size_t lines = size_t(std::count(r.Out.begin(), r.Out.end(), '\n'));
  EXPECT_EQ(lines, 1 + 1 + 2 * (levels - 1)) << r.Out;  // header, A, then L and R per level
  size_t poor = 0;
  for (size_t at = 0; (at = r.Out.find("/R/\t", at)) != std::string::npos; ++at)
    poor += r.Out.find("poor", at) < r.Out.find('\n', at);
  EXPECT_EQ(poor, levels - 1) << r.Out;
}

}  // namespace
}  // namespace salvex::test
