// GPT disks, 4096-byte sectors and disks over 2 TiB, built at run time by real tools (sfdisk,
// mkfs.fat, mkntfs, ntfscp, mtools) from the committed demo image or fresh volumes, and checked
// against mmls and the manifests through the command line.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

CommandResult Cli(std::vector<std::string> args) {
  args.insert(args.begin(), SALVEX_CLI_PATH);
  return RunCommand(args);
}

using Row = std::tuple<unsigned, uint64_t, uint64_t, std::string>;  // entry, start, sectors, name

// mmls rows of a GPT ("004:  000  0000002048  0000026623  0000024576  Demo FAT"), in 512-byte units.
std::set<Row> MmlsRows(const std::string& out) {
  std::set<Row> rows;
  std::regex row(R"(^\d+:\s+(\d{3})\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      rows.insert({unsigned(std::stoul(m[1])), std::stoull(m[2]), std::stoull(m[4]), m[5].str()});
  }
  return rows;
}

// Our GPT rows, scaled to 512-byte units as mmls shows them.
std::set<Row> CliRows(const std::string& out, uint64_t scale) {
  std::set<Row> rows;
  std::regex row(R"(^(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+.*\s[0-9A-F-]{36}\s+[0-9A-F-]{36}\s+\S+\s+(.*)$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      rows.insert({unsigned(std::stoul(m[1])), std::stoull(m[2]) * scale, std::stoull(m[4]) * scale, m[5].str()});
  }
  return rows;
}

// (first sector, file system) of each volume of `salvex-cli volumes`.
std::vector<std::pair<uint64_t, std::string>> VolumeRows(const std::string& out) {
  std::vector<std::pair<uint64_t, std::string>> rows;
  std::regex row(R"(\s(\d+)\s+(\d+)\s+(FAT\S*|NTFS)\s+\S+\s+\S+\s*$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back({std::stoull(m[1]), m[3].str()});
  }
  return rows;
}

std::vector<std::string> ToolsMissing(std::initializer_list<const char*> tools) {
  std::vector<std::string> missing;
  for (const char* t : tools)
    if (!HaveTool(t)) missing.push_back(t);
  return missing;
}

