// The committed images are what their manifests say, checked with The Sleuth Kit, and the helpers that
// unpack and inspect them behave.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct ImageCase {
  const char* Image;
  std::uint64_t RawSize;
};

const ImageCase kImages[] = {
    {"fat12.img.gz", 1474560},
    {"fat16.img.gz", 16 << 20},
    {"fat32.img.gz", 33 << 20},
    {"fat16-quickformat.img.gz", 16 << 20},
    {"mbr-extended.img.gz", 64 << 20},
    {"ntfs.img.gz", 32 << 20},
    {"ntfs-reused.img.gz", 8 << 20},
    {"ntfs-compressed.img.gz", 8 << 20},
    {"demo.img.gz", 24 << 20},
    {"third-party/fatcat/hello-world.img.gz", 50 << 20},
    {"third-party/fatcat/fake-big-disk-1T.img.gz", 128 << 20},
    {"third-party/ntfs-samples/ntfs-lastaccess.raw.gz", 256 << 20},
};

TEST(Fixtures, EveryImageUnpacksOnceToItsFullSize) {
  for (const auto& c : kImages) {
    SCOPED_TRACE(c.Image);
    const fs::path path = UnpackedImage(c.Image);
    EXPECT_EQ(fs::file_size(path), c.RawSize);
    EXPECT_EQ(UnpackedImage(c.Image), path);
  }
}

TEST(Fixtures, MissingFixtureThrowsWithItsName) {
  try {
    UnpackedImage("no-such-image.img.gz");
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-image.img.gz"), std::string::npos) << e.what();
  }
}

TEST(Fixtures, RunCommandSeparatesOutputsAndReportsStatus) {
  const CommandResult r = RunCommand({"sh", "-c", "printf out; printf err >&2; exit 3"});
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_EQ(r.Out, "out");
  EXPECT_EQ(r.Err, "err");

  // More than a pipe buffer on both streams at once must not dead-lock.
  const CommandResult big =
      RunCommand({"sh", "-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"});
  EXPECT_EQ(big.ExitCode, 0);
  EXPECT_EQ(big.Out.size(), 300000u);
  EXPECT_EQ(big.Err.size(), 300000u);

  const CommandResult missing = RunCommand({"salvex-no-such-program"});
  EXPECT_EQ(missing.ExitCode, 127);
  EXPECT_FALSE(missing.Err.empty());
  EXPECT_FALSE(HaveTool("salvex-no-such-program"));
  EXPECT_TRUE(HaveTool("sh"));
}

TEST(Fixtures, ManifestParsingRejectsMalformedLines) {
  const fs::path dir = fs::temp_directory_path() / ("salvex-manifest-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
    return dir / name;
  };
  const std::string sha(64, 'a');
  const fs::path good = write("good.txt", "# offset: 2048\nfile\tlive\t12\t" + sha +
                                              "\t/a b.txt\nfile\torphan\t3\t" + sha +
                                              "\t/x.jpg\tclusters=5+1\ndir\tdeleted\t-\t-\t/Trash\n");
  const auto entries = ReadManifest(good);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.at("/a b.txt").Size, 12u);
  EXPECT_EQ(entries.at("/x.jpg").Notes, "clusters=5+1");
  EXPECT_TRUE(entries.at("/Trash").IsDirectory());
  EXPECT_EQ(ReadManifestHeader(good).at("offset"), "2048");

  for (const std::string& line : std::vector<std::string>{"file\tlive\t12\t" + sha,                   // too few fields
                                  "file\tlive\t1x\t" + sha + "\t/a",          // size not a number
                                  "file\tlive\t1\tABC\t/a",                   // hash not hex
                                  "dir\tlive\t5\t-\t/d",                      // folder with a size
                                  "pipe\tlive\t1\t" + sha + "\t/a",           // unknown kind
                                  "file\tlive\t1\t" + sha + "\trelative"}) {  // path not absolute
    EXPECT_THROW(ReadManifest(write("bad.txt", line + "\n")), std::runtime_error) << line;
  }
  EXPECT_THROW(ReadManifest(write("dup.txt", "dir\tlive\t-\t-\t/d\ndir\tlive\t-\t-\t/d\n")),
               std::runtime_error);
  fs::remove_all(dir);
}

TEST(Fixtures, Sha256MatchesKnownDigests) {
  EXPECT_EQ(Sha256OfBytes(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256OfBytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const fs::path file = fs::temp_directory_path() / ("salvex-sha-" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << "abc";
  EXPECT_EQ(Sha256OfFile(file), Sha256OfBytes("abc"));
  fs::remove(file);
}

// mmls lists a partition as "NNN:  TTT:PPP  START END LENGTH Description (0xTT)".
bool ListsPartition(const std::string& mmls, std::uint64_t start, const std::string& type) {
  char field[16];
  std::snprintf(field, sizeof field, "%010llu", static_cast<unsigned long long>(start));
  std::istringstream lines(mmls);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string index, slot, first;
    words >> index >> slot >> first;
    if (slot != "Meta" && first == field && line.find("(" + type + ")") != std::string::npos) return true;
  }
  return false;
}

TEST(Fixtures, MmlsShowsThePartitionLayouts) {
  if (!HaveTool("mmls")) GTEST_SKIP() << "mmls (sleuthkit) not installed";
  const CommandResult ext = RunCommand({"mmls", UnpackedImage("mbr-extended.img.gz").string()});
  ASSERT_EQ(ext.ExitCode, 0) << ext.Err;
  EXPECT_TRUE(ListsPartition(ext.Out, 2048, "0x06")) << ext.Out;
  EXPECT_TRUE(ListsPartition(ext.Out, 18432, "0x07")) << ext.Out;
  EXPECT_TRUE(ListsPartition(ext.Out, 28672, "0x0c")) << ext.Out;
  EXPECT_TRUE(ListsPartition(ext.Out, 100352, "0x0e")) << ext.Out;
  EXPECT_NE(ext.Out.find("Extended (0x0f)"), std::string::npos) << ext.Out;

  const CommandResult demo = RunCommand({"mmls", UnpackedImage("demo.img.gz").string()});
  ASSERT_EQ(demo.ExitCode, 0) << demo.Err;
  EXPECT_TRUE(ListsPartition(demo.Out, 2048, "0x06")) << demo.Out;
  EXPECT_TRUE(ListsPartition(demo.Out, 26624, "0x07")) << demo.Out;
}

struct ManifestCase {
  const char* Image;
  const char* Manifest;
};

class ManifestAgainstSleuthKit : public testing::TestWithParam<ManifestCase> {};

// The Sleuth Kit prints each non-ASCII character of a short (8.3-only) FAT name as "^".
std::string ShortNameForm(const std::string& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x80) {
      out += path[i];
    } else if ((c & 0xC0) == 0xC0) {
      out += '^';
    }
  }
  return out;
}

