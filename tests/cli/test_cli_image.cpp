// salvex-cli image and --map end to end on real files: a ddrescue map is continued, GNU ddrescue
// reads ours, and a file that touches bytes never read is never saved as good.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "disk/RescueMap.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The GPT fixture: EARLY.TXT in the second volume's first cluster, LATE.BIN from sector 8241 on.
struct CliImage : TempFolderTest {
  fs::path disk = UnpackedImage("gpt-named.img.gz");
};

TEST_F(CliImage, CopiesAGoodDiskWholeAndContinuesAnExistingMap) {
  const fs::path target = dir / "copy.img", map = dir / "copy.map";
  CommandResult r = Cli({"image", disk.string(), target.string(), "--map", map.string(), "--json"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const auto summary = nlohmann::json::parse(r.Out)["image"];
  EXPECT_EQ(summary["rescued"], fs::file_size(disk));
  EXPECT_EQ(summary["finished"], true);
  EXPECT_EQ(Read(target), Read(disk));
  if (HaveTool("ddrescuelog")) {
    EXPECT_EQ(RunCommand({"ddrescuelog", "-D", map.string()}).ExitCode, 0);
  }

  // A map (as ddrescue writes it) that says the first half is rescued: only the rest is read, and
  // the first half of the target is left as it was (zeros here).
  const uint64_t size = fs::file_size(disk), half = size / 2;
  const fs::path partial = dir / "partial.img", partialMap = dir / "partial.map";
  std::ofstream(partial, std::ios::binary).close();
  std::ofstream(partialMap) << "# Mapfile. Created by GNU ddrescue version 1.27\n0x" << std::hex << half
                            << "     ?               1\n0x00000000  0x" << half << "  +\n0x" << half << "  0x"
                            << (size - half) << "  ?\n";
  r = Cli({"image", disk.string(), partial.string(), "--map", partialMap.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const std::string copied = Read(partial), original = Read(disk);
  ASSERT_EQ(copied.size(), original.size());
  EXPECT_EQ(copied.substr(half), original.substr(half));
  EXPECT_EQ(copied.substr(0, half), std::string(half, '\0'));
}

TEST_F(CliImage, RefusesTargetsAndMapsThatDoNotBelong) {
  const fs::path map = dir / "m.map";
  CommandResult self = Cli({"image", disk.string(), disk.string(), "--map", map.string()});
  EXPECT_EQ(self.ExitCode, 2) << self.Err;
  EXPECT_NE(self.Err.find("the target is the source itself"), std::string::npos) << self.Err;
  const fs::path existing = dir / "old.img";
  std::ofstream(existing) << "older work";
  CommandResult noMap = Cli({"image", disk.string(), existing.string(), "--map", map.string()});
  EXPECT_EQ(noMap.ExitCode, 1);
  EXPECT_NE(noMap.Err.find("exists but the map"), std::string::npos) << noMap.Err;
  EXPECT_EQ(Read(existing), "older work");
  std::ofstream(map) << "0 ?\n0 0x20000000 ?\n";  // 512 MiB: another disk's map
  CommandResult big = Cli({"image", disk.string(), (dir / "new.img").string(), "--map", map.string()});
  EXPECT_EQ(big.ExitCode, 1);
  EXPECT_NE(big.Err.find("is it the map of another disk"), std::string::npos) << big.Err;
}

// Sectors 9000-9099 were never read: they lie in LATE.BIN (ifind says which file holds them), so
// that file is not saved as good, and every other file is saved byte-exact.
TEST_F(CliImage, SaveWithAMapNamesTheFilesThatTouchUnreadSectors) {
  const uint64_t size = fs::file_size(disk), first = 9000 * 512, last = 9100 * 512;
  const fs::path map = dir / "disk.map";
  std::ofstream(map) << std::hex << "0 +\n0 0x" << first << " +\n0x" << first << " 0x" << (last - first)
                     << " -\n0x" << last << " 0x" << (size - last) << " +\n";
  if (HaveTool("ifind") && HaveTool("ffind")) {
    for (uint64_t sector : {9000, 9099}) {
      CommandResult inode = RunCommand({"ifind", "-o", "8192", "-d", std::to_string(sector - 8192), disk.string()});
      ASSERT_EQ(inode.ExitCode, 0) << inode.Err;
      CommandResult name = RunCommand({"ffind", "-o", "8192", disk.string(), inode.Out.substr(0, inode.Out.find('\n'))});
      EXPECT_EQ(name.Out, "/LATE.BIN\n");
    }
  }
  const fs::path out = dir / "saved";
  CommandResult r = Cli({"save", disk.string(), "--map", map.string(), "--volume", "1", "--to", out.string(), "/"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("LATE.BIN"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("EARLY.TXT"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("0 partial, 1 failed"), std::string::npos) << r.Out;
  EXPECT_NE(r.Err.find("51200 bytes were never read from the disk (sectors 9000–9099)"), std::string::npos) << r.Err;
  CommandResult early = Cli({"cat", disk.string(), "--volume", "1", "/EARLY.TXT"});
  EXPECT_EQ(Read(out / "EARLY.TXT"), early.Out);
  // Without the map the same image gives LATE.BIN whole: the map alone made it unreadable.
  CommandResult plain = Cli({"save", disk.string(), "--volume", "1", "--to", (dir / "plain").string(), "/"});
  EXPECT_EQ(plain.ExitCode, 0) << plain.Err;
  // A map of another size is refused rather than applied to the wrong bytes.
  std::ofstream(dir / "small.map") << "0 +\n0 0x200 +\n";
  CommandResult wrong = Cli({"ls", disk.string(), "--map", (dir / "small.map").string(), "--volume", "1"});
  EXPECT_EQ(wrong.ExitCode, 1);
  EXPECT_NE(wrong.Err.find("give the map written with this image"), std::string::npos) << wrong.Err;
}

// The lost-drive search over a map with unread regions: each region is said once with its range
// and skipped, the volumes beyond it are found, and a search that stopped early, or found nothing
// while skipping, is not exit 0.
TEST_F(TempFolderTest, LostDrivesSkipsUnreadRegionsOfAMap) {
  const fs::path disk = UnpackedImage("lost-mbr-zeroed.img.gz");  // FAT16 at 2048, NTFS at 22528
  const uint64_t size = fs::file_size(disk);
  auto mapWithBad = [&](uint64_t first, uint64_t end, const char* name) {
    const fs::path map = dir / name;
    std::ofstream out(map);
    out << std::hex << "0 +\n0 0x" << first * 512 << " +\n0x" << first * 512 << " 0x" << (end - first) * 512 << " -\n";
    if (end * 512 < size) out << "0x" << end * 512 << " 0x" << size - end * 512 << " +\n";
    return map.string();
  };
  struct Case {
    const char* name;
    std::string map;
    std::vector<std::string> extra;
    int exit;
    const char* says;
    std::vector<uint64_t> found;  // first sectors of lost volumes found by their boot sector
  };
  const Case cases[] = {
      {"skipped, volumes found", mapWithBad(100, 228, "a.map"), {}, 0,
       "1 unreadable region (128 sectors) skipped", {2048, 22528}},
      {"abort stops there", mapWithBad(100, 228, "a.map"), {"--on-read-error", "abort"}, 1,
       "stopped at unreadable sector 100, sectors 100-", {}},
      {"nothing found while skipping", mapWithBad(1000, size / 512, "b.map"), {}, 1, "image the disk first", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"lost-drives", disk.string(), "--map", c.map, "--json"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CommandResult r = Cli(args);
    EXPECT_EQ(r.ExitCode, c.exit) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
    size_t said = 0;
    for (const auto& line : Lines(r.Err)) said += line.find("cannot be read") != std::string::npos;
    EXPECT_EQ(said, 1u) << r.Err;
    std::vector<uint64_t> found;
    const auto doc = nlohmann::json::parse(r.Out);
    for (const auto& v : doc["volumes"])
      if (std::string(v["label"]).find("(lost)") != std::string::npos) found.push_back(v["first_sector"].get<uint64_t>());
    EXPECT_EQ(found, c.found);
  }
}

}  // namespace
}  // namespace salvex::test
