// The ext reader against The Sleuth Kit and the manifests on images the kernel filled through a
// loop mount (ext4, ext3) and mke2fs -d made (ext2 with 1 KiB blocks, ext4 in a GPT partition):
// the Root tree equals fls's live names, live files read as icat and the manifest say, and the
// files the kernel deleted (their block maps cleared) come back from the journal byte-exact.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "common/FakeHost.h"
#include "common/Options.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/LostDrives.h"
#include "devices/StatusDialog.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "ext/Extdrive.h"
#include "recovery/Browse.h"
#include "support/Cli.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/SleuthKit.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct Node {
  std::string Path;
  TItem* Item;
};

void Walk(TExtDirectory& dir, bool deleted, const std::string& prefix, std::vector<Node>& out) {
  dir.LoadChildren(deleted);
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TExtFile*>(c.get())) out.push_back({prefix + f->Name, f});
    if (auto* d = dynamic_cast<TExtDirectory*>(c.get())) {
      out.push_back({prefix + d->Name, d});
      Walk(*d, deleted, prefix + d->Name + "/", out);
    }
  }
}

struct Read {
  std::string Bytes;
  std::string Failure;
  std::string Damage;
};

Read ReadAll(TCustomFile& f) {
  Read r;
  auto data = f.OpenData({});
  if (!data) return r;
  std::vector<uint8_t> buf(65536);
  for (size_t n; (n = data->Read(buf.data(), buf.size())) > 0;) r.Bytes.append(reinterpret_cast<char*>(buf.data()), n);
  r.Failure = data->Failure;
  r.Damage = data->Damage;
  return r;
}

// The bytes the save engine would have the kernel copy (the plain extents, one after the other),
// read from the image file they name.
std::string PlainBytes(TCustomFile& f) {
  std::string out;
  auto data = f.OpenData({});
  TPlainExtent e;
  while (data && data->PlainExtent(e)) {
    std::string piece(e.Length, '\0');
    if (::pread(e.Fd, piece.data(), piece.size(), off_t(e.Offset)) != ssize_t(piece.size())) break;
    out += piece;
    data->Skip(e.Length);
  }
  return out;
}

struct Case {
  const char* Name;
  const char* Flavour;
  uint32_t BlockSize;
  size_t Cleared;  // files the kernel deleted, all expected back
};

class ExtOracle : public ::testing::TestWithParam<Case> {};

