#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "support/Save.h"
#include "common/FakeHost.h"
#include "common/Host.h"
#include "common/Options.h"
#include "devices/StatusDialog.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSLostData.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> LoadImage(std::string_view gz, uint64_t fromSector = 0) {
  std::ifstream in(UnpackedImage(gz), std::ios::binary);
  std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
  bytes.erase(bytes.begin(), bytes.begin() + int64_t(fromSector * 512));
  return bytes;
}

class NtfsLostData : public ::testing::Test {
 protected:
  void SetUp() override { options_ = Options(); }
  void TearDown() override { Options() = options_; }

  // Lost files by name after a search over [first, last].
  std::map<std::string, TCustomFile*> Search(TNTFSdrive& drive, uint64_t first = 0, uint64_t last = UINT64_MAX) {
    host.rangeFirst = first;
    host.rangeLast = last;
    ScopedHost scope(host);
    EXPECT_TRUE(FindNTFSLostData(drive, &status));
    std::map<std::string, TCustomFile*> found;
    for (auto& item : *drive.LostFolder->Children)
      if (auto* f = dynamic_cast<TCustomFile*>(item.get())) found[f->Name] = f;
    return found;
  }

  FakeHost host;
  TStatusDialog status;
  TOptions options_;
};

struct Mounted {
  explicit Mounted(std::vector<uint8_t> bytes) : image(std::move(bytes)), drive(image) { ok = drive.Mount(true); }
  std::vector<uint8_t> image;
  TMemNTFSdrive drive;
  bool ok = false;
};

uint64_t FirstCluster(const ManifestEntry& e) { return std::stoull(e.Notes.substr(e.Notes.find('=') + 1)); }

// The deleted pictures and PDFs whose records were reused: found by their signatures in free
// clusters, cut at their format's end and read byte-exact.
TEST_F(NtfsLostData, ReusedRecordsPicturesAndPdfsReadByteExact) {
  Mounted m(LoadImage("ntfs-reused.img.gz"));
  ASSERT_TRUE(m.ok) << m.drive.MountText();
  auto found = Search(m.drive);
  auto manifest = ReadManifest(FixturePath("ntfs-reused-manifest.txt"));

  int compared = 0;
  for (auto& [path, entry] : manifest) {
    const std::string ext = path.size() > 4 ? path.substr(path.size() - 4) : "";
    if (ext != ".jpg" && ext != ".pdf") continue;
    const std::string name = "cluster " + std::to_string(FirstCluster(entry)) + (ext == ".jpg" ? ".jpg" : ".pdf");
    ASSERT_TRUE(found.count(name)) << path;
    auto* file = dynamic_cast<TNTFSFile*>(found.at(name));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->MFTNumber, -1);
    EXPECT_EQ(file->StartCluster, int64_t(FirstCluster(entry)));
    EXPECT_EQ(file->Size, entry.Size);
    EXPECT_EQ(file->SizeOrigin, TSizeOrigin::FormatEnd);
    // Read as the viewer and the save read it: consecutive clusters, exactly Size bytes.
    auto stream = OpenNTFSStream(m.drive, *file);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->Size, entry.Size);
    std::string head(entry.Size, '\0');
    ASSERT_EQ(stream->Read(reinterpret_cast<uint8_t*>(head.data()), entry.Size), entry.Size);
    EXPECT_EQ(Sha256OfBytes(head), entry.Sha256) << path;
    ++compared;
  }
  EXPECT_EQ(compared, 4);

  // Saving the Lost folder writes the same bytes, each file exactly its size.
  fs::path target = fs::path(::testing::TempDir()) / "ntfs-lost-save";
  fs::remove_all(target);
  fs::create_directories(target);
  const TSaveReport report = SaveInto(ChildrenOf(*m.drive.LostFolder), target);
  EXPECT_EQ(report.Files, 4u);
  EXPECT_TRUE(report.Failures.empty());
  for (auto& [path, entry] : manifest) {
    const std::string ext = path.size() > 4 ? path.substr(path.size() - 4) : "";
    if (ext != ".jpg" && ext != ".pdf") continue;
    fs::path saved = target / ("cluster " + std::to_string(FirstCluster(entry)) + (ext == ".jpg" ? ".jpg" : ".pdf"));
    ASSERT_EQ(fs::file_size(saved), entry.Size);
    std::ifstream in(saved, std::ios::binary);
    std::string head(entry.Size, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    EXPECT_EQ(Sha256OfBytes(head), entry.Sha256) << path;
  }
}

