// The command line on the exFAT fixture, and the lost-drive search finding an exFAT volume whose
// partition entry (and then also main boot sector) is gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct ExFATCli : TempFolderTest {
  const fs::path& target = dir;
  static std::string Image() { return UnpackedImage("exfat.img.gz").string(); }
  // A disk with the exFAT volume at sector 2048 and, unless `type` is 0, an MBR entry for it.
  fs::path Disk(bool zeroMainBootSector, uint8_t type = 0) {
    std::ifstream in(Image(), std::ios::binary);
    std::vector<char> volume(std::istreambuf_iterator<char>(in), {});
    if (zeroMainBootSector) std::fill(volume.begin(), volume.begin() + 512, '\0');
    std::vector<char> disk(2048 * 512, '\0');
    disk.insert(disk.end(), volume.begin(), volume.end());
    disk[510] = char(0x55);
    disk[511] = char(0xAA);
    if (type != 0) {
      disk[446 + 4] = char(type);
      const uint32_t start = 2048, count = uint32_t(volume.size() / 512);
      for (int i = 0; i < 4; ++i) {
        disk[446 + 8 + i] = char(start >> (8 * i));
        disk[446 + 12 + i] = char(count >> (8 * i));
      }
    }
    const fs::path p = target / "disk.img";
    std::ofstream(p, std::ios::binary).write(disk.data(), std::streamsize(disk.size()));
    return p;
  }
};