TEST_P(ExtOracle, TreesAndBytesMatchTheSleuthKitAndTheManifest) {
  if (!HaveTool("fls") || !HaveTool("icat")) GTEST_SKIP() << "fls/icat (sleuthkit) not installed";
  const Case c = GetParam();
  const std::string name = c.Name;
  const fs::path image = UnpackedImage(name + ".img.gz");
  const auto manifest = ReadManifest(FixturePath(name + "-manifest.txt"));
  const auto header = ReadManifestHeader(FixturePath(name + "-manifest.txt"));
  // The offset is in 512-byte units, as fls takes it; the volume starts in the disk's own sectors.
  const std::string offset = header.at("offset");
  const uint64_t sector = header.count("sector") ? std::stoull(header.at("sector")) : 512;
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto* drive = dynamic_cast<TExtdrive*>(OpenImageVolume(image, std::stoull(offset) * 512 / sector, devices, drives));
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders());
  EXPECT_EQ(drive->BytesPerSector(), sector);
  EXPECT_EQ(drive->FileSystemName(), c.Flavour);
  EXPECT_EQ(drive->Sb.BlockSize, c.BlockSize);
  EXPECT_EQ(drive->Name, "SALVEXT");
  EXPECT_EQ(drive->MountText(), "");
  EXPECT_TRUE(host.messages.empty());

  // The lost-drive search over the whole image adds nothing: the journal's copies of the
  // superblock's block are that volume's past, not volumes of their own.
  TStatusDialog status{nullptr, [] {
                         static uint32_t t = 1;
                         return t += 1000;
                       }};
  FindLostDrives(*drive->Device, 0, drive->Device->TotalSectors - 1, drives, status);
  for (size_t i = 0; i < drives.Count(); ++i) {
    EXPECT_EQ(drives.Items(i)->FirstSector, drive->FirstSector) << drives.Items(i)->Name;
  }

  auto fls = RunCommand({"fls", "-o", offset, "-r", "-p", image.string()});
  ASSERT_EQ(fls.ExitCode, 0) << fls.Err;
  std::set<std::string> live;
  std::map<std::string, uint64_t> inodes;
  for (const auto& e : ParseFls(fls.Out)) {
    if (e.Virtual() || e.Deleted || e.Path.rfind("$OrphanFiles", 0) == 0) continue;
    live.insert(e.Path);
    inodes[e.Path] = e.Inode;
  }
  std::vector<Node> root;
  Walk(*drive->Root(), false, "", root);
  std::set<std::string> ours;
  for (const auto& n : root) ours.insert(n.Path);
  EXPECT_EQ(ours, live);

  size_t compared = 0;
  for (const auto& n : root) {
    auto* f = dynamic_cast<TExtFile*>(n.Item);
    if (!f) continue;
    EXPECT_EQ(f->Meta().Location.Value, inodes[n.Path]) << n.Path;
    const Read got = ReadAll(*f);
    EXPECT_EQ(got.Failure, "") << n.Path;
    EXPECT_EQ(got.Damage, "") << n.Path;
    EXPECT_EQ(got.Bytes.size(), f->Size) << n.Path;
    if (manifest.count("/" + n.Path)) {
      EXPECT_EQ(Sha256OfBytes(got.Bytes), manifest.at("/" + n.Path).Sha256) << n.Path;
      ++compared;
    }
    // A file stored in blocks is copied by the kernel from the image, all of it unless it has holes.
    const std::string plain = PlainBytes(*f);
    EXPECT_TRUE(plain == got.Bytes.substr(0, plain.size())) << n.Path;
    std::vector<TByteRun> runs;
    uint64_t stored = 0;
    if (f->OpenData({})->ByteRuns(runs))
      for (const TByteRun& r : runs) stored += r.Length;
    if (stored == f->Size) {
      EXPECT_EQ(plain.size(), f->Size) << n.Path;
    }
    if (!f->Node.Inode.IsLink()) {
      auto cat = RunCommand({"icat", "-o", offset, image.string(), std::to_string(inodes[n.Path])});
      EXPECT_EQ(got.Bytes, cat.Out) << n.Path;
    }
  }
  size_t liveFiles = 0, cleared = 0;
  for (const auto& [path, e] : manifest) {
    liveFiles += e.State == "live" && e.Kind != "dir";
    cleared += e.State == "cleared" && e.Kind == "file";
  }
  EXPECT_EQ(compared, liveFiles);
  EXPECT_EQ(cleared, c.Cleared);

  // Every file the kernel deleted is in the Deleted tree under its path, whole.
  std::vector<Node> deleted;
  Walk(*drive->DeletedRoot(), true, "", deleted);
  std::map<std::string, TItem*> byPath;
  for (const auto& n : deleted) byPath[n.Path] = n.Item;
  size_t recovered = 0;
  for (const auto& [path, e] : manifest) {
    if (e.State != "cleared") continue;
    ASSERT_TRUE(byPath.count(path.substr(1))) << "missing from the Deleted tree: " << path;
    TItem* item = byPath[path.substr(1)];
    if (e.Kind == "dir") {
      EXPECT_NE(dynamic_cast<TExtDirectory*>(item), nullptr) << path;
      continue;
    }
    auto* f = dynamic_cast<TExtFile*>(item);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_TRUE(f->Flags & ItemDeleted) << path;
    const Read got = ReadAll(*f);
    EXPECT_EQ(got.Failure, "") << path;
    const std::string plain = PlainBytes(*f);
    EXPECT_TRUE(plain == got.Bytes.substr(0, plain.size())) << path;
    if (Sha256OfBytes(got.Bytes) == e.Sha256 && got.Damage.empty()) {
      EXPECT_EQ(plain.size(), got.Bytes.size()) << path;
      EXPECT_EQ(f->Condition, 1) << path << ": " << f->Node.Problem;
      ++recovered;
    } else {
      ADD_FAILURE() << path << " reads back wrong (" << got.Bytes.size() << " bytes; " << got.Damage << ")";
    }
  }
  EXPECT_EQ(recovered, c.Cleared);
  for (const auto& n : deleted)
    if (auto* f = dynamic_cast<TExtFile*>(n.Item)) {
      EXPECT_TRUE(f->Flags & ItemDeleted) << n.Path;
    }

  // The save engine writes the live tree with the names and times as stored.
  char tmpl[] = "/tmp/salvex-ext-XXXXXX";
  const fs::path target = mkdtemp(tmpl);
  auto report = SaveInto(ChildrenOf(*drive->Root()), target);
  EXPECT_TRUE(report.Ok());
  for (const auto& [path, e] : manifest) {
    if (e.Kind != "file" || e.State != "live") continue;
    EXPECT_EQ(Sha256OfFile(target / path.substr(1)), e.Sha256) << path;
  }
  // The fixture script stamps its sources at 1600000000 + k * 90061 seconds, whole seconds.
  struct stat st{};
  ASSERT_EQ(::stat((target / "tiny.txt").c_str(), &st), 0);
  EXPECT_GT(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ((st.st_mtim.tv_sec - 1600000000) % 90061, 0);
  fs::remove_all(target);
}

