#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

#include "support/Save.h"
#include "common/ByteReader.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/FakeHost.h"
#include "devices/StatusDialog.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATLostData.h"
#include "fat/FATdrive.h"
#include "filetypes/FileEnd.h"
#include "support/Fixtures.h"

#include <algorithm>

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> LoadImage(std::string_view gz) {
  std::ifstream in(UnpackedImage(gz), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A FAT volume read from an image held in memory (512-byte sectors from byte `base` on), so that
// tests can change clusters of real images before searching them.
class TMemFATdrive : public TFATdrive {
 public:
  TMemFATdrive(const std::vector<uint8_t>& image, uint64_t base = 0) : image_(image), base_(base) {
    ApplyBootSector(image_.data() + base_, true);
    CreateSpecialFolders();
  }
  bool ReadSectors(uint64_t sector, uint32_t count, bool, uint8_t* buffer) override {
    const uint64_t offset = base_ + sector * 512, bytes = uint64_t(count) * 512;
    if (offset > image_.size() || bytes > image_.size() - offset) return false;
    std::memcpy(buffer, image_.data() + offset, bytes);
    return true;
  }

 private:
  const std::vector<uint8_t>& image_;
  uint64_t base_;
};

class FatLostData : public ::testing::Test {
 protected:
  void SetUp() override { options_ = Options(); }
  void TearDown() override { Options() = options_; }

  // Runs the search over [first, last] and returns the top of Lost by name.
  std::map<std::string, TItem*> Search(TFATdrive& drive, uint64_t first = 0, uint64_t last = UINT64_MAX) {
    host.rangeFirst = first;
    host.rangeLast = last;
    ScopedHost scope(host);
    EXPECT_TRUE(FindFATLostData(drive, &status));
    std::map<std::string, TItem*> top;
    for (auto& item : *drive.LostFolder->Children) {
      if (auto* d = dynamic_cast<TCustomDirectory*>(item.get())) top[d->Name] = item.get();
      if (auto* f = dynamic_cast<TCustomFile*>(item.get())) top[f->Name] = item.get();
    }
    return top;
  }

  // Saves the whole Lost folder (no FAT: consecutive clusters) and returns saved path -> sha256.
  std::map<std::string, std::string> SaveLost(TFATdrive& drive) {
    fs::path target = fs::temp_directory_path() /
                      ("salvex-lost-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(target);
    fs::create_directories(target);
    SaveInto(ChildrenOf(*drive.LostFolder), target, TReadChoice{0});
    std::map<std::string, std::string> saved;
    for (auto& e : fs::recursive_directory_iterator(target))
      if (e.is_regular_file()) saved[fs::relative(e.path(), target).string()] = e.path().string();
    return saved;
  }

  static std::string PrefixSha(const std::string& path, uint64_t size) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(size, '\0');
    in.read(bytes.data(), std::streamsize(size));
    bytes.resize(size_t(in.gcount()));
    return Sha256OfBytes(bytes);
  }

  FakeHost host;
  TStatusDialog status;
  TOptions options_;
  int counter_ = 0;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

// Whether the saved relative path ends with the folder-relative path `tail` (letter case ignored:
// 8.3 names may be listed in capitals).
bool EndsWithPath(const std::string& rel, const std::string& tail) {
  const std::string r = Lower(rel), t = Lower(tail);
  return r.size() > t.size() && r.compare(r.size() - t.size(), t.size(), t) == 0 && r[r.size() - t.size() - 1] == '/';
}

std::set<uint32_t> LostFileClusters(TFATdrive& drive) {
  std::set<uint32_t> clusters;
  for (auto& item : *drive.LostFolder->Children)
    if (auto* f = dynamic_cast<TFATFile*>(item.get())) clusters.insert(f->FirstCluster);
  return clusters;
}

// Everything a quick format left of the FAT16 tree saves byte-exact: the lost folders' files under
// their own names, the picture that was in the root as "cluster N.jpg".
TEST_F(FatLostData, Fat16QuickFormatSavesFormerFilesByteExact) {
  auto image = LoadImage("fat16-quickformat.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto top = Search(drive);
  auto manifest = ReadManifest(FixturePath("fat16-quickformat-manifest.txt"));

  size_t folders = 0;
  for (auto& [name, item] : top) {
    if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
      ++folders;
      EXPECT_EQ(d->Name, "cluster " + std::to_string(d->FirstCluster));
      EXPECT_EQ(d->Flags, ItemLost);
      EXPECT_FALSE(d->Children.has_value()) << "read on demand";
    }
  }
  EXPECT_EQ(folders, 2u) << "/Photos and /Papers; /Photos/2020 belongs inside /Photos";

  auto saved = SaveLost(drive);
  for (auto& [path, entry] : manifest) {
    if (entry.IsDirectory() || entry.State != "lost") continue;
    const std::string tail = path.substr(path.find('/', 1) + 1);  // below the former top folder
    std::string found;
    for (auto& [rel, full] : saved)
      if (EndsWithPath(rel, tail) && rel.rfind("cluster ", 0) == 0)
        found = full;
    ASSERT_FALSE(found.empty()) << path << " not saved";
    EXPECT_EQ(Sha256OfFile(found), entry.Sha256) << path;
  }
  // The root's picture has no entry left: found by its signature and cut at its end marker.
  const ManifestEntry& picture = manifest.at("/Top-Picture.jpg");
  bool pictureFound = false;
  for (auto& [rel, full] : saved) {
    if (rel.find('/') != std::string::npos || rel.size() < 4 || rel.substr(rel.size() - 4) != ".jpg") continue;
    pictureFound |= Sha256OfFile(full) == picture.Sha256;
  }
  EXPECT_TRUE(pictureFound);
}

// Subfolder before parent in cluster order, an empty former folder, a deleted picture inside a lost
// folder and a picture inside one: only the folders' tops and the orphan picture are at the top.
TEST_F(FatLostData, Fat32QuickFormatNestsFoldersWhateverTheirClusterOrder) {
  auto image = LoadImage("fat32-quickformat.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto top = Search(drive);
  auto manifest = ReadManifest(FixturePath("fat32-quickformat-manifest.txt"));
  auto clusterOf = [&](const std::string& path) {
    const std::string& notes = manifest.at(path).Notes;
    return uint32_t(std::stoul(notes.substr(notes.find('=') + 1)));
  };
  ASSERT_LT(clusterOf("/Parent/Child"), clusterOf("/Parent")) << "the fixture must put the child first";

  std::set<std::string> folders;
  for (auto& [name, item] : top)
    if (dynamic_cast<TFATDirectory*>(item)) folders.insert(name);
  const std::set<std::string> expected = {"cluster " + std::to_string(clusterOf("/Parent")),
                                          "cluster " + std::to_string(clusterOf("/Photos")),
                                          "cluster " + std::to_string(clusterOf("/Docs"))};
  EXPECT_EQ(folders, expected) << "no Child/Grand at the top, no Empty-Dir";

  auto files = LostFileClusters(drive);
  EXPECT_TRUE(files.count(clusterOf("/Top-Picture.jpg"))) << "the orphan JPEG";
  EXPECT_TRUE(top.count("cluster " + std::to_string(clusterOf("/Top-Picture.jpg")) + ".jpg"));
  EXPECT_FALSE(files.count(clusterOf("/Photos/Deleted-Photo.jpg"))) << "a deleted file's first cluster";
  EXPECT_FALSE(files.count(clusterOf("/Photos/sunset.jpg"))) << "a file of a lost folder";
  EXPECT_FALSE(files.count(clusterOf("/Docs/report.pdf")));

  // The child folder is read inside its parent.
  auto* parent = dynamic_cast<TFATDirectory*>(top.at("cluster " + std::to_string(clusterOf("/Parent"))));
  parent->ReadChildren(false, false);
  bool childInside = false;
  for (auto& c : *parent->Children)
    if (auto* d = dynamic_cast<TFATDirectory*>(c.get())) childInside |= d->Name == "Child";
  EXPECT_TRUE(childInside);

  auto saved = SaveLost(drive);
  size_t compared = 0;
  for (auto& [path, entry] : manifest) {
    if (entry.IsDirectory() || entry.State != "lost") continue;
    const std::string tail = path.substr(path.find('/', 1) + 1);
    for (auto& [rel, full] : saved) {
      if (!EndsWithPath(rel, tail)) continue;
      EXPECT_EQ(Sha256OfFile(full), entry.Sha256) << path;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 8u);
}

// After a quick format the lost folders still hold the entries deleted before it: they are
// listed there as the Deleted tree lists them (deleted, good while their first cluster is free)
// and saved as undelete saves them.
TEST_F(FatLostData, Fat32QuickFormatListsAndSavesTheDeletedEntriesOfLostFolders) {
  auto image = LoadImage("fat32-quickformat.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto manifest = ReadManifest(FixturePath("fat32-quickformat-manifest.txt"));
  const ManifestEntry& photo = manifest.at("/Photos/Deleted-Photo.jpg");
  ASSERT_EQ(photo.State, "deleted");
  const std::string& notes = manifest.at("/Photos").Notes;
  auto top = Search(drive);
  auto* photos = dynamic_cast<TFATDirectory*>(top.at("cluster " + notes.substr(notes.find('=') + 1)));
  ASSERT_NE(photos, nullptr);
  photos->LoadChildren(false);
  const TFATFile* listed = nullptr;
  for (auto& c : *photos->Children)
    if (auto* f = dynamic_cast<TFATFile*>(c.get()); f && f->Name == "Deleted-Photo.jpg") listed = f;
  ASSERT_NE(listed, nullptr);
  EXPECT_TRUE(listed->Flags & ItemDeleted);
  EXPECT_EQ(listed->Condition, 1);
  EXPECT_EQ(listed->Size, photo.Size);

  auto saved = SaveLost(drive);
  size_t found = 0;
  for (auto& [rel, full] : saved)
    if (EndsWithPath(rel, "Deleted-Photo.jpg")) {
      ++found;
      EXPECT_EQ(Sha256OfFile(full), photo.Sha256) << rel;
    }
  EXPECT_EQ(found, 1u);
}

// A folder whose files were all deleted before the format still holds them.
TEST_F(FatLostData, Fat32QuickFormatListsAFolderThatHoldsOnlyDeletedEntries) {
  auto image = LoadImage("fat32-quickformat.img.gz");
  auto manifest = ReadManifest(FixturePath("fat32-quickformat-manifest.txt"));
  const std::string& notes = manifest.at("/Photos").Notes;
  const uint32_t cluster = uint32_t(std::stoul(notes.substr(notes.find('=') + 1)));
  {
    TMemFATdrive probe(image);
    const uint64_t at = probe.ClusterToSector(cluster) * 512;
    for (uint64_t e = at + 2 * 32; e < at + probe.ClusterSize && image[e] != 0; e += 32) image[e] = 0xE5;
  }
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto top = Search(drive);
  ASSERT_TRUE(top.count("cluster " + std::to_string(cluster)));
  auto* photos = dynamic_cast<TFATDirectory*>(top.at("cluster " + std::to_string(cluster)));
  ASSERT_NE(photos, nullptr);
  photos->LoadChildren(false);
  bool deletedPhoto = false;
  for (auto& c : *photos->Children)
    if (auto* f = dynamic_cast<TFATFile*>(c.get()); f && f->Name == "Deleted-Photo.jpg") deletedPhoto = true;
  EXPECT_TRUE(deletedPhoto);
}

TEST_F(FatLostData, WithoutLostFilesOnlyFoldersAreListed) {
  auto image = LoadImage("fat32-quickformat.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  Options().FindLostFiles = false;
  auto top = Search(drive);
  EXPECT_EQ(top.size(), 3u);
  for (auto& [name, item] : top) EXPECT_NE(dynamic_cast<TFATDirectory*>(item), nullptr) << name;
}

// Live files (reached through the FAT) and deleted ones (first cluster marked) are never lost, with
// or without a FAT in use.
// With a FAT or without (the usual choice after a quick format), nothing of a volume that lost
// nothing is listed: not the later clusters of live files, of fragmented live folders, or of deleted
// files (fat12.img: random data inside them used to come out as MP3 files).
TEST_F(FatLostData, LiveAndDeletedFilesAreNeverLost) {
  for (auto [gz, manifestName] : {std::pair{"demo.img.gz", "demo-fat-manifest.txt"},
                                  std::pair{"fat12.img.gz", "fat12-manifest.txt"}}) {
    auto image = LoadImage(gz);
    auto header = ReadManifestHeader(FixturePath(manifestName));
    for (uint8_t fat : {1, 0}) {
      TMemFATdrive drive(image, std::stoull(header.at("offset")) * 512);
      drive.FATCopy = fat;
      auto top = Search(drive);
      EXPECT_TRUE(top.empty()) << gz << " FAT " << int(fat) << ": " << (top.empty() ? "" : top.begin()->first);
      EXPECT_EQ(drive.FATCopy, fat) << "the choice is kept";
      EXPECT_TRUE(drive.LastLostSearch.Ran && drive.LastLostSearch.Failure.empty());
    }
  }
}

// Every planted type is found at its first cluster and nothing else is listed (no hits inside the
// planted files: the BMP inside the TAR, frames inside the WAV); the types with an end finder save
// byte-exact at their own length, the others with the default size and their bytes at the start.
TEST_F(FatLostData, CarvingFindsPlantedTypesAndOneFilePerMp3Stream) {
  auto image = LoadImage("carving.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto top = Search(drive);
  auto manifest = ReadManifest(FixturePath("carving-manifest.txt"));
  const std::map<std::string, std::string> types = {
      {"jpg", "JPG"}, {"png", "PNG"}, {"gif", "GIF"}, {"bmp", "BMP"}, {"tif", "TIF"}, {"wav", "WAV"},
      {"mp3", "MP3"}, {"zip", "ZIP"}, {"tar", "TAR"}, {"lzh", "LZH"}, {"arj", "ARJ"}, {"doc", "DOC"},
      {"pdf", "PDF"}, {"dxf", "DXF"}, {"rtf", "RTF"}, {"html", "HTML"}, {"mid", "MID"}, {"dbf", "DBF"},
      {"exe", "EXE"}};
  auto saved = SaveLost(drive);
  size_t exact = 0;
  for (auto& [path, entry] : manifest) {
    const std::string ext = path.substr(path.rfind('.') + 1);
    if (!types.count(ext)) continue;
    const uint32_t first = uint32_t(std::stoul(entry.Notes.substr(entry.Notes.find('=') + 1)));
    const uint32_t count = uint32_t(std::stoul(entry.Notes.substr(entry.Notes.find('+') + 1)));
    const std::string name = "cluster " + std::to_string(first) + "." + ext;
    ASSERT_TRUE(top.count(name)) << path;
    ASSERT_TRUE(saved.count(name)) << name;
    auto* file = dynamic_cast<TFATFile*>(top.at(name));
    ASSERT_NE(file, nullptr);
    if (MaxFileEndSearch(types.at(ext)) != 0) {
      EXPECT_EQ(file->SizeOrigin, TSizeOrigin::FormatEnd) << path;
      EXPECT_EQ(Sha256OfFile(saved.at(name)), entry.Sha256) << path;
      ++exact;
    } else {
      EXPECT_EQ(file->SizeOrigin, TSizeOrigin::Default) << path;
      EXPECT_EQ(file->Size, Options().LostDefaultSize) << path;
      EXPECT_EQ(PrefixSha(saved.at(name), entry.Size), entry.Sha256) << path;
    }
    if (ext == "mp3") {
      EXPECT_GE(count, 3u) << "a stream of several clusters, listed once";
    }
    top.erase(name);
  }
  EXPECT_EQ(exact, 17u);
  EXPECT_TRUE(top.empty()) << "false hit: " << (top.empty() ? "" : top.begin()->first);
  const TLostSearchReport& report = drive.LastLostSearch;
  EXPECT_TRUE(report.Ran && !report.Cancelled && report.Failure.empty());
  EXPECT_EQ(report.Files, 19u);
  EXPECT_EQ(report.FilesCutAtEnd, 17u);
  EXPECT_GT(report.NestedHits, 0u);
}

// fat32.img with its root's first cluster copied to a high free cluster that becomes the root: the old root cluster, unreachable
// now, is a "(root)" folder; and a range that ends below the live root leaves the live walk at once.
TEST_F(FatLostData, Fat32RootClusterAndRangesBelowTheRoot) {
  auto original = LoadImage("fat32.img.gz");
  TMemFATdrive probe(original);
  const uint32_t high = probe.ClusterCount + 1 - 8;
  const uint64_t rootOffset = probe.ClusterToSector(2) * 512, highOffset = probe.ClusterToSector(high) * 512;
  for (uint64_t k = 0; k < probe.ClusterSize; ++k) ASSERT_EQ(original[highOffset + k], 0) << "cluster not free";
  ASSERT_EQ(probe.GetFAT(high, 0), 0u);

  auto moveRoot = [&](bool clearOld) {
    std::vector<uint8_t> image = original;
    std::memcpy(image.data() + highOffset, image.data() + rootOffset, probe.ClusterSize);
    if (clearOld) std::memset(image.data() + rootOffset, 0, probe.ClusterSize);
    for (uint32_t copy = 0; copy < probe.NumberOfFATs; ++copy) {
      const uint64_t entry = (uint64_t(probe.ReservedSectors) + uint64_t(copy) * probe.SectorsPerFAT) * 512 + 4 * high;
      // The copy continues the old root's chain, so the whole root is reached from it.
      const uint32_t next = probe.GetFAT(2, copy);
      std::memcpy(image.data() + entry, &next, 4);
    }
    std::memcpy(image.data() + 44, &high, 4);
    return image;
  };
  Options().FindLostFiles = false;

  auto relocated = moveRoot(false);
  {
    TMemFATdrive drive(relocated);
    ASSERT_EQ(drive.RootCluster, high);
    auto top = Search(drive, 2, high - 1);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top.begin()->first, "cluster 2 (root)");
  }

  auto moved = moveRoot(true);
  {
    TMemFATdrive drive(moved);
    auto below = Search(drive, 2, high - 1);
    size_t folders = 0;
    std::string names;
    for (auto& [name, item] : below) {
      names += name + "; ";
      if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
        ++folders;
        // The root's later cluster is a folder part that holds the root's folders by name.
        if (name.find("(folder part)") != std::string::npos) {
          d->LoadChildren(false);
          for (auto& c : *d->Children) folders += dynamic_cast<TFATDirectory*>(c.get()) != nullptr;
        }
      }
    }
    EXPECT_GE(folders, 3u) << "the root's folders are lost when the live walk cannot start: " << names;
    auto whole = Search(drive, 2, high);
    EXPECT_TRUE(whole.empty()) << whole.begin()->first;
  }
}

// A record of an NTFS volume left in a FAT data area becomes a lost TMFTFile with its resident data.
TEST_F(FatLostData, NtfsRecordInAFreeClusterIsListed) {
  auto ntfs = LoadImage("ntfs-reused.img.gz");
  auto manifest = ReadManifest(FixturePath("ntfs-reused-manifest.txt"));
  const ManifestEntry& n01 = manifest.at("/n01.txt");
  // Finds n01.txt's record in the MFT (contiguous from its start cluster in this small volume).
  ByteReader boot(ntfs.data(), 512);
  const uint64_t mft = boot.U64(0x30) * 4096;
  std::vector<uint8_t> record;
  for (uint64_t n = 16; n < 128 && record.empty(); ++n) {
    const uint8_t* r = ntfs.data() + mft + n * 1024;
    std::string_view bytes(reinterpret_cast<const char*>(r), 1024);
    if (bytes.substr(0, 4) == "FILE" && bytes.find(std::string("n\0" "0\0" "1\0", 6)) != std::string_view::npos)
      record.assign(r, r + 1024);
  }
  ASSERT_FALSE(record.empty());

  auto image = LoadImage("fat16-quickformat.img.gz");
  TMemFATdrive probe(image);
  const uint32_t spot = probe.ClusterCount - 4;
  std::memcpy(image.data() + probe.ClusterToSector(spot) * 512, record.data(), record.size());
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  auto top = Search(drive);
  ASSERT_TRUE(top.count("n01.txt"));
  auto* file = dynamic_cast<TMFTFile*>(top.at("n01.txt"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->FirstCluster, spot);
  EXPECT_EQ(file->Size, n01.Size);
  std::string data(reinterpret_cast<const char*>(image.data() + drive.ClusterToSector(spot) * 512 + file->DataOffset),
                   file->Size);
  EXPECT_EQ(Sha256OfBytes(data), n01.Sha256);
}

TEST_F(FatLostData, RangeDialogCancelAndRangesOutsideTheVolume) {
  auto image = LoadImage("fat16-quickformat.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  host.rangeAccepted = false;
  {
    ScopedHost scope(host);
    EXPECT_FALSE(FindFATLostData(drive, &status));
  }
  host.rangeAccepted = true;
  auto all = Search(drive, 0, UINT64_MAX);
  EXPECT_EQ(status.Max, drive.ClusterCount);
  // Typed in reverse: the same range.
  auto reversed = Search(drive, drive.ClusterCount + 1, 2);
  EXPECT_EQ(status.Max, drive.ClusterCount);
  EXPECT_EQ(all.size(), reversed.size());
  EXPECT_FALSE(status.Visible());
}

// Cancel stops the passes at the next check; what was found stays, and the window is enabled again.
TEST_F(FatLostData, CancelKeepsWhatWasFound) {
  struct CancellingHost : FakeHost {
    TStatusDialog* dialog = nullptr;
    int enabled = 0;
    void ProcessMessages() override {
      FakeHost::ProcessMessages();
      if (dialog) dialog->Cancel();
    }
    void EnableMainWindow(bool on) override { enabled += on ? 1 : -1; }
  } cancelling;
  uint32_t now = 0;
  TStatusDialog ticking(nullptr, [&now] { return now += 1000; });
  cancelling.dialog = &ticking;
  auto image = LoadImage("carving.img.gz");
  TMemFATdrive drive(image);
  drive.FATCopy = 0;
  ScopedHost scope(cancelling);
  EXPECT_TRUE(FindFATLostData(drive, &ticking));
  EXPECT_GT(cancelling.processed, 0);
  EXPECT_LT(ticking.Position, uint64_t(drive.ClusterCount));
  EXPECT_LT(drive.LostFolder->Children->size(), 19u);
  EXPECT_EQ(cancelling.enabled, 0);
  EXPECT_TRUE(drive.LastLostSearch.Cancelled);
}

// A search that stops on an error says so to its caller, keeps what it found before, and leaves the
// window as a finished search does.
TEST_F(FatLostData, FailureIsReportedNotSwallowed) {
  struct FailingDrive : TMemFATdrive {
    using TMemFATdrive::TMemFATdrive;
    uint64_t failFrom = UINT64_MAX;
    bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) override {
      if (sector + count > failFrom) throw std::runtime_error("device went away");
      return TMemFATdrive::ReadSectors(sector, count, showErrors, buffer);
    }
  };
  auto image = LoadImage("carving.img.gz");
  FailingDrive drive(image);
  drive.FATCopy = 0;
  drive.failFrom = drive.ClusterToSector(1000);  // in the second window of the cluster pass
  Search(drive);
  const TLostSearchReport& report = drive.LastLostSearch;
  EXPECT_TRUE(report.Ran);
  EXPECT_EQ(report.Failure, "device went away");
  EXPECT_GT(report.Files, 0u) << "the files before the failure stay listed";
  EXPECT_EQ(report.Files, drive.LostFolder->Children->size());
  EXPECT_FALSE(status.Visible());

  drive.failFrom = UINT64_MAX;
  Search(drive);
  EXPECT_TRUE(drive.LastLostSearch.Failure.empty()) << "each search reports afresh";
}

}  // namespace
}  // namespace salvex::test