struct GptDisks : ::testing::Test {
  fs::path dir;
  GptDisks() {
    char tmpl[] = "/tmp/salvex-gpt-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~GptDisks() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // Runs a bash script in `dir`; the test fails with its output when it does.
  void Sh(const std::string& script) {
    CommandResult r = RunCommand({"bash", "-euo", "pipefail", "-c", "cd '" + dir.string() + "'\n" + script});
    ASSERT_EQ(r.ExitCode, 0) << script << "\n" << r.Out << r.Err;
  }
  std::string Demo() { return UnpackedImage("demo.img.gz").string(); }

  // A 26 MiB GPT disk (sfdisk) holding the demo image's FAT16 and NTFS volumes at their old
  // sectors, plus a Linux partition that must be listed but not opened.
  fs::path MakeDemoGpt() {
    Sh(R"(truncate -s 26M gpt.img
sfdisk -q --no-reread --no-tell-kernel gpt.img <<'EOF'
label: gpt
label-id: 5A1F0E00-0000-4000-8000-000000000001
unit: sectors
start=2048, size=24576, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Demo FAT", uuid=5A1F0E00-0000-4000-8000-0000000000F1
start=26624, size=22528, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Demo NTFS", uuid=5A1F0E00-0000-4000-8000-0000000000F2
start=49152, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="Linux data"
EOF
dd if=')" + Demo() + R"(' of=gpt.img bs=512 skip=2048 seek=2048 count=47104 conv=notrunc status=none)");
    return dir / "gpt.img";
  }

  void ExpectSaved(const fs::path& image, int volume, const std::string& file, const std::string& sha256,
                   std::vector<std::string> extra = {}) {
    fs::path target = dir / ("saved-" + std::to_string(volume));
    std::vector<std::string> args{"save", image.string(), "--volume", std::to_string(volume), "--to", target.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file);
    CommandResult r = Cli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    fs::path saved = target / fs::path(file).filename();
    ASSERT_TRUE(fs::exists(saved)) << r.Out;
    EXPECT_EQ(Sha256OfFile(saved), sha256) << file;
  }
};

TEST_F(GptDisks, ListingAgreesWithMmlsAndVolumesOpen) {
  auto missing = ToolsMissing({"sfdisk", "mmls"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  CommandResult ours = Cli({"partitions", img.string()});
  ASSERT_EQ(ours.ExitCode, 0) << ours.Err;
  CommandResult mmls = RunCommand({"mmls", img.string()});
  ASSERT_EQ(mmls.ExitCode, 0) << mmls.Err;
  auto expected = MmlsRows(mmls.Out);
  ASSERT_EQ(expected.size(), 3u) << mmls.Out;
  EXPECT_EQ(CliRows(ours.Out, 1), expected) << ours.Out;
  EXPECT_EQ(ours.Out.rfind("GPT, 512-byte sectors, header at sector 1\n", 0), 0u) << ours.Out;
  EXPECT_NE(ours.Out.find("basic data           EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 "
                          "5A1F0E00-0000-4000-8000-0000000000F1 FAT    Demo FAT"),
            std::string::npos)
      << ours.Out;
  EXPECT_NE(ours.Out.find("Linux filesystem"), std::string::npos);
  EXPECT_NE(ours.Out.find("NTFS   Demo NTFS"), std::string::npos);

  CommandResult volumes = Cli({"volumes", img.string()});
  ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
  auto rows = VolumeRows(volumes.Out);
  ASSERT_EQ(rows.size(), 2u) << volumes.Out;
  EXPECT_EQ(rows[0].first, 2048u);
  EXPECT_EQ(rows[1].first, 26624u);
  EXPECT_EQ(rows[1].second, "NTFS");
  auto fat = ReadManifest(FixturePath("demo-fat-manifest.txt"));
  auto ntfs = ReadManifest(FixturePath("demo-ntfs-manifest.txt"));
  ExpectSaved(img, 0, "Letters/Invitation.txt", fat["/Letters/Invitation.txt"].Sha256);
  ExpectSaved(img, 1, "Reports/Quarterly.txt", ntfs["/Reports/Quarterly.txt"].Sha256);
}

TEST_F(GptDisks, DamagedPrimaryHeaderFallsBackToTheBackup) {
  auto missing = ToolsMissing({"sfdisk"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  CommandResult good = Cli({"partitions", img.string()});
  ASSERT_EQ(good.ExitCode, 0) << good.Err;
  // One flipped byte in the primary header's disk GUID breaks its checksum.
  Sh("printf '\\x77' | dd of=gpt.img bs=1 seek=$((512 + 60)) conv=notrunc status=none");
  CommandResult r = Cli({"partitions", img.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("header at sector 53247 (backup header used: primary header checksum mismatch)"),
            std::string::npos)
      << r.Out;
  EXPECT_EQ(CliRows(r.Out, 1), CliRows(good.Out, 1));
  EXPECT_EQ(CliRows(r.Out, 1).size(), 3u);
  // A damaged entry array is refused the same way; with both copies gone the MBR is shown.
  Sh("printf '\\x77' | dd of=gpt.img bs=1 seek=$((53247 * 512 + 60)) conv=notrunc status=none");
  CommandResult none = Cli({"partitions", img.string()});
  ASSERT_EQ(none.ExitCode, 0) << none.Err;
  EXPECT_NE(none.Out.find("0xEE"), std::string::npos) << none.Out;
  EXPECT_EQ(none.Out.find("GPT,"), std::string::npos) << none.Out;
}

TEST_F(GptDisks, HybridMbrLeavesTheGptInCharge) {
  auto missing = ToolsMissing({"sfdisk"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  // MBR slot 2: an NTFS entry at sector 26624 that disagrees in size with the GPT's.
  Sh(R"(printf '\x00\x00\x00\x00\x07\x00\x00\x00\x00\x68\x00\x00\x00\x10\x00\x00' |
dd of=gpt.img bs=1 seek=$((0x1CE)) conv=notrunc status=none)");
  CommandResult r = Cli({"partitions", img.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(CliRows(r.Out, 1).size(), 3u) << r.Out;
  CommandResult volumes = Cli({"volumes", img.string()});
  EXPECT_EQ(VolumeRows(volumes.Out).size(), 2u) << volumes.Out;
}

}  // namespace
}  // namespace salvex::test