// The bitmap piece starts at the byte holding the range's first cluster: ranges starting inside
// a byte see exactly the clusters they name.
TEST_F(NtfsLostData, RangesStartingInsideABitmapByte) {
  Mounted m(LoadImage("ntfs-reused.img.gz"));
  ASSERT_TRUE(m.ok);
  auto names = [&](uint64_t first, uint64_t last) {
    std::vector<std::string> out;
    for (auto& [name, file] : Search(m.drive, first, last)) out.push_back(name);
    return out;
  };
  EXPECT_EQ(names(362, 366), (std::vector<std::string>{"cluster 363.jpg", "cluster 365.pdf"}));
  EXPECT_EQ(names(361, 361), (std::vector<std::string>{"cluster 361.jpg"}));
  EXPECT_EQ(names(367, 370), (std::vector<std::string>{"cluster 367.pdf"}));
  EXPECT_EQ(status.Max, 4u);
}

// Clusters in use are passed over: on the demo volume the live picture is not lost, the deleted one is.
TEST_F(NtfsLostData, ClustersInUseAreNotExamined) {
  auto header = ReadManifestHeader(FixturePath("demo-ntfs-manifest.txt"));
  auto manifest = ReadManifest(FixturePath("demo-ntfs-manifest.txt"));
  Mounted m(LoadImage("demo.img.gz", std::stoull(header.at("offset"))));
  ASSERT_TRUE(m.ok) << m.drive.MountText();
  auto found = Search(m.drive);
  std::vector<TCustomFile*> pictures;
  for (auto& [name, file] : found)
    if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") pictures.push_back(file);
  ASSERT_EQ(pictures.size(), 1u);
  auto* file = dynamic_cast<TNTFSFile*>(pictures[0]);
  ASSERT_NE(file, nullptr);
  const ManifestEntry& removed = manifest.at("/Photos/Removed-Photo.jpg");
  std::string head(reinterpret_cast<const char*>(m.image.data() + file->StartCluster * m.drive.ClusterSize),
                   removed.Size);
  EXPECT_EQ(Sha256OfBytes(head), removed.Sha256);
}

// Real MPEG audio written over free clusters gives one file; three JPEG starts in a row give three.
// (A JPEG start whose header does not lead to its scan data is no photo's: see FileEnd tests.)
TEST_F(NtfsLostData, ContinuationKindDecidesHowManyFiles) {
  auto carving = LoadImage("carving.img.gz");
  auto cm = ReadManifest(FixturePath("carving-manifest.txt"));
  const ManifestEntry& mp3 = cm.at("/music.mp3");
  // FAT16 data area of the carving image: cluster 2 starts at sector 100 (see its manifest layout).
  const uint64_t mp3Offset = (100 + (std::stoull(mp3.Notes.substr(mp3.Notes.find('=') + 1)) - 2) * 4) * 512;
  ASSERT_EQ(Sha256OfBytes(std::string_view(reinterpret_cast<const char*>(carving.data() + mp3Offset), mp3.Size)),
            mp3.Sha256);

  Mounted m(LoadImage("ntfs-reused.img.gz"));
  ASSERT_TRUE(m.ok);
  const uint64_t cs = m.drive.ClusterSize;
  const uint64_t mp3At = 1600, jpgAt = 1700;
  std::memcpy(m.image.data() + mp3At * cs, carving.data() + mp3Offset, mp3.Size);
  // The first cluster of a real photo (its header runs to the scan data) in each.
  const ManifestEntry& jpg = cm.at("/picture.jpg");
  const uint64_t jpgOffset = (100 + (std::stoull(jpg.Notes.substr(jpg.Notes.find('=') + 1)) - 2) * 4) * 512;
  ASSERT_GT(jpg.Size, cs);
  for (uint64_t c = jpgAt; c < jpgAt + 3; ++c) std::memcpy(m.image.data() + c * cs, carving.data() + jpgOffset, cs);
  auto found = Search(m.drive, 1550, 1750);
  std::vector<std::string> names;
  for (auto& [name, file] : found) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"cluster 1600.mp3", "cluster 1700.jpg", "cluster 1701.jpg",
                                             "cluster 1702.jpg"}));
  // The stream ends where its frames end; the JPEG starts have no end marker and keep the default.
  ASSERT_EQ(found.size(), 4u);
  TCustomFile* stream = found.at("cluster 1600.mp3");
  EXPECT_EQ(stream->Size, mp3.Size);
  EXPECT_EQ(stream->SizeOrigin, TSizeOrigin::FormatEnd);
  TCustomFile* picture = found.at("cluster 1701.jpg");
  EXPECT_EQ(picture->Size, Options().LostDefaultSize);
  EXPECT_EQ(picture->SizeOrigin, TSizeOrigin::Default);
}

