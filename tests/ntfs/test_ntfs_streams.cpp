// Named data streams of ntfs-streams.img.gz (made by ntfs-3g, checked against fls/icat when built):
// each is its own entry right after its file or folder, with its size, its owner's time, the
// deleted owner's state, and its bytes through the save engine and the viewer.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "ntfs/NTFSStreamFile.h"
#include "ntfs/NTFSdrive.h"
#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/Volumes.h"

namespace salvex {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string ViewerBytes(TCustomFile& f) {
  auto s = f.OpenViewData({});
  std::string out;
  if (!s) return out;
  s->Seek(0);
  char buffer[65536];
  for (size_t n; (n = s->Read(reinterpret_cast<uint8_t*>(buffer), sizeof buffer)) > 0;) out.append(buffer, n);
  return out;
}

TEST(NtfsStreams, EveryNamedStreamIsAnEntryBesideItsOwnerWithItsOwnBytes) {
  test::FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto* drive =
      dynamic_cast<TNTFSdrive*>(test::OpenImageVolume(test::UnpackedImage("ntfs-streams.img.gz"), 0, devices, drives));
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(PrepareVolume(*drive, nullptr).Ok());
  drive->LoadSpecialFolders(nullptr);
  const auto manifest = test::ReadManifest(test::FixturePath("ntfs-streams-manifest.txt"));
  const fs::path out = fs::temp_directory_path() / ("ntfs-streams-" + std::to_string(getpid()));
  fs::create_directories(out);

  size_t streams = 0;
  for (const auto& [path, entry] : manifest) {
    const size_t colon = path.find(':');
    if (colon == std::string::npos) continue;
    ++streams;
    SCOPED_TRACE(path);
    const bool deleted = entry.State == "deleted";
    const TTreeKind tree = deleted ? TTreeKind::Deleted : TTreeKind::Root;
    auto found = ResolvePath(*drive, tree, path);
    ASSERT_TRUE(found.Ok());
    auto* s = dynamic_cast<TNTFSStreamFile*>(found.Value());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Size, entry.Size);
    EXPECT_EQ((s->Flags & ItemDeleted) != 0, deleted);
    // "f.txt:big" has no extension "txt:big".
    EXPECT_EQ(s->Parent->ListRow(*s).Cells.at(4).find(':'), std::string::npos);
    // A deleted file's streams are judged like its data: these clusters are all still free.
    EXPECT_EQ(s->Condition, deleted ? 1 : 0);

    // In its owner's folder, a file's right after it (only the file's other streams between them), with
    // its owner's time.
    auto owner = ResolvePath(*drive, tree, path.substr(0, colon));
    ASSERT_TRUE(owner.Ok());
    const std::vector<TItemRow> rows = ListFolder(*s->Parent);
    size_t ownerAt = rows.size(), at = rows.size();
    for (size_t k = 0; k < rows.size(); ++k) {
      if (rows[k].Item == owner.Value()) ownerAt = k;
      if (rows[k].Item == s) at = k;
    }
    ASSERT_LT(ownerAt, rows.size());
    ASSERT_LT(at, rows.size());
    // Folders are listed before files: a folder's stream is among the files of the folder's parent.
    if (!rows[ownerAt].Folder) {
      ASSERT_LT(ownerAt, at);
      for (size_t k = ownerAt + 1; k < at; ++k) EXPECT_EQ(rows[k].Name.rfind(rows[ownerAt].Name + ":", 0), 0u);
    }
    EXPECT_EQ(rows[at].Modified.has_value(), rows[ownerAt].Modified.has_value());
    if (rows[at].Modified && rows[ownerAt].Modified) {
      EXPECT_EQ(rows[at].Modified->tv_sec, rows[ownerAt].Modified->tv_sec);
    }

    const TSaveReport report = test::SaveInto({s}, out);
    EXPECT_TRUE(report.Ok());
    // Saved under the shown name, ':' made '_' unless the target's file system takes it.
    const std::string leaf = path.substr(path.rfind('/') + 1);
    const std::string saved = ReadAll(out / test::SavedName(leaf, out));
    EXPECT_EQ(test::Sha256OfBytes(saved), entry.Sha256);
    EXPECT_EQ(test::Sha256OfBytes(ViewerBytes(*s)), entry.Sha256);
  }
  EXPECT_EQ(streams, 19u);
  fs::remove_all(out);
}

}  // namespace
}  // namespace salvex
