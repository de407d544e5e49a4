// The command line on the exFAT fixture, and the lost-drive search finding an exFAT volume whose
// partition entry (and then also main boot sector) is gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/Cli.h"
#include "support/Fixtures.h"
#include "filetypes/FileEnd.h"

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
  // On a volume whose deleted folders the Deleted tree shows, Lost stays empty, and the message
  // says what was searched and what to try.
  auto plain = Cli({"lost-data", Image(), "--volume", "0", "--no-files"});
  ASSERT_EQ(plain.ExitCode, 0) << plain.Err;
  EXPECT_EQ(plain.Out.find("cluster "), std::string::npos) << plain.Out;
  EXPECT_NE(plain.Err.find("for former folders. Try without --no-files"), std::string::npos) << plain.Err;
}

// The content search runs on exFAT too, over the free clusters no listed file holds: a picture
// planted in a free cluster of the quick-formatted card comes back byte-exact, the files of the
// folders found are not listed twice, and --no-files leaves it out.
TEST_F(ExFATCli, LostDataSearchesFreeClustersByContent) {
  std::ifstream in(UnpackedImage("exfat-quickformat.img.gz"), std::ios::binary);
  std::vector<char> volume(std::istreambuf_iterator<char>(in), {});
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(volume[at + i]);
    return v;
  };
  const uint32_t heap = u32(0x58), clusters = u32(0x5C);
  const uint32_t sector = 1u << uint8_t(volume[0x6C]), clusterBytes = sector << uint8_t(volume[0x6D]);
  const uint32_t planted = clusters + 1 - 3;  // near the heap's end, free after the format
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
    for (int k = 3; k >= 0; --k) png.push_back(uint8_t(data.size() >> (8 * k)));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    const uint32_t crc = Crc32(body);
    for (int k = 3; k >= 0; --k) png.push_back(uint8_t(crc >> (8 * k)));
  };
  chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0});
  std::vector<uint8_t> idat(6000);
  for (size_t i = 0; i < idat.size(); ++i) idat[i] = uint8_t(i * 37 + 11);
  chunk("IDAT", idat);
  chunk("IEND", {});
  const size_t at = size_t(heap) * sector + size_t(planted - 2) * clusterBytes;
  ASSERT_LE(at + png.size(), volume.size());
  std::copy(png.begin(), png.end(), volume.begin() + long(at));
  const fs::path image = target / "card.img";
  std::ofstream(image, std::ios::binary).write(volume.data(), std::streamsize(volume.size()));

  const fs::path out = target / "out";
  auto r = Cli({"lost-data", image.string(), "--to", out.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
  const fs::path found = out / ("cluster " + std::to_string(planted) + ".png");
  ASSERT_TRUE(fs::exists(found)) << r.Out;
  EXPECT_EQ(Sha256OfFile(found), Sha256OfBytes(std::string(png.begin(), png.end())));
  size_t topFiles = 0;
  for (const auto& e : fs::directory_iterator(out)) topFiles += e.is_regular_file();
  EXPECT_EQ(topFiles, 1u) << "the pictures of the folders found are not listed again\n" << r.Out;

  auto folders = Cli({"lost-data", image.string(), "--no-files"});
  ASSERT_EQ(folders.ExitCode, 0) << folders.Err;
  EXPECT_EQ(folders.Out.find(".png"), std::string::npos) << folders.Out;
}

}  // namespace
}  // namespace salvex::test