// A file record in use left in a free cluster is a file of a former MFT, read through its record; a
// deleted one is listed with its resident data; without lost files the scan lists no deleted record
// but still walks every free cluster.
TEST_F(NtfsLostData, RecordsInFreeClustersAndTheNoFilesSetting) {
  Mounted m(LoadImage("ntfs-reused.img.gz"));
  ASSERT_TRUE(m.ok);
  auto manifest = ReadManifest(FixturePath("ntfs-reused-manifest.txt"));
  const uint64_t cs = m.drive.ClusterSize;
  std::vector<uint8_t> raw;
  for (uint64_t n = 16; n < 128 && raw.empty(); ++n) {
    const uint8_t* r = m.image.data() + m.drive.MFTStartLcn * cs + n * m.drive.BytesPerFileRecord;
    std::string_view bytes(reinterpret_cast<const char*>(r), m.drive.BytesPerFileRecord);
    if (bytes.substr(0, 4) == "FILE" && bytes.find(std::string("n\0" "0\0" "7\0", 6)) != std::string_view::npos)
      raw.assign(r, r + m.drive.BytesPerFileRecord);
  }
  ASSERT_FALSE(raw.empty());
  const ManifestEntry& n07 = manifest.at("/n07.txt");
  std::memcpy(m.image.data() + 1800 * cs, raw.data(), raw.size());
  auto found = Search(m.drive, 1790, 1810);
  ASSERT_EQ(found.size(), 1u);
  auto* former = dynamic_cast<TNTFSFile*>(found.begin()->second);
  ASSERT_NE(former, nullptr);
  EXPECT_EQ(former->Name, "n07.txt");
  EXPECT_EQ(former->RecordOffset, 1800 * cs);
  EXPECT_EQ(former->Size, n07.Size);
  auto stream = OpenNTFSStream(m.drive, *former);
  ASSERT_NE(stream, nullptr);
  std::string bytes(n07.Size, '\0');
  ASSERT_EQ(stream->Read(reinterpret_cast<uint8_t*>(bytes.data()), n07.Size), n07.Size);
  EXPECT_EQ(Sha256OfBytes(bytes), n07.Sha256);

  m.image[1800 * cs + 0x16] &= ~1;  // the copy's in-use flag cleared: a deleted record
  found = Search(m.drive, 1790, 1810);
  ASSERT_EQ(found.size(), 1u);
  auto* record = dynamic_cast<TNTFSMFTFile*>(found.begin()->second);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Name, "n07.txt");
  EXPECT_EQ(record->Cluster, 1800u);
  EXPECT_EQ(record->Size, n07.Size);
  EXPECT_EQ(Sha256OfBytes(std::string_view(
                reinterpret_cast<const char*>(m.image.data() + 1800 * cs + record->DataOffset), record->Size)),
            n07.Sha256);

  Options().FindLostFiles = false;
  found = Search(m.drive, 1790, 1810);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(status.Position, 21u) << "every cluster of the range is stepped";
}

TEST_F(NtfsLostData, RangeOutsideTheVolumeIsClamped) {
  Mounted m(LoadImage("ntfs-reused.img.gz"));
  ASSERT_TRUE(m.ok);
  const uint64_t clusters = m.drive.VolumeSectors / m.drive.SectorsPerCluster;
  auto all = Search(m.drive, 0, UINT64_MAX);
  EXPECT_EQ(status.Max, clusters);
  auto reversed = Search(m.drive, UINT64_MAX, 0);
  EXPECT_EQ(all.size(), reversed.size());
  host.rangeAccepted = false;
  ScopedHost scope(host);
  EXPECT_FALSE(FindNTFSLostData(m.drive, &status));
}

}  // namespace
}  // namespace salvex::test
