// Disk images cut short: a partition entry that runs past the end is listed as mmls lists it, with
// a warning, and its volume is opened and read up to the end of the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;
using Extent = std::pair<uint64_t, uint64_t>;  // first sector, sectors

// Partitions as mmls lists them: rows whose slot is a table:entry ("000:001") or a GPT index.
std::set<Extent> MmlsExtents(const std::string& out) {
  std::set<Extent> extents;
  std::regex row(R"(^\d+:\s+(\d+:\d+|\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) extents.insert({std::stoull(m[2]), std::stoull(m[4])});
  }
  return extents;
}

struct CutCase {
  const char* name;
  const char* fixture;
  uint64_t keptSectors;
  size_t pastEnd;        // entries that run past the new end (extended links included)
  size_t volumes;        // volumes listed on the cut disk
  uint64_t cutVolumeStart;
};

class PartitionsCut : public TempFolderTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(PartitionsCut, EntriesPastTheEndAreListedWarnedAndOpened) {
  const CutCase& c = GetParam();
  const fs::path cut = dir / "cut.img";
  fs::copy_file(UnpackedImage(c.fixture), cut);
  fs::resize_file(cut, c.keptSectors * 512);

  CommandResult parts = Cli({"partitions", "--json", cut.string()});
  ASSERT_EQ(parts.ExitCode, 0) << parts.Err;
  std::set<Extent> ours;
  size_t warned = 0;
  const auto doc = nlohmann::json::parse(parts.Out);
  for (const auto& p : doc["partitions"]) {
    if (p["kind"] != "extended") ours.insert(Extent(p["first_sector"].get<uint64_t>(), p["sectors"].get<uint64_t>()));
    if (p.contains("warning")) ++warned;
  }
  EXPECT_EQ(warned, c.pastEnd) << parts.Out;
  if (HaveTool("mmls")) {
    CommandResult mmls = RunCommand({"mmls", cut.string()});
    ASSERT_EQ(mmls.ExitCode, 0) << mmls.Err;
    EXPECT_EQ(ours, MmlsExtents(mmls.Out)) << mmls.Out;
  }
  CommandResult text = Cli({"partitions", cut.string()});
  EXPECT_NE(text.Err.find("runs past the end of the device"), std::string::npos) << text.Err;

  CommandResult volumes = Cli({"volumes", "--json", cut.string()});
  ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
  const auto listed = nlohmann::json::parse(volumes.Out)["volumes"];
  ASSERT_EQ(listed.size(), c.volumes) << volumes.Out;
  const auto& last = listed.back();
  EXPECT_EQ(last["first_sector"].get<uint64_t>(), c.cutVolumeStart);
  EXPECT_EQ(last["sectors"].get<uint64_t>(), c.keptSectors - c.cutVolumeStart);  // read up to the image's end
  CommandResult ls = Cli({"ls", cut.string(), "--volume", std::to_string(c.volumes - 1)});
  EXPECT_EQ(ls.ExitCode, 0) << ls.Err;
  EXPECT_GT(Lines(ls.Out).size(), 1u) << ls.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Images, PartitionsCut,
    ::testing::Values(CutCase{"mbr_primary", "demo.img.gz", 40000, 1, 2, 26624},
                      CutCase{"mbr_extended_chain", "mbr-extended.img.gz", 110000, 3, 4, 100352},
                      CutCase{"gpt_backup_gone", "gpt-named.img.gz", 12000, 1, 2, 8192}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// The files at the start of a cut volume are whole; one that reaches past the end is not saved
// as good. Checked against icat on the image before the cut.
TEST_F(TempFolderTest, CutGPTVolumeSavesItsEarlyFilesWhole) {
  const fs::path whole = UnpackedImage("gpt-named.img.gz");
  const fs::path cut = dir / "cut.img";
  fs::copy_file(whole, cut);
  fs::resize_file(cut, 12000 * 512);
  CommandResult early = Cli({"cat", cut.string(), "--volume", "1", "/EARLY.TXT"});
  ASSERT_EQ(early.ExitCode, 0) << early.Err;
  EXPECT_EQ(early.Out.size(), 1500u);
  if (HaveTool("icat")) {
    EXPECT_EQ(early.Out, RunCommand({"icat", "-o", "8192", whole.string(), "4"}).Out);
  }
  CommandResult late = Cli({"save", cut.string(), "--volume", "1", "/LATE.BIN", "--to", (dir / "out").string()});
  EXPECT_NE(late.ExitCode, 0) << late.Out;
  EXPECT_FALSE(fs::exists(dir / "out" / "LATE.BIN"));
}

// An NTFS volume cut before its root folder's index: the root is unreadable, not empty.
TEST_F(TempFolderTest, CutNTFSRootIsAFailureNotAnEmptyFolder) {
  const fs::path cut = dir / "cut.img";
  fs::copy_file(UnpackedImage("demo.img.gz"), cut);
  fs::resize_file(cut, 28672 * 512);  // the MFT's start stays, the root's index blocks do not
  CommandResult ls = Cli({"ls", cut.string(), "--volume", "1"});
  EXPECT_EQ(ls.ExitCode, 1) << ls.Out;
  EXPECT_NE(ls.Err.find("Root: the folder could not be read whole"), std::string::npos) << ls.Err;
  CommandResult save = Cli({"save", cut.string(), "--volume", "1", "/", "--to", (dir / "out").string()});
  EXPECT_EQ(save.ExitCode, 1) << save.Out;
  EXPECT_NE(save.Out.find("1 folder(s) unreadable"), std::string::npos) << save.Out;
  // The lost-data search says that its range ends early too.
  CommandResult lost = Cli({"lost-data", cut.string(), "--volume", "1", "--no-files"});
  EXPECT_NE(lost.Err.find("the volume was cut to the device"), std::string::npos) << lost.Err;
}

// GPT names are the disk's bytes: terminal controls in them are shown escaped, as other names are.
TEST(PartitionsNames, GPTNamesAreEscapedForTheTerminal) {
  CommandResult r = Cli({"partitions", UnpackedImage("gpt-named.img.gz").string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("evil\\x1b[31mred\\x07\\u009bx"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.Out.find('\x07'), std::string::npos);
  EXPECT_EQ(r.Out.find("\xc2\x9b"), std::string::npos);
}

}  // namespace
}  // namespace salvex::test