// A volume the kernel filled, then formatted again over it, with a file of the new volume deleted
// while open: the lost-data search gives back the former folders with their names below them,
// the former volume's files no folder names by their inode, files whose inode went by their
// content (each once), and the open file from the orphan list, all byte-exact.
TEST(ExtLostData, AFormatGivesBackTheFormerFoldersFilesAndTheOrphanList) {
  const auto manifest = ReadManifest(FixturePath("ext4-quickformat-manifest.txt"));
  for (const bool findFiles : {true, false}) {
    FakeHost host;
    ScopedHost scope(host);
    TDeviceList devices;
    TDriveList drives;
    auto* drive = dynamic_cast<TExtdrive*>(OpenImageVolume(UnpackedImage("ext4-quickformat.img.gz"), 0, devices, drives));
    ASSERT_NE(drive, nullptr);
    const bool saved = Options().FindLostFiles;
    Options().FindLostFiles = findFiles;
    ASSERT_TRUE(drive->FindLostData(nullptr));
    Options().FindLostFiles = saved;
    EXPECT_EQ(drive->LastLostSearch.Failure, "");

    std::vector<Node> lost;
    Walk(*static_cast<TExtDirectory*>(drive->LostFolder.get()), true, "", lost);
    std::map<std::string, std::string> byPath;   // path below the top folder -> sha of a good file
    std::multiset<std::string> top;               // shas of the files at the top
    size_t carved = 0;
    for (const auto& n : lost) {
      auto* f = dynamic_cast<TExtFile*>(n.Item);
      if (!f || f->Condition == 2) continue;
      const std::string sha = Sha256OfBytes(ReadAll(*f).Bytes);
      const size_t slash = n.Path.find('/');
      if (slash == std::string::npos) {
        top.insert(sha);
        carved += f->Node.CarvedBlock != 0;
      } else {
        byPath[n.Path.substr(slash)] = sha;
      }
    }
    size_t checked = 0;
    for (const auto& [path, e] : manifest) {
      if (e.Kind != "file" || e.State == "live") continue;
      // Below the folders the lost root named, names are kept; what no name reaches is found once.
      const std::string below = path.substr(path.find('/', 1) == std::string::npos ? 0 : path.find('/', 1));
      const bool byContent = path.ends_with(".jpg");
      if (!findFiles && byContent) continue;
      if (e.State == "lost" && !byContent) {
        EXPECT_EQ(byPath[below], e.Sha256) << path;
      } else {
        EXPECT_EQ(top.count(e.Sha256), 1u) << path;
      }
      ++checked;
    }
    EXPECT_EQ(checked, findFiles ? 7u : 4u);
    EXPECT_EQ(carved, findFiles ? 3u : 0u) << "the PDF named in a folder found is not listed again";
    EXPECT_EQ(drive->LastLostSearch.Folders, 2u);
  }
}

