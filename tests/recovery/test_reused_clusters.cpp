// Deleted FAT and exFAT files whose clusters files written later hold: what is known to be another
// file's bytes is poor in the listing and a failed save, with the reason; a deleted file read whole
// from free clusters (around live files it was written around) is saved.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"
#include "recovery/SaveNames.h"
#include "support/Cli.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct ReusedClusters : TempFolderTest {};

TEST_F(ReusedClusters, BytesKnownToBeAnotherFilesFailTheSaveWithTheReason) {
  struct Case {
    const char* image;
    const char* manifest;
    const char* path;    // in the Deleted tree
    const char* damage;  // part of the reason it fails; null when it saves whole
  } cases[] = {
      // A later file took the first cluster (the rest of the span is free or another file's).
      {"fat12.img.gz", "fat12-manifest.txt", "Work/Reused-Later.bin", "belongs to another file now"},
      {"fat16.img.gz", "fat16-manifest.txt", "Work/Reused-Later.bin", "belongs to another file now"},
      {"fat32.img.gz", "fat32-manifest.txt", "Work/Reused-Later.bin", "belongs to another file now"},
      {"fat16.img.gz", "fat16-manifest.txt", "Work/Deleted-Intact.txt", nullptr},
      {"fat16.img.gz", "fat16-manifest.txt", "Work/Empty-Deleted.txt", nullptr},
      // Contiguous files: every cluster of the span is the file's, so each one taken is known.
      {"reused-exfat.img.gz", "reused-exfat-manifest.txt", "Old/contig-taken.bin", "3 of its clusters belong to other files"},
      {"reused-exfat.img.gz", "reused-exfat-manifest.txt", "Old/contig-middle.bin", "1 of its clusters belong to other files"},
      {"reused-exfat.img.gz", "reused-exfat-manifest.txt", "Old/intact.bin", nullptr},
      // Chains the driver zeroed: only the first cluster is known.
      {"reused-exfat.img.gz", "reused-exfat-manifest.txt", "Old/frag-taken.bin", "its first cluster 11 belongs to another file"},
      {"reused-exfat.img.gz", "reused-exfat-manifest.txt", "Old/frag-around.bin", nullptr},
  };
  FakeHost host;
  ScopedHost scope(host);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " " + c.path);
    TDeviceList devices;
    TDriveList drives;
    TCustomDrive* drive = OpenImageVolume(UnpackedImage(c.image), 0, devices, drives);
    ASSERT_NE(drive, nullptr);
    auto item = ResolvePath(*drive, TTreeKind::Deleted, c.path);
    ASSERT_TRUE(item.Ok()) << item.Error().Why;
    const auto manifest = ReadManifest(FixturePath(c.manifest));
    const auto entry = manifest.find(std::string("/") + c.path);
    ASSERT_NE(entry, manifest.end());

    const TItemRow row = RowOf(*item.Value());
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const TSaveReport report = SaveInto({item.Value()}, out);
    if (!c.damage) {
      EXPECT_TRUE(report.Ok());
      EXPECT_EQ(report.Files, 1u);
      std::ifstream in(out / SavedName(row.Name, out), std::ios::binary);
      EXPECT_EQ(Sha256OfBytes(std::string(std::istreambuf_iterator<char>(in), {})), entry->second.Sha256);
    } else {
      EXPECT_EQ(entry->second.State, "overwritten");
      EXPECT_EQ(row.Condition, TItemRow::TCondition::Poor);
      EXPECT_NE(row.ConditionWhy.find(c.damage), std::string::npos) << row.ConditionWhy;
      EXPECT_FALSE(report.Ok());
      EXPECT_EQ(report.Files, 0u);
      ASSERT_EQ(report.Failures.size(), 1u);
      EXPECT_NE(report.Failures[0].Error.Why.find(c.damage), std::string::npos) << report.Failures[0].Error.Why;
    }
    fs::remove_all(out);
  }
}

}  // namespace
}  // namespace salvex::test
