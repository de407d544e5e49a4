#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <cctype>
#include <filesystem>

#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/Fixtures.h"

namespace salvex::test {
namespace {

using Entry = std::tuple<uint64_t, uint64_t, unsigned>;  // start, length, type

// Data partitions as mmls lists them ("000:001   0000018432   0000026623   0000008192   NTFS (0x07)").
std::set<Entry> MmlsPartitions(const std::string& out) {
  std::set<Entry> entries;
  std::regex row(R"(^\d+:\s+\d+:\d+\s+(\d+)\s+(\d+)\s+(\d+)\s+.*\(0x([0-9a-fA-F]{2})\))");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      entries.insert({std::stoull(m[1]), std::stoull(m[3]), unsigned(std::stoul(m[4], nullptr, 16))});
  }
  return entries;
}

// Our listing without the extended links (mmls shows those as table metadata).
std::set<Entry> CliPartitions(const std::string& out) {
  std::set<Entry> entries;
  std::istringstream in(out);
  std::string header;
  std::getline(in, header);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    uint64_t table, start, end, sectors;
    int slot;
    std::string type, kind;
    if (!(f >> table >> slot >> type >> start >> end >> sectors >> kind)) continue;
    if (kind != "extended") entries.insert({start, sectors, unsigned(std::stoul(type, nullptr, 16))});
  }
  return entries;
}

class PartitionsOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(PartitionsOracle, CliAgreesWithMmls) {
  if (!HaveTool("mmls")) GTEST_SKIP() << "mmls not installed";
  std::string image = UnpackedImage(GetParam()).string();
  CommandResult mmls = RunCommand({"mmls", image});
  ASSERT_EQ(mmls.ExitCode, 0) << mmls.Err;
  CommandResult ours = RunCommand({SALVEX_CLI_PATH, "partitions", image});
  ASSERT_EQ(ours.ExitCode, 0) << ours.Err;
  auto expected = MmlsPartitions(mmls.Out);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(CliPartitions(ours.Out), expected) << ours.Out << "\n" << mmls.Out;
}

INSTANTIATE_TEST_SUITE_P(Images, PartitionsOracle,
                         ::testing::Values("demo.img.gz", "mbr-extended.img.gz", "ext-mbr.img.gz",
                                           "third-party/ntfs-samples/ntfs-lastaccess.raw.gz"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = std::filesystem::path(info.param).stem().stem().string();
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(PartitionsOracleFaults, RandomBytesHoldNoTable) {
  // 1000 bytes without 55 AA: mmls refuses them, and so do we (no entry listed).
  std::filesystem::path path = std::filesystem::temp_directory_path() / ("salvex-random-" + std::to_string(getpid()));
  {
    std::ofstream out(path, std::ios::binary);
    uint32_t x = 12345;
    for (int i = 0; i < 1000; ++i) {
      x = x * 1103515245u + 12345u;
      out.put(char(x >> 24));
    }
  }
  CommandResult ours = RunCommand({SALVEX_CLI_PATH, "partitions", "--as", "disk", path.string()});
  if (HaveTool("mmls")) {
    EXPECT_NE(RunCommand({"mmls", path.string()}).ExitCode, 0);
  }
  std::filesystem::remove(path);
  EXPECT_EQ(ours.ExitCode, 0) << ours.Err;
  EXPECT_TRUE(CliPartitions(ours.Out).empty()) << ours.Out;
}

TEST(CliBasics, ExitStatusAndOneLineErrors) {
  CommandResult missing = RunCommand({SALVEX_CLI_PATH, "devices", "/nonexistent/image.img"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_EQ(missing.Err, "salvex-cli: cannot open '/nonexistent/image.img': No such file or directory\n");
  CommandResult dir = RunCommand({SALVEX_CLI_PATH, "devices", "/"});
  EXPECT_EQ(dir.ExitCode, 1);
  EXPECT_NE(dir.Err.find("Is a directory"), std::string::npos);
  EXPECT_EQ(RunCommand({SALVEX_CLI_PATH, "no-such-command"}).ExitCode, 2);
  EXPECT_EQ(RunCommand({SALVEX_CLI_PATH, "partitions"}).ExitCode, 2);
  CommandResult version = RunCommand({SALVEX_CLI_PATH, "--version"});
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_EQ(version.Out.rfind("salvex-cli ", 0), 0u);
  CommandResult volume = RunCommand({SALVEX_CLI_PATH, "partitions", UnpackedImage("fat16.img.gz").string()});
  EXPECT_EQ(volume.ExitCode, 1);
  EXPECT_NE(volume.Err.find("no partition table"), std::string::npos);
}

TEST(CliBasics, DevicesListsImagesWithSizeAndKind) {
  std::string disk = UnpackedImage("demo.img.gz").string();
  std::string vol = UnpackedImage("fat12.img.gz").string();
  CommandResult r = RunCommand({SALVEX_CLI_PATH, "devices", disk, vol});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("fixed disk #1   (24.00 MB)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Windows drive C:   (1.41 MB)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("49152"), std::string::npos);  // sectors of the disk
}

}  // namespace
}  // namespace salvex::test
