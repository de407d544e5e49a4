// The command line's generic volume commands, run as a user runs them, on the committed images.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>
#include <sstream>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CliVolumes : TempFolderTest {
  const fs::path& target = dir;
  static std::string Fat16() { return UnpackedImage("fat16.img.gz").string(); }
};

TEST_F(CliVolumes, VolumesListsEveryPartitionAndSingleVolume) {
  auto r = Cli({"volumes", Fat16(), UnpackedImage("mbr-extended.img.gz").string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 6u) << r.Out;  // header, four partitions (one NTFS), the FAT16 image
  EXPECT_NE(r.Out.find("FAT16IMAGE"), std::string::npos);
  bool logical32 = false;
  for (const auto& l : lines)
    if (l.find("LOGICALF32") != std::string::npos)
      logical32 = l.find("28672") != std::string::npos && l.find("FAT32") != std::string::npos;
  EXPECT_TRUE(logical32) << r.Out;
}

TEST_F(CliVolumes, LsShowsTheRowsOfTheFileList) {
  auto r = Cli({"ls", Fat16(), "--volume", "0"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  auto lines = Lines(r.Out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Name\tSize\tModified\tCluster\tCondition\tType");
  EXPECT_EQ(lines[1].rfind("Docs/\t\t", 0), 0u);  // folders first
  bool readme = false;
  for (const auto& l : lines)
    if (l.rfind("readme.txt\t700\t", 0) == 0) readme = true;
  EXPECT_TRUE(readme) << r.Out;
}

TEST_F(CliVolumes, LsDeletedRecursiveAndByPath) {
  auto r = Cli({"ls", Fat16(), "--volume", "0", "--deleted", "-r"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("Work/Deleted-Intact.txt\t6134\t"), std::string::npos);
  EXPECT_NE(r.Out.find("Trash/Inner/Nested-Long-Name.txt\t150\t"), std::string::npos);
  EXPECT_EQ(r.Out.find("Keep.txt"), std::string::npos);  // live files stay out of the Deleted tree
  auto p = Cli({"ls", Fat16(), "--volume", "0", "--path", "Docs/Level2"});
  ASSERT_EQ(p.ExitCode, 0) << p.Err;
  EXPECT_NE(p.Out.find("report.txt\t2500\t"), std::string::npos);
  // The folder may follow the image, as for cat and save.
  EXPECT_EQ(Cli({"ls", Fat16(), "docs\\level2"}).Out, p.Out);
  auto missing = Cli({"ls", Fat16(), "--volume", "0", "--path", "Nope"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_EQ(Lines(missing.Err).size(), 1u);
}

TEST_F(CliVolumes, LsJsonHasTypedValues) {
  auto r = Cli({"ls", Fat16(), "--volume", "0", "--deleted", "-r", "--json"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const auto rows = nlohmann::json::parse(r.Out)["items"];
  ASSERT_TRUE(rows.is_array());
  bool folder = false, file = false;
  for (const auto& row : rows) {
    EXPECT_EQ(row["fs"], "FAT16");
    EXPECT_EQ(row["inode_kind"], "cluster");
    if (row["path"] == "Trash/Inner") {
      EXPECT_EQ(row["type"], "folder");
      folder = true;
    }
    if (row["path"] == "Work/Also-Gone.txt") {
      EXPECT_EQ(row["condition"], "good");
      EXPECT_TRUE(row["size"].is_number_unsigned());
      EXPECT_EQ(row["state"], "deleted");
      EXPECT_EQ(row["modified"].get<std::string>().size(), 20u);  // 2021-03-06T05:09:00Z
      file = true;
    }
  }
  EXPECT_TRUE(folder && file);
}

TEST_F(CliVolumes, ErrorsAreOneLineWithExitStatus) {
  auto missing = Cli({"ls", "/nonexistent/image.img", "--volume", "0"});
  EXPECT_EQ(missing.ExitCode, 1);
  ASSERT_EQ(Lines(missing.Err).size(), 1u) << missing.Err;
  EXPECT_EQ(missing.Err.rfind("salvex-cli: ", 0), 0u);
  auto directory = Cli({"volumes", target.string()});
  EXPECT_EQ(directory.ExitCode, 1);
  EXPECT_EQ(Lines(directory.Err).size(), 1u) << directory.Err;
  auto usage = Cli({"ls"});
  EXPECT_EQ(usage.ExitCode, 2);
  auto range = Cli({"ls", Fat16(), "--volume", "7"});
  EXPECT_EQ(range.ExitCode, 1);
  EXPECT_NE(range.Err.find("no volume 7"), std::string::npos);
  auto fat = Cli({"save", Fat16(), "--volume", "0", "--fat", "3", "--to", target.string(), "/"});
  EXPECT_EQ(fat.ExitCode, 2);
}

TEST_F(CliVolumes, SaveWritesTheManifestsBytes) {
  auto manifest = ReadManifest(FixturePath("fat16-manifest.txt"));
  auto r = Cli({"save", Fat16(), "--volume", "0", "--to", target.string(), "Docs", "multi-cluster.bin"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Lines(r.Out).back(), "saved: 6 files, 117113 bytes, 0 skipped (existing kept), 0 partial, 0 failed");
  EXPECT_EQ(Sha256OfFile(target / "multi-cluster.bin"), manifest["/multi-cluster.bin"].Sha256);
  EXPECT_EQ(Sha256OfFile(target / "Docs" / "Level2" / "Level3" / "Deep-Binary.bin"),
            manifest["/Docs/Level2/Level3/Deep-Binary.bin"].Sha256);
  auto d = Cli({"save", Fat16(), "--volume", "0", "--deleted", "--fat", "none", "--to", target.string(),
                "Work/Deleted-Intact.txt"});
  ASSERT_EQ(d.ExitCode, 0) << d.Err;
  EXPECT_EQ(Sha256OfFile(target / "Deleted-Intact.txt"), manifest["/Work/Deleted-Intact.txt"].Sha256);
  auto missing = Cli({"save", Fat16(), "--volume", "0", "--to", target.string(), "no-such-file"});
  EXPECT_EQ(missing.ExitCode, 1);
}

TEST_F(CliVolumes, UndeleteSavesEveryDeletedFileWithItsFolders) {
  auto manifest = ReadManifest(FixturePath("fat16-manifest.txt"));
  auto r = Cli({"undelete", Fat16(), "--volume", "0", "--to", target.string()});
  // The two whose first cluster a later file holds are saved with their reason, and fail the run.
  ASSERT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_NE(r.Out.find("2 partial, 0 failed"), std::string::npos) << r.Out;
  EXPECT_NE(r.Err.find("Work/Reused-Later.bin: its first cluster 90 belongs to another file now"), std::string::npos)
      << r.Err;
  // Deleted short names lose their first letter, so files are matched by content.
  std::set<std::string> saved;
  for (const auto& e : fs::recursive_directory_iterator(target))
    if (e.is_regular_file()) saved.insert(Sha256OfFile(e.path()));
  size_t checked = 0;
  for (const auto& [path, e] : manifest) {
    if (e.Kind != "file" || e.State != "deleted") continue;
    EXPECT_TRUE(saved.count(e.Sha256)) << path;
    ++checked;
  }
  EXPECT_EQ(Sha256OfFile(target / "Trash" / "Inner" / "Nested-Long-Name.txt"),
            manifest["/Trash/Inner/Nested-Long-Name.txt"].Sha256);
  EXPECT_GE(checked, 6u);
  EXPECT_FALSE(fs::exists(target / "Work" / "Keep.txt"));
  // Again: existing files are kept unless --overwrite all; the two kept for files that cannot be
  // saved whole are no success.
  auto again = Cli({"undelete", Fat16(), "--volume", "0", "--to", target.string(), "--overwrite", "none"});
  EXPECT_EQ(again.ExitCode, 1) << again.Err;
  EXPECT_NE(again.Out.find(" 0 partial, 2 failed"), std::string::npos) << again.Out;
  EXPECT_EQ(Lines(again.Out).back().rfind("saved: 0 files, 0 bytes, ", 0), 0u) << again.Out;
  EXPECT_EQ(again.Out.find(" 0 skipped"), std::string::npos) << again.Out;
  auto masked = Cli({"undelete", Fat16(), "--volume", "0", "--to", target.string(), "--overwrite", "all", "--mask",
                     "*.bin"});
  EXPECT_EQ(masked.ExitCode, 1) << masked.Err;
  EXPECT_EQ(Lines(masked.Out).back().rfind("saved: 2 files", 0), 0u) << masked.Out;
  EXPECT_NE(masked.Out.find("2 partial"), std::string::npos) << masked.Out;
}

// 2 MiB clusters, the largest Windows formats (made by mkntfs, filled by ntfs-3g; The Sleuth Kit
// cannot read them): every live file saves byte-exact, the deleted one undeletes byte-exact.
TEST_F(CliVolumes, NtfsWithTwoMebibyteClustersSavesAndUndeletes) {
  const std::string image = UnpackedImage("ntfs-2m-clusters.img.gz").string();
  auto manifest = ReadManifest(FixturePath("ntfs-2m-clusters-manifest.txt"));
  auto save = Cli({"save", image, "--to", (target / "live").string(), "/"});
  ASSERT_EQ(save.ExitCode, 0) << save.Err;
  auto undelete = Cli({"undelete", image, "--to", (target / "deleted").string()});
  ASSERT_EQ(undelete.ExitCode, 0) << undelete.Err;
  size_t checked = 0;
  for (const auto& [path, e] : manifest) {
    if (e.Kind != "file") continue;
    const fs::path saved = target / (e.State == "live" ? "live" : "deleted") / path.substr(1);
    EXPECT_EQ(Sha256OfFile(saved), e.Sha256) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 4u);
}

}  // namespace
}  // namespace salvex::test
