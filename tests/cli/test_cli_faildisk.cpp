// salvex-cli image from a failing disk: tests/faildisk serves the demo disk through FUSE with a
// bad range and weak sectors, and the image, its map and map-files over them must agree with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "disk/RescueMap.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(TempFolderTest, ImagesAFailingDiskServedThroughFuse) {
  const std::string faildisk = SALVEX_FAILDISK_PATH;
  if (faildisk.empty()) GTEST_SKIP() << "skipped: salvex-faildisk was not built (libfuse3-dev is missing)";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "skipped: /dev/fuse is absent or not usable here";
  const fs::path source = UnpackedImage("demo.img.gz"), mnt = dir / "mnt";
  fs::create_directory(mnt);
  // Sectors 2158-2166 always fail (in the FAT volume's two JPEGs); 30296-30299 (an NTFS file's
  // cluster) fail twice each and then read.
  CommandResult mounted =
      RunCommand({faildisk, source.string(), mnt.string(), "--bad", "2158-2166", "--weak", "30296-30299:2"});
  if (mounted.ExitCode != 0) GTEST_SKIP() << "skipped: the FUSE mount was refused: " << mounted.Err;
  struct Unmount {
    fs::path at;
    ~Unmount() {
      if (RunCommand({"umount", at.string()}).ExitCode != 0) RunCommand({"fusermount3", "-u", at.string()});
    }
  } unmount{mnt};

  const fs::path image = dir / "disk.img", map = dir / "disk.map";
  CommandResult r = Cli({"image", (mnt / "disk").string(), image.string(), "--map", map.string(), "--retries", "2", "--json"});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;  // bytes are missing
  const auto summary = nlohmann::json::parse(r.Out)["image"];
  const uint64_t size = fs::file_size(source), badFirst = 2158 * 512, badEnd = 2167 * 512;
  EXPECT_EQ(summary["rescued"], size - (badEnd - badFirst));
  EXPECT_EQ(summary["bad_sector"], badEnd - badFirst);

  TRescueMap rescued;
  std::string why;
  ASSERT_TRUE(LoadRescueMap(map.string(), rescued, why)) << why;
  const std::vector<TRescueBlock> unread = rescued.Unrescued(0, size);
  ASSERT_EQ(unread.size(), 1u);
  EXPECT_EQ(unread[0].Pos, badFirst);
  EXPECT_EQ(unread[0].End(), badEnd);
  const std::string original = ReadAll(source), copy = ReadAll(image);
  ASSERT_EQ(copy.size(), original.size());
  EXPECT_TRUE(copy.substr(0, badFirst) == original.substr(0, badFirst));
  EXPECT_TRUE(copy.substr(badEnd) == original.substr(badEnd));
  // Every byte passed through the stand-in (a FUSE request carries at most 128 KiB), and the
  // failures it answered are the ones counted.
  std::ifstream stats(mnt / "stats");
  std::string word;
  uint64_t reads = 0, errors = 0;
  stats >> word >> reads >> word >> errors;
  EXPECT_GE(reads, size / (128 * 1024));
  EXPECT_EQ(errors, summary["read_errors"]);

  // The files in the bad range are what map-files names over the image and its map.
  CommandResult files = Cli({"map-files", image.string(), "--map", map.string(), "--no-lost"});
  ASSERT_EQ(files.ExitCode, 0) << files.Err;
  std::vector<std::string> paths;
  for (const std::string& line : Lines(files.Out)) paths.push_back(line.substr(0, line.find('\t', line.find('\t', 2) + 1)));
  EXPECT_EQ(paths, (std::vector<std::string>{"0\tdeleted\tPictures/Sunset-Deleted.jpg", "0\troot\tPictures/harbour.jpg"}));
}

}  // namespace
}  // namespace salvex::test
