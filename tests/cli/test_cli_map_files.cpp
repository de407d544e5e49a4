// map-files, save and ls over a rescue map with unread ranges on the demo disk (FAT16 and NTFS):
// the files named are those The Sleuth Kit's ifind -d gives for the unread sectors, saving names
// exactly them as failed, and every other file comes out byte-exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/SchemaCheck.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct TVolume {
  int Index;
  uint64_t First;           // device sector
  uint64_t SectorsPerBlock;  // ifind -d takes FAT sectors, NTFS clusters
};
const TVolume kVolumes[] = {{0, 2048, 1}, {1, 26624, 8}};

// Unread device sectors: the FAT table, the tail of a live JPEG with the slack behind it and the
// head of a deleted one, one sector of a deleted text; an NTFS file's second cluster and one
// sector of a deleted file's.
const std::pair<uint64_t, uint64_t> kUnread[] = {
    {2049, 2050}, {2158, 2166}, {2198, 2198}, {30296, 30303}, {30320, 30320}};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct MapFiles : TempFolderTest {
  fs::path disk = UnpackedImage("demo.img.gz");
  fs::path map = dir / "demo.map";
  void SetUp() override {
    TempFolderTest::SetUp();
    std::ofstream out(map);
    out << std::hex << "0 +\n";
    uint64_t pos = 0;
    for (auto [first, last] : kUnread) {
      if (first * 512 > pos) out << "0x" << pos << " 0x" << first * 512 - pos << " +\n";
      out << "0x" << first * 512 << " 0x" << (last - first + 1) * 512 << " -\n";
      pos = (last + 1) * 512;
    }
    out << "0x" << pos << " 0x" << fs::file_size(disk) - pos << " +\n";
  }

  // fls -r -p: inode -> path of the regular files that are not NTFS system files.
  std::map<std::string, std::string> Files(const TVolume& v) {
    std::map<std::string, std::string> files;
    CommandResult fls = RunCommand({"fls", "-r", "-p", "-o", std::to_string(v.First), disk.string()});
    for (const std::string& line : Lines(fls.Out)) {
      const size_t colon = line.find(":\t");
      if (line.size() < 4 || line[2] != 'r' || colon == std::string::npos) continue;
      const std::string path = line.substr(colon + 2);
      if (path[0] == '$') continue;
      std::string inode = line.substr(4, colon - 4);
      if (inode.rfind("* ", 0) == 0) inode = inode.substr(2);
      files[inode] = path;
    }
    return files;
  }
};

TEST_F(MapFiles, NameTheFilesIfindGivesForTheUnreadSectorsAndSaveTheRestWhole) {
  if (!HaveTool("ifind") || !HaveTool("fls") || !HaveTool("icat")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  CommandResult r = Cli({"map-files", disk.string(), "--map", map.string(), "--json"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const auto doc = nlohmann::json::parse(r.Out);
  EXPECT_TRUE(SchemaViolations(CliSchema(), doc).empty());
  std::map<int, std::set<std::string>> named;
  std::map<std::string, nlohmann::json> byPath;
  for (const auto& f : doc["files"]) {
    named[f["volume"].get<int>()].insert(f["path"].get<std::string>());
    byPath[f["path"].get<std::string>()] = f;
  }

  for (const TVolume& v : kVolumes) {
    SCOPED_TRACE("volume " + std::to_string(v.Index));
    const auto files = Files(v);
    std::set<std::string> expected;
    for (auto [first, last] : kUnread) {
      for (uint64_t s = first; s <= last; ++s) {
        if (s < v.First || s >= v.First + 22528) continue;
        CommandResult inode = RunCommand(
            {"ifind", "-o", std::to_string(v.First), "-d", std::to_string((s - v.First) / v.SectorsPerBlock), disk.string()});
        const std::string id = inode.Out.substr(0, inode.Out.find('\n'));
        if (files.count(id)) expected.insert(files.at(id));
      }
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(named[v.Index], expected);
  }
  // Sector 2198 is the third of Old-Plan.txt's seven: one whole sector of it.
  EXPECT_EQ(byPath["Projects/Budget/Old-Plan.txt"]["reason"],
            "512 bytes were never read from the disk (sector 2198)");
  EXPECT_EQ(byPath["Reports/Quarterly.txt"]["unread_bytes"], 5200 - 4096);

  // save names the live ones among them as failed with that reason; every other file is icat's.
  for (const TVolume& v : kVolumes) {
    SCOPED_TRACE("save volume " + std::to_string(v.Index));
    const fs::path out = dir / ("saved" + std::to_string(v.Index)), report = dir / "report.json";
    CommandResult save = Cli({"save", disk.string(), "--map", map.string(), "--volume", std::to_string(v.Index), "--to",
                              out.string(), "--report", report.string(), "/"});
    EXPECT_EQ(save.ExitCode, 1) << save.Err;
    const auto saved = nlohmann::json::parse(ReadAll(report))["report"];
    std::set<std::string> failed;
    for (const auto& f : saved["files"]) {
      const std::string path = f["source"];
      if (f["status"] == "failed") {
        failed.insert(path);
        ASSERT_FALSE(f["failures"].empty());
        EXPECT_EQ(f["failures"].back()["reason"], byPath[path]["reason"]) << path;
        continue;
      }
      EXPECT_EQ(f["status"], "saved") << path;
    }
    std::set<std::string> liveNamed;
    for (const auto& f : doc["files"])
      if (f["volume"] == v.Index && f["state"] == "live") liveNamed.insert(f["path"].get<std::string>());
    EXPECT_EQ(failed, liveNamed);
    EXPECT_EQ(saved["failed"], liveNamed.size());
    for (const auto& [inode, path] : Files(v)) {
      if (liveNamed.count(path) || !fs::is_regular_file(out / path)) continue;
      CommandResult icat = RunCommand({"icat", "-o", std::to_string(v.First), disk.string(), inode});
      EXPECT_EQ(ReadAll(out / path), icat.Out) << path;
    }
  }

  // ls marks them poor, saying why.
  CommandResult ls = Cli({"ls", disk.string(), "--map", map.string(), "--volume", "0", "--json", "Pictures"});
  ASSERT_EQ(ls.ExitCode, 0) << ls.Err;
  for (const auto& item : nlohmann::json::parse(ls.Out)["items"]) {
    const bool unread = item["path"] == "Pictures/harbour.jpg";
    EXPECT_EQ(item["condition"] == "poor" && item.contains("condition_reason"), unread) << item.dump();
  }
}

}  // namespace
}  // namespace salvex::test