// Live entries are listed under their paths and read back byte-exact.
TEST_P(ManifestAgainstSleuthKit, LiveFilesListAndReadBack) {
  if (!HaveTool("fls") || !HaveTool("icat")) GTEST_SKIP() << "fls/icat (sleuthkit) not installed";
  const fs::path manifest = FixturePath(GetParam().Manifest);
  const std::string offset = ReadManifestHeader(manifest).at("offset");
  const std::string image = UnpackedImage(GetParam().Image).string();

  const CommandResult fls = RunCommand({"fls", "-o", offset, "-r", "-u", "-p", image});
  ASSERT_EQ(fls.ExitCode, 0) << fls.Err;
  std::map<std::string, std::string> listed;  // path -> metadata address
  std::istringstream lines(fls.Out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string address = line.substr(0, tab);
    address = address.substr(address.rfind(' ') + 1);
    address.pop_back();  // the ":" after it
    listed.emplace(line.substr(tab + 1), address);
  }

  int live = 0;
  for (const auto& [path, entry] : ReadManifest(manifest)) {
    if (entry.State != "live") continue;
    ++live;
    SCOPED_TRACE(path);
    auto it = listed.find(path.substr(1));
    if (it == listed.end()) it = listed.find(ShortNameForm(path.substr(1)));
    ASSERT_NE(it, listed.end()) << "not listed by fls";
    if (entry.IsDirectory()) continue;
    const CommandResult icat = RunCommand({"icat", "-o", offset, image, it->second});
    ASSERT_EQ(icat.ExitCode, 0) << icat.Err;
    EXPECT_EQ(icat.Out.size(), entry.Size);
    EXPECT_EQ(Sha256OfBytes(icat.Out), entry.Sha256);
  }
  EXPECT_GT(live, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Images, ManifestAgainstSleuthKit,
    testing::Values(ManifestCase{"fat12.img.gz", "fat12-manifest.txt"},
                    ManifestCase{"fat16.img.gz", "fat16-manifest.txt"},
                    ManifestCase{"fat32.img.gz", "fat32-manifest.txt"},
                    ManifestCase{"mbr-extended.img.gz", "mbr-extended-p2048-manifest.txt"},
                    ManifestCase{"mbr-extended.img.gz", "mbr-extended-p28672-manifest.txt"},
                    ManifestCase{"mbr-extended.img.gz", "mbr-extended-p100352-manifest.txt"},
                    ManifestCase{"ntfs.img.gz", "ntfs-manifest.txt"},
                    ManifestCase{"ntfs-reused.img.gz", "ntfs-reused-manifest.txt"},
                    ManifestCase{"ntfs-compressed.img.gz", "ntfs-compressed-manifest.txt"},
                    ManifestCase{"demo.img.gz", "demo-fat-manifest.txt"},
                    ManifestCase{"demo.img.gz", "demo-ntfs-manifest.txt"},
                    ManifestCase{"exfat.img.gz", "exfat-manifest.txt"},
                    ManifestCase{"exfat-4k.img.gz", "exfat-4k-manifest.txt"},
                    ManifestCase{"reused-exfat.img.gz", "reused-exfat-manifest.txt"}),
    [](const testing::TestParamInfo<ManifestCase>& info) {
      std::string name = info.param.Manifest;
      name.resize(name.find("-manifest"));
      for (char& c : name)
        if (c == '-') c = '_';
      return name;
    });

// After the quick format nothing is listed; the old files' bytes are still in the data area, where
// the lost-data search has to find them.
TEST(Fixtures, QuickFormatLeftDataButNoEntries) {
  if (!HaveTool("fls")) GTEST_SKIP() << "fls (sleuthkit) not installed";
  const std::string image = UnpackedImage("fat16-quickformat.img.gz").string();
  const CommandResult fls = RunCommand({"fls", image});
  ASSERT_EQ(fls.ExitCode, 0) << fls.Err;
  const auto entries = ReadManifest(FixturePath("fat16-quickformat-manifest.txt"));
  ASSERT_FALSE(entries.empty());
  std::set<std::string> states;
  for (const auto& [path, entry] : entries) {
    states.insert(entry.State);
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(fls.Out.find("\t" + name + "\n"), std::string::npos) << name;
  }
  EXPECT_EQ(states, (std::set<std::string>{"lost", "orphan"}));
}

}  // namespace
}  // namespace salvex::test
