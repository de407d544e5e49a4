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
  const nlohmann::json listing = nlohmann::json::parse(ls.Out);
  for (const auto& item : listing["items"]) {
    const bool unread = item["path"] == "Pictures/harbour.jpg";
    EXPECT_EQ(item["condition"] == "poor" && item.contains("condition_reason"), unread) << item.dump();
  }
}

// A folder whose entries lie on unread sectors is named as a folder, and reading over the map
// tells each unread range once (with a count at the end), not a read-error line per chunk.
TEST_F(MapFiles, FoldersOnUnreadSectorsAreNamedAndEachUnreadRangeIsToldOnce) {
  // Projects/Budget's entries are device sectors 2184-2187 (istat); 2158-2166 hold a JPEG's tail.
  std::ofstream(map) << "0 +\n0 1104896 +\n1104896 4608 -\n1109504 8704 +\n1118208 2048 -\n1120256 "
                     << fs::file_size(disk) - 1120256 << " +\n";
  CommandResult r = Cli({"map-files", disk.string(), "--map", map.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  bool folderNamed = false;
  for (const std::string& line : Lines(r.Out))
    if (line.find("Projects/Budget/") != std::string::npos) {
      EXPECT_NE(line.find("\tfolder"), std::string::npos) << line;
      EXPECT_NE(line.find("sector 2184"), std::string::npos) << line;
      folderNamed = true;
    }
  EXPECT_TRUE(folderNamed) << r.Out;
  CommandResult json = Cli({"map-files", disk.string(), "--map", map.string(), "--json"});
  const auto doc = nlohmann::json::parse(json.Out);
  EXPECT_TRUE(SchemaViolations(CliSchema(), doc).empty());
  ASSERT_EQ(doc["folders"].size(), 1u) << json.Out;
  EXPECT_EQ(doc["folders"][0]["path"], "Projects/Budget");
  // The folder's reading stops at its first unread sector: that is the one named.
  EXPECT_EQ(doc["folders"][0]["unread_sectors"][0]["first_sector"], 2184);

  CommandResult save = Cli({"save", disk.string(), "--map", map.string(), "--volume", "0", "--to",
                            (dir / "out").string(), "/"});
  EXPECT_EQ(save.ExitCode, 1) << save.Err;
  size_t told = 0;
  for (const std::string& line : Lines(save.Err)) {
    EXPECT_EQ(line.find("NT_read error"), std::string::npos) << line;
    if (line.find("were never read from the disk (the map") != std::string::npos) ++told;
  }
  EXPECT_EQ(told, 2u) << save.Err;
  EXPECT_NE(save.Err.find("range(s) the map does not mark rescued"), std::string::npos) << save.Err;
}

}  // namespace
}  // namespace salvex::test
