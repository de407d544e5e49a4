// FAT and exFAT volumes whose image ends before the boot sector says: a folder past the end is a
// folder that could not be read, and a file past it is saved partial with the reason, never an
// empty folder or a clean exit. What The Sleuth Kit lists on the cut image is listed too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <nlohmann/json.hpp>

#include "support/Cli.h"
#include "support/Fixtures.h"
#include "support/SleuthKit.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CutVolumes : TempFolderTest {
  fs::path Cut(const char* fixture, size_t sectors) {
    std::ifstream in(UnpackedImage(fixture), std::ios::binary);
    std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
    bytes.resize(sectors * 512);
    const fs::path p = dir / "cut.img";
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
    return p;
  }
};

TEST_F(CutVolumes, FoldersPastTheEndFailAndFilesPastItArePartial) {
  struct Case {
    const char* fixture;
    size_t sectors;       // what is left of the image
    const char* folder;   // its first cluster lies past the end
    const char* partial;  // a listed file whose data runs past the end
  } cases[] = {
      {"fat12.img.gz", 275, "Work", "Docs/Overwriter.bin"},
      {"fat16.img.gz", 390, "Work", "Frag/A.bin"},  // Frag's cluster is cut in half
      {"fat32.img.gz", 1316, "Work", "Docs/Overwriter.bin"},
      {"exfat.img.gz", 4240, "Frag", "Unicode/café.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " cut at sector " + std::to_string(c.sectors));
    const fs::path image = Cut(c.fixture, c.sectors);
    const CommandResult ls = Cli({"ls", "-r", image.string()});
    EXPECT_EQ(ls.ExitCode, 1) << ls.Err;
    EXPECT_NE(ls.Err.find(std::string(c.folder) + ": the folder could not be read"), std::string::npos) << ls.Err;
    EXPECT_NE(ls.Err.find("cut to the device"), std::string::npos) << ls.Err;

    // The oracle's live, plainly named paths (it shows other bytes as '^') are all listed.
    if (HaveTool("fls")) {
      std::set<std::string> listed;
      for (const std::string& line : Lines(ls.Out)) {
        std::string path = line.substr(0, line.find('\t'));
        if (!path.empty() && path.back() == '/') path.pop_back();
        listed.insert(path);
      }
      for (const FlsEntry& e : ParseFls(RunCommand({"fls", "-r", "-p", image.string()}).Out))
        if (!e.Deleted && !e.Virtual() && e.Path.find_first_of("^$") == std::string::npos &&
            e.Path.find("(Volume Label Entry)") == std::string::npos) {
          EXPECT_TRUE(listed.count(e.Path)) << e.Path;
        }
    }

    const fs::path report = dir / "report.json";
    const CommandResult save =
        Cli({"save", image.string(), "/", "--to", (dir / "out").string(), "--report", report.string()});
    EXPECT_EQ(save.ExitCode, 1) << save.Err;
    std::ifstream in(report);
    const auto doc = nlohmann::json::parse(in)["report"];
    EXPECT_GE(doc["failed_folders"].get<int>(), 1);
    bool folderNamed = false;
    for (const auto& f : doc["other_failures"]) folderNamed |= f["what"] == c.folder;
    EXPECT_TRUE(folderNamed) << doc["other_failures"].dump();
    bool partialNamed = false;
    for (const auto& f : doc["files"])
      if (f["source"] == c.partial) {
        partialNamed = true;
        EXPECT_EQ(f["status"], "partial") << f.dump();
        EXPECT_EQ(f["condition"], "poor") << f.dump();
        ASSERT_FALSE(f["failures"].empty()) << f.dump();
        EXPECT_NE(f["failures"][0]["reason"].get<std::string>().find("past the end of the device"), std::string::npos);
      }
    EXPECT_TRUE(partialNamed) << c.partial;
    fs::remove_all(dir / "out");
  }
}

TEST_F(CutVolumes, LostDataSaysWhichPartOfACutVolumeItSearched) {
  const CommandResult r = Cli({"lost-data", Cut("fat12.img.gz", 600).string()});
  EXPECT_NE(r.Err.find("searched clusters 2 to 568 (the device ends there; the volume claims 2847 clusters)"),
            std::string::npos)
      << r.Err;
}

}  // namespace
}  // namespace salvex::test