TEST_F(ExFATCli, PartitionOfTypeSevenIsTakenForExFATByItsBootSector) {
  auto r = Cli({"volumes", Disk(false, 0x07).string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("exFAT"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("SALVEXFAT"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("NTFS"), std::string::npos) << r.Out;
}

TEST_F(ExFATCli, LsListsLiveAndDeletedRowsWithUtf8Names) {
  auto volumes = Cli({"volumes", Image()});
  ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
  EXPECT_NE(volumes.Out.find("exFAT"), std::string::npos) << volumes.Out;
  EXPECT_NE(volumes.Out.find("SALVEXFAT"), std::string::npos) << volumes.Out;
  auto ls = Cli({"ls", Image(), "--volume", "0", "--path", "Unicode"});
  ASSERT_EQ(ls.ExitCode, 0) << ls.Err;
  for (const char* name : {"café.txt", "Ελληνικά.txt", "日本語.txt", "party 🎉.txt"})
    EXPECT_NE(ls.Out.find(name), std::string::npos) << name << "\n" << ls.Out;
  EXPECT_EQ(ls.Out.find("Διαγραμμένο"), std::string::npos) << ls.Out;
  auto deleted = Cli({"ls", Image(), "--volume", "0", "--deleted", "-r"});
  ASSERT_EQ(deleted.ExitCode, 0) << deleted.Err;
  for (const char* name : {"Διαγραμμένο.txt", "Root-Deleted.bin", "Gone.txt", "b.txt"})
    EXPECT_NE(deleted.Out.find(name), std::string::npos) << name << "\n" << deleted.Out;
  EXPECT_EQ(deleted.Out.find("tiny.txt"), std::string::npos) << deleted.Out;
  EXPECT_EQ(deleted.Out.find("MFT entry"), std::string::npos) << "exFAT rows name clusters";
}

TEST_F(ExFATCli, SaveFollowsTheFatOrReadsConsecutiveClustersAsAsked) {
  const auto manifest = ReadManifest(FixturePath("exfat-manifest.txt"));
  const std::string want = manifest.at("/Frag/Fragmented.bin").Sha256;
  for (const char* fat : {"", "1", "none"}) {
    const fs::path to = target / (*fat ? fat : "default");
    fs::create_directory(to);
    std::vector<std::string> args{"save", Image(), "--volume", "0", "--to", to.string(), "Frag/Fragmented.bin"};
    if (*fat) args.insert(args.end(), {"--fat", fat});
    auto r = Cli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
    // Its clusters alternate with Companion.bin's: only the FAT gives its bytes.
    EXPECT_EQ(Sha256OfFile(to / "Fragmented.bin") == want, std::string(fat) != "none") << fat;
  }
  auto two = Cli({"save", Image(), "--volume", "0", "--to", target.string(), "--fat", "2", "tiny.txt"});
  EXPECT_NE(two.ExitCode, 0);
  EXPECT_NE(two.Err.find("the volume has 1 FAT(s)"), std::string::npos) << two.Err;
}

TEST_F(ExFATCli, UndeleteSavesEveryDeletedFileByteExact) {
  auto r = Cli({"undelete", Image(), "--volume", "0", "--to", target.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
  size_t checked = 0;
  for (const auto& [path, e] : ReadManifest(FixturePath("exfat-manifest.txt"))) {
    if (e.Kind != "file") continue;
    const fs::path saved = target / path.substr(1);
    if (e.State == "deleted") {
      EXPECT_EQ(Sha256OfFile(saved), e.Sha256) << path;
      ++checked;
    } else {
      EXPECT_FALSE(fs::exists(saved)) << path;
    }
  }
  EXPECT_EQ(checked, 6u);
}

TEST_F(ExFATCli, LostDrivesFindsAVolumeWithoutItsPartitionEntryOrMainBootSector) {
  for (bool zeroMain : {false, true}) {
    const std::string disk = Disk(zeroMain).string();
    auto r = Cli({"lost-drives", disk});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Out.find("SALVEXFAT (lost)"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("2048"), std::string::npos) << r.Out;
    const fs::path to = target / (zeroMain ? "backup" : "main");
    fs::create_directory(to);
    auto save = Cli({"save", disk, "--search-lost", "--volume", "0", "--to", to.string(), "Docs/notes.txt"});
    ASSERT_EQ(save.ExitCode, 0) << save.Err << save.Out;
    EXPECT_EQ(Sha256OfFile(to / "notes.txt"),
              ReadManifest(FixturePath("exfat-manifest.txt")).at("/Docs/notes.txt").Sha256);
  }
}

TEST_F(ExFATCli, LostDataBringsBackTheFoldersOfAQuickFormat) {
  const std::string image = UnpackedImage("exfat-quickformat.img.gz").string();
  auto r = Cli({"lost-data", image, "--volume", "0", "--no-files", "--to", target.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
  EXPECT_NE(r.Out.find("/Old/\t"), std::string::npos) << "subfolders keep their names\n" << r.Out;
  EXPECT_NE(r.Out.find("sunset.jpg"), std::string::npos) << r.Out;
  std::map<std::string, std::string> saved;  // path below the "cluster N" folder -> checksum
  for (const auto& e : fs::recursive_directory_iterator(target)) {
    if (!e.is_regular_file()) continue;
    const std::string rel = fs::relative(e.path(), target).string();
    saved[rel.substr(rel.find('/'))] = Sha256OfFile(e.path());
  }
  size_t checked = 0;
  for (const auto& [path, e] : ReadManifest(FixturePath("exfat-quickformat-manifest.txt"))) {
    if (e.Kind != "file" || e.State != "lost") continue;
    // The folders the root named lost their names with the root; below them names are kept.
    const std::string below = path.substr(path.find('/', 1));
    ASSERT_TRUE(saved.count(below)) << path << "\n" << r.Out;
    EXPECT_EQ(saved[below], e.Sha256) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 4u);
  // On a volume whose deleted folders the Deleted tree shows, Lost stays empty.
  auto plain = Cli({"lost-data", Image(), "--volume", "0", "--no-files"});
  ASSERT_EQ(plain.ExitCode, 0) << plain.Err;
  EXPECT_EQ(plain.Out.find("cluster "), std::string::npos) << plain.Out;
}

}  // namespace
}  // namespace salvex::test