// The command line: --no-files keeps to folders and inodes, the former tree is saved with its
// names below each "block N" folder, and a search that finds nothing says what it searched.
TEST_F(TempFolderTest, ExtLostDataOnTheCommandLine) {
  const std::string image = UnpackedImage("ext4-quickformat.img.gz").string();
  auto r = Cli({"lost-data", image, "--volume", "0", "--no-files", "--to", dir.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;
  EXPECT_FALSE(std::regex_search(r.Out, std::regex(R"(block \d+\.jpg)"))) << "a file found by its content: " << r.Out;
  std::map<std::string, std::string> saved;  // path below the top folder -> checksum
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) {
      const std::string rel = fs::relative(e.path(), dir).string();
      saved[rel.find('/') == std::string::npos ? rel : rel.substr(rel.find('/'))] = Sha256OfFile(e.path());
    }
  const auto manifest = ReadManifest(FixturePath("ext4-quickformat-manifest.txt"));
  EXPECT_EQ(saved["/Old/draft.txt"], manifest.at("/Papers/Old/draft.txt").Sha256);
  EXPECT_EQ(saved["/letter.pdf"], manifest.at("/Papers/letter.pdf").Sha256);

  auto none = Cli({"lost-data", UnpackedImage("ext2-1k.img.gz").string(), "--volume", "0", "--no-files"});
  ASSERT_EQ(none.ExitCode, 0) << none.Err;
  EXPECT_NE(none.Err.find("searched the blocks of the whole volume for former folders, and their groups' inodes"),
            std::string::npos)
      << none.Err;
  EXPECT_NE(none.Err.find("Try without --no-files"), std::string::npos) << none.Err;
}

// A deleted file one of whose blocks the volume has given out since: neither reading nor the
// kernel's copy may take that block's bytes for the file's.
TEST_F(TempFolderTest, ExtDeletedFileStopsAtABlockGivenToAnotherFile) {
  const fs::path image = dir / "ext4.img";
  fs::copy_file(UnpackedImage("ext4.img.gz"), image);
  const auto manifest = ReadManifest(FixturePath("ext4-manifest.txt"));
  auto find = [](TExtdrive& drive) -> TExtFile* {
    std::vector<Node> deleted;
    Walk(*drive.DeletedRoot(), true, "", deleted);
    for (const auto& n : deleted)
      if (n.Path == "Gone/photo.bin") return dynamic_cast<TExtFile*>(n.Item);
    return nullptr;
  };
  FakeHost host;
  ScopedHost scope(host);
  uint64_t bitmapByte = 0, bs = 0;
  uint8_t bit = 0;
  std::string whole;
  {
    TDeviceList devices;
    TDriveList drives;
    auto* drive = dynamic_cast<TExtdrive*>(OpenImageVolume(image, 0, devices, drives));
    ASSERT_NE(drive, nullptr);
    TExtFile* f = find(*drive);
    ASSERT_NE(f, nullptr);
    whole = ReadAll(*f).Bytes;
    ASSERT_EQ(Sha256OfBytes(whole), manifest.at("/Gone/photo.bin").Sha256);
    ASSERT_TRUE(PlainBytes(*f) == whole);
    const TExtMap map = drive->MapOf(f->Node);
    ASSERT_FALSE(map.Runs.empty());
    ASSERT_EQ(map.Runs.front().Logical, 0u);
    ASSERT_GE(map.Runs.front().Count, 3u);
    // The file's second block, marked in use in its group's bitmap.
    const uint64_t block = map.Runs.front().Physical + 1;
    ASSERT_FALSE(drive->BlockInUse(block));
    bs = drive->Sb.BlockSize;
    const uint64_t rel = block - drive->Sb.FirstDataBlock;
    const uint64_t inGroup = rel % drive->Sb.BlocksPerGroup;
    bitmapByte = drive->Groups[rel / drive->Sb.BlocksPerGroup].BlockBitmap * bs + inGroup / 8;
    bit = uint8_t(1u << (inGroup % 8));
  }
  {
    std::fstream patch(image, std::ios::in | std::ios::out | std::ios::binary);
    patch.seekg(std::streamoff(bitmapByte));
    char byte = 0;
    patch.read(&byte, 1);
    byte = char(uint8_t(byte) | bit);
    patch.seekp(std::streamoff(bitmapByte));
    patch.write(&byte, 1);
  }
  TDeviceList devices;
  TDriveList drives;
  auto* drive = dynamic_cast<TExtdrive*>(OpenImageVolume(image, 0, devices, drives));
  ASSERT_NE(drive, nullptr);
  TExtFile* f = find(*drive);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Condition, 2);
  EXPECT_EQ(f->Node.Problem, "some of its blocks now belong to other files");
  const Read got = ReadAll(*f);
  EXPECT_NE(got.Damage, "");
  ASSERT_EQ(got.Bytes.size(), whole.size());
  EXPECT_TRUE(got.Bytes.substr(bs, bs) == std::string(bs, '\0'));
  EXPECT_TRUE(got.Bytes.substr(0, bs) == whole.substr(0, bs));
  EXPECT_TRUE(got.Bytes.substr(2 * bs) == whole.substr(2 * bs));
  const std::string plain = PlainBytes(*f);
  EXPECT_EQ(plain.size(), bs);
  EXPECT_TRUE(plain == whole.substr(0, bs));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExtOracle,
                         ::testing::Values(Case{"ext4", "ext4", 4096, 20}, Case{"ext3", "ext3", 1024, 20},
                                           Case{"ext2-1k", "ext2", 1024, 0}, Case{"ext-gpt", "ext4", 4096, 0},
                                           Case{"ext-mbr", "ext4", 4096, 0}, Case{"ext-gpt-4k", "ext4", 4096, 0}),
                         [](const auto& info) {
                           std::string n = info.param.Name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
}  // namespace salvex::test
