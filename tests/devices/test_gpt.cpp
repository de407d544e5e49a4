// GPT disks, 4096-byte sectors and disks over 2 TiB, built at run time by real tools (sfdisk,
// mkfs.fat, mkntfs, ntfscp, mtools) from the committed demo image or fresh volumes, and checked
// against mmls and the manifests through the command line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

using Row = std::tuple<unsigned, uint64_t, uint64_t, std::string>;  // entry, start, sectors, name

// mmls rows of a GPT ("004:  000  0000002048  0000026623  0000024576  Demo FAT"), in 512-byte units.
std::set<Row> MmlsRows(const std::string& out) {
  std::set<Row> rows;
  std::regex row(R"(^\d+:\s+(\d{3})\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      rows.insert({unsigned(std::stoul(m[1])), std::stoull(m[2]), std::stoull(m[4]), m[5].str()});
  }
  return rows;
}

// Our GPT rows, scaled to 512-byte units as mmls shows them.
std::set<Row> CliRows(const std::string& out, uint64_t scale) {
  std::set<Row> rows;
  std::regex row(R"(^(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+.*\s[0-9A-F-]{36}\s+[0-9A-F-]{36}\s+\S+\s+(.*)$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row))
      rows.insert({unsigned(std::stoul(m[1])), std::stoull(m[2]) * scale, std::stoull(m[4]) * scale, m[5].str()});
  }
  return rows;
}

// (first sector, file system) of each volume of `salvex-cli volumes`.
std::vector<std::pair<uint64_t, std::string>> VolumeRows(const std::string& out) {
  std::vector<std::pair<uint64_t, std::string>> rows;
  std::regex row(R"(\s(\d+)\s+(\d+)\s+(FAT\S*|NTFS)\s+\S+\s+\S+\s*$)");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) rows.push_back({std::stoull(m[1]), m[3].str()});
  }
  return rows;
}

std::vector<std::string> ToolsMissing(std::initializer_list<const char*> tools) {
  std::vector<std::string> missing;
  for (const char* t : tools)
    if (!HaveTool(t)) missing.push_back(t);
  return missing;
}

struct GptDisks : TempFolderTest {
  // Runs a bash script in `dir`; the test fails with its output when it does.
  void Sh(const std::string& script) {
    CommandResult r = RunCommand({"bash", "-euo", "pipefail", "-c", "cd '" + dir.string() + "'\n" + script});
    ASSERT_EQ(r.ExitCode, 0) << script << "\n" << r.Out << r.Err;
  }
  std::string Demo() { return UnpackedImage("demo.img.gz").string(); }

  // A 26 MiB GPT disk (sfdisk) holding the demo image's FAT16 and NTFS volumes at their old
  // sectors, plus a Linux partition that must be listed but not opened.
  fs::path MakeDemoGpt() {
    Sh(R"(truncate -s 26M gpt.img
sfdisk -q --no-reread --no-tell-kernel gpt.img <<'EOF'
label: gpt
label-id: 5A1F0E00-0000-4000-8000-000000000001
unit: sectors
start=2048, size=24576, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Demo FAT", uuid=5A1F0E00-0000-4000-8000-0000000000F1
start=26624, size=22528, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Demo NTFS", uuid=5A1F0E00-0000-4000-8000-0000000000F2
start=49152, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="Linux data"
EOF
dd if=')" + Demo() + R"(' of=gpt.img bs=512 skip=2048 seek=2048 count=47104 conv=notrunc status=none)");
    return dir / "gpt.img";
  }

  void ExpectSaved(const fs::path& image, int volume, const std::string& file, const std::string& sha256,
                   std::vector<std::string> extra = {}) {
    fs::path target = dir / ("saved-" + std::to_string(volume));
    std::vector<std::string> args{"save", image.string(), "--volume", std::to_string(volume), "--to", target.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file);
    CommandResult r = Cli(args);
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    fs::path saved = target / fs::path(file).filename();
    ASSERT_TRUE(fs::exists(saved)) << r.Out;
    EXPECT_EQ(Sha256OfFile(saved), sha256) << file;
  }
};

TEST_F(GptDisks, ListingAgreesWithMmlsAndVolumesOpen) {
  auto missing = ToolsMissing({"sfdisk", "mmls"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  CommandResult ours = Cli({"partitions", img.string()});
  ASSERT_EQ(ours.ExitCode, 0) << ours.Err;
  CommandResult mmls = RunCommand({"mmls", img.string()});
  ASSERT_EQ(mmls.ExitCode, 0) << mmls.Err;
  auto expected = MmlsRows(mmls.Out);
  ASSERT_EQ(expected.size(), 3u) << mmls.Out;
  EXPECT_EQ(CliRows(ours.Out, 1), expected) << ours.Out;
  EXPECT_EQ(ours.Out.rfind("GPT, 512-byte sectors, header at sector 1\n", 0), 0u) << ours.Out;
  EXPECT_NE(ours.Out.find("basic data           EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 "
                          "5A1F0E00-0000-4000-8000-0000000000F1 FAT    Demo FAT"),
            std::string::npos)
      << ours.Out;
  EXPECT_NE(ours.Out.find("Linux filesystem"), std::string::npos);
  EXPECT_NE(ours.Out.find("NTFS   Demo NTFS"), std::string::npos);

  CommandResult volumes = Cli({"volumes", img.string()});
  ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
  auto rows = VolumeRows(volumes.Out);
  ASSERT_EQ(rows.size(), 2u) << volumes.Out;
  EXPECT_EQ(rows[0].first, 2048u);
  EXPECT_EQ(rows[1].first, 26624u);
  EXPECT_EQ(rows[1].second, "NTFS");
  auto fat = ReadManifest(FixturePath("demo-fat-manifest.txt"));
  auto ntfs = ReadManifest(FixturePath("demo-ntfs-manifest.txt"));
  ExpectSaved(img, 0, "Letters/Invitation.txt", fat["/Letters/Invitation.txt"].Sha256);
  ExpectSaved(img, 1, "Reports/Quarterly.txt", ntfs["/Reports/Quarterly.txt"].Sha256);
}

TEST_F(GptDisks, DamagedPrimaryHeaderFallsBackToTheBackup) {
  auto missing = ToolsMissing({"sfdisk"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  CommandResult good = Cli({"partitions", img.string()});
  ASSERT_EQ(good.ExitCode, 0) << good.Err;
  // One flipped byte in the primary header's disk GUID breaks its checksum.
  Sh("printf '\\x77' | dd of=gpt.img bs=1 seek=$((512 + 60)) conv=notrunc status=none");
  CommandResult r = Cli({"partitions", img.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("header at sector 53247 (backup header used: primary header checksum mismatch)"),
            std::string::npos)
      << r.Out;
  EXPECT_EQ(CliRows(r.Out, 1), CliRows(good.Out, 1));
  EXPECT_EQ(CliRows(r.Out, 1).size(), 3u);
  // A damaged entry array is refused the same way; with both copies gone the MBR is shown.
  Sh("printf '\\x77' | dd of=gpt.img bs=1 seek=$((53247 * 512 + 60)) conv=notrunc status=none");
  CommandResult none = Cli({"partitions", img.string()});
  ASSERT_EQ(none.ExitCode, 0) << none.Err;
  EXPECT_NE(none.Out.find("0xEE"), std::string::npos) << none.Out;
  EXPECT_EQ(none.Out.find("GPT,"), std::string::npos) << none.Out;
}

TEST_F(GptDisks, HybridMbrLeavesTheGptInCharge) {
  auto missing = ToolsMissing({"sfdisk"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  fs::path img = MakeDemoGpt();
  // MBR slot 2: an NTFS entry at sector 26624 that disagrees in size with the GPT's.
  Sh(R"(printf '\x00\x00\x00\x00\x07\x00\x00\x00\x00\x68\x00\x00\x00\x10\x00\x00' |
dd of=gpt.img bs=1 seek=$((0x1CE)) conv=notrunc status=none)");
  CommandResult r = Cli({"partitions", img.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(CliRows(r.Out, 1).size(), 3u) << r.Out;
  CommandResult volumes = Cli({"volumes", img.string()});
  EXPECT_EQ(VolumeRows(volumes.Out).size(), 2u) << volumes.Out;
}

struct GptPart {
  uint64_t First, Sectors;
  const char* Type;  // GUID text
  const char* Name;  // ASCII
};

// Writes a protective MBR, primary and backup GPT (128 entries) into an existing image of
// `total` sectors of `bps` bytes; the CRCs come from zlib, independent of the code under test.
void WriteGpt(const fs::path& image, uint32_t bps, uint64_t total, const std::vector<GptPart>& parts) {
  auto put16 = [](uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); };
  auto put32 = [&](uint8_t* p, uint32_t v) { put16(p, uint16_t(v)), put16(p + 2, uint16_t(v >> 16)); };
  auto put64 = [&](uint8_t* p, uint64_t v) { put32(p, uint32_t(v)), put32(p + 4, uint32_t(v >> 32)); };
  auto guid = [](uint8_t* p, const std::string& text) {
    std::string hex;
    for (char c : text)
      if (c != '-') hex += c;
    uint8_t b[16];
    for (int i = 0; i < 16; ++i) b[i] = uint8_t(std::stoul(hex.substr(size_t(i) * 2, 2), nullptr, 16));
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) p[i] = b[order[i]];
  };
  const uint64_t entrySectors = 128 * 128 / bps;
  std::vector<uint8_t> entries(128 * 128, 0);
  for (size_t i = 0; i < parts.size(); ++i) {
    uint8_t* e = &entries[i * 128];
    guid(e, parts[i].Type);
    guid(e + 16, "5A1F0E00-0000-4000-8000-0000000001" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    put64(e + 32, parts[i].First);
    put64(e + 40, parts[i].First + parts[i].Sectors - 1);
    for (size_t c = 0; parts[i].Name[c]; ++c) put16(e + 56 + 2 * c, uint16_t(parts[i].Name[c]));
  }
  uint32_t entryCrc = uint32_t(crc32(0, entries.data(), uInt(entries.size())));
  auto header = [&](uint64_t my, uint64_t alternate, uint64_t entryLba) {
    std::vector<uint8_t> h(bps, 0);
    std::memcpy(h.data(), "EFI PART", 8);
    put32(&h[8], 0x00010000);
    put32(&h[12], 92);
    put64(&h[24], my);
    put64(&h[32], alternate);
    put64(&h[40], 2 + entrySectors);
    put64(&h[48], total - 2 - entrySectors);
    guid(&h[56], "5A1F0E00-0000-4000-8000-00000000D15C");
    put64(&h[72], entryLba);
    put32(&h[80], 128);
    put32(&h[84], 128);
    put32(&h[88], entryCrc);
    put32(&h[16], uint32_t(crc32(0, h.data(), 92)));
    return h;
  };
  std::vector<uint8_t> mbr(bps, 0);
  mbr[0x1BE + 4] = 0xEE;
  put32(&mbr[0x1BE + 8], 1);
  put32(&mbr[0x1BE + 12], uint32_t(std::min<uint64_t>(total - 1, 0xFFFFFFFF)));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  auto at = [&](uint64_t lba, const std::vector<uint8_t>& bytes) {
    f.seekp(std::streamoff(lba * bps));
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };
  at(0, mbr);
  at(1, header(1, total - 1, 2));
  at(2, entries);
  at(total - 1 - entrySectors, entries);
  at(total - 1, header(total - 1, 1, total - 1 - entrySectors));
  ASSERT_TRUE(f.good());
}

constexpr const char* kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

// mmls rows in bytes (its units line says how large its sectors are).
std::set<Row> MmlsRowsInBytes(const std::string& out) {
  std::smatch m;
  uint64_t unit = 512;
  if (std::regex_search(out, m, std::regex(R"(Units are in (\d+)-byte sectors)"))) unit = std::stoull(m[1]);
  std::set<Row> rows;
  for (auto [index, start, sectors, name] : MmlsRows(out)) rows.insert({index, start * unit, sectors * unit, name});
  return rows;
}

// A hand-built GPT disk of 4096-byte sectors holding FAT32 and NTFS volumes of 4096-byte sectors
// (mkfs.fat, mkntfs), each with one file put there by mtools or ntfscp; and the volumes alone.
TEST_F(GptDisks, FourKiBSectorDisksAndVolumes) {
  auto missing = ToolsMissing({"mkfs.fat", "mcopy", "mkntfs", "ntfscp"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  // FAT32 needs 65525 clusters: 300 MiB of 4 KiB clusters, sparse.
  Sh(R"(head -c 150000 /dev/urandom > fat-file.bin
head -c 70000 /dev/urandom > ntfs-file.bin
truncate -s 300M fat4k.img
mkfs.fat -F 32 -S 4096 -s 1 -n FAT4K fat4k.img >/dev/null 2>&1
MTOOLS_SKIP_CHECK=1 mcopy -i fat4k.img fat-file.bin ::/Fat-File.bin
truncate -s 40M ntfs4k.img
mkntfs -q -F -f -s 4096 -c 4096 -L NTFS4K ntfs4k.img >/dev/null 2>&1
ntfscp -q ntfs4k.img ntfs-file.bin ntfs-file.bin
truncate -s $((87552 * 4096)) disk4k.img
dd if=fat4k.img of=disk4k.img bs=4096 seek=256 conv=notrunc,sparse status=none
dd if=ntfs4k.img of=disk4k.img bs=4096 seek=77056 conv=notrunc,sparse status=none)");
  fs::path disk = dir / "disk4k.img";
  WriteGpt(disk, 4096, 87552, {{256, 76800, kBasicData, "fat4k"}, {77056, 10240, kBasicData, "ntfs4k"}});
  std::string fatSha = Sha256OfFile(dir / "fat-file.bin"), ntfsSha = Sha256OfFile(dir / "ntfs-file.bin");

  // The sector size is detected from where the GPT header lies.
  CommandResult devices = Cli({"devices", disk.string()});
  ASSERT_EQ(devices.ExitCode, 0) << devices.Err;
  EXPECT_NE(devices.Out.find("(342.00 MB)"), std::string::npos) << devices.Out;
  EXPECT_NE(devices.Out.find(" 87552   4096"), std::string::npos) << devices.Out;
  CommandResult ours = Cli({"partitions", disk.string()});
  ASSERT_EQ(ours.ExitCode, 0) << ours.Err;
  EXPECT_EQ(ours.Out.rfind("GPT, 4096-byte sectors, header at sector 1\n", 0), 0u) << ours.Out;
  auto rows = CliRows(ours.Out, 4096);
  EXPECT_EQ(rows.size(), 2u) << ours.Out;
  if (HaveTool("mmls")) {
    CommandResult mmls = RunCommand({"mmls", "-b", "4096", disk.string()});
    ASSERT_EQ(mmls.ExitCode, 0) << mmls.Err;
    EXPECT_EQ(rows, MmlsRowsInBytes(mmls.Out)) << ours.Out << mmls.Out;
  }
  CommandResult volumes = Cli({"volumes", disk.string()});
  auto v = VolumeRows(volumes.Out);
  ASSERT_EQ(v.size(), 2u) << volumes.Out;
  EXPECT_EQ(v[0], std::make_pair(uint64_t(256), std::string("FAT32")));
  EXPECT_EQ(v[1], std::make_pair(uint64_t(77056), std::string("NTFS")));
  ExpectSaved(disk, 0, "Fat-File.bin", fatSha);
  ExpectSaved(disk, 1, "ntfs-file.bin", ntfsSha);
  fs::remove_all(dir / "saved-0");
  fs::remove_all(dir / "saved-1");

  // The volumes alone take their sector size from their boot sectors.
  for (const char* image : {"fat4k.img", "ntfs4k.img"}) {
    CommandResult d = Cli({"devices", (dir / image).string(), "--json"});
    auto doc = nlohmann::json::parse(d.Out);
    ASSERT_EQ(doc["devices"].size(), 1u) << d.Out;
    EXPECT_EQ(doc["devices"][0]["bytes_per_sector"], 4096) << d.Out;
  }
  ExpectSaved(dir / "fat4k.img", 0, "Fat-File.bin", fatSha);
  ExpectSaved(dir / "ntfs4k.img", 0, "ntfs-file.bin", ntfsSha);

  // The same volumes behind an MBR of 4096-byte sectors: the boot sectors at start × 4096 tell.
  Sh(R"(cp --sparse=always disk4k.img mbr4k.img
printf '\x00\x00\x00\x00\x0C\x00\x00\x00\x00\x01\x00\x00\x00\x2C\x01\x00' |
  dd of=mbr4k.img bs=1 seek=$((0x1BE)) conv=notrunc status=none
printf '\x00\x00\x00\x00\x07\x00\x00\x00\x00\x2D\x01\x00\x00\x28\x00\x00' |
  dd of=mbr4k.img bs=1 seek=$((0x1CE)) conv=notrunc status=none
dd if=/dev/zero of=mbr4k.img bs=4096 seek=1 count=1 conv=notrunc status=none)");
  CommandResult mbr = Cli({"volumes", (dir / "mbr4k.img").string()});
  v = VolumeRows(mbr.Out);
  ASSERT_EQ(v.size(), 2u) << mbr.Out << mbr.Err;
  EXPECT_EQ(v[0], std::make_pair(uint64_t(256), std::string("FAT32")));
  EXPECT_EQ(v[1], std::make_pair(uint64_t(77056), std::string("NTFS")));
  fs::remove_all(dir / "saved-1");
  ExpectSaved(dir / "mbr4k.img", 1, "ntfs-file.bin", ntfsSha);

  // Forced to 512, the same disk shows only its protective MBR.
  CommandResult forced = Cli({"partitions", "--sector-size", "512", disk.string()});
  ASSERT_EQ(forced.ExitCode, 0) << forced.Err;
  EXPECT_NE(forced.Out.find("0xEE"), std::string::npos) << forced.Out;
  EXPECT_EQ(Cli({"devices", "--sector-size", "600", disk.string()}).ExitCode, 2);
}

// Sparse disks over 2 TiB (3 TiB; 17 TiB, past ext4's largest file, on tmpfs when needed) with
// sfdisk's GPT and small FAT32 and NTFS volumes beyond 2 TiB: listed, opened, a file saved.
TEST_F(GptDisks, DisksBeyondTwoTiB) {
  auto missing = ToolsMissing({"sfdisk", "mkfs.fat", "mcopy", "mkntfs", "ntfscp"});
  if (!missing.empty()) GTEST_SKIP() << "missing " << missing.front();
  Sh(R"(head -c 90000 /dev/urandom > fat-file.bin
head -c 50000 /dev/urandom > ntfs-file.bin
truncate -s 40M fat.img
mkfs.fat -F 32 -s 1 fat.img >/dev/null 2>&1
MTOOLS_SKIP_CHECK=1 mcopy -i fat.img fat-file.bin ::/Fat-File.bin
truncate -s 8M ntfs.img
mkntfs -q -F -f -s 512 -c 4096 ntfs.img >/dev/null 2>&1
ntfscp -q ntfs.img ntfs-file.bin ntfs-file.bin)");
  const std::string fatSha = Sha256OfFile(dir / "fat-file.bin"), ntfsSha = Sha256OfFile(dir / "ntfs-file.bin");
  struct Case {
    const char* Size;
    uint64_t FatStart;  // sectors; the NTFS volume follows the FAT one
  };
  for (Case c : {Case{"3T", 5368709120ull}, Case{"17T", 35433480192ull}}) {
    SCOPED_TRACE(c.Size);
    fs::path disk = dir / "big.img";
    if (RunCommand({"truncate", "-s", c.Size, disk.string()}).ExitCode != 0) {
      disk = fs::path("/dev/shm") / ("salvex-big-" + std::to_string(getpid()) + ".img");
      if (RunCommand({"truncate", "-s", c.Size, disk.string()}).ExitCode != 0) {
        ADD_FAILURE() << "no file system here takes a sparse file of " << c.Size;
        continue;
      }
    }
    const uint64_t ntfsStart = c.FatStart + 81920;
    Sh("sfdisk -q --no-reread --no-tell-kernel '" + disk.string() + "' <<'EOF'\nlabel: gpt\nunit: sectors\nstart=" +
       std::to_string(c.FatStart) + ", size=81920, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"far fat\"\nstart=" +
       std::to_string(ntfsStart) + ", size=16384, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"far ntfs\"\nEOF\n" +
       "dd if=fat.img of='" + disk.string() + "' bs=512 seek=" + std::to_string(c.FatStart) +
       " conv=notrunc,sparse status=none\n" + "dd if=ntfs.img of='" + disk.string() + "' bs=512 seek=" +
       std::to_string(ntfsStart) + " conv=notrunc,sparse status=none");
    CommandResult ours = Cli({"partitions", disk.string()});
    ASSERT_EQ(ours.ExitCode, 0) << ours.Err;
    auto rows = CliRows(ours.Out, 512);
    EXPECT_EQ(rows, (std::set<Row>{{0, c.FatStart * 512, 81920 * 512, "far fat"},
                                   {1, ntfsStart * 512, 16384 * 512, "far ntfs"}}))
        << ours.Out;
    if (HaveTool("mmls")) {
      CommandResult mmls = RunCommand({"mmls", disk.string()});
      EXPECT_EQ(rows, MmlsRowsInBytes(mmls.Out)) << mmls.Out << mmls.Err;
    }
    CommandResult volumes = Cli({"volumes", disk.string()});
    auto v = VolumeRows(volumes.Out);
    ASSERT_EQ(v.size(), 2u) << volumes.Out;
    EXPECT_EQ(v[0], std::make_pair(c.FatStart, std::string("FAT32")));
    EXPECT_EQ(v[1], std::make_pair(ntfsStart, std::string("NTFS")));
    ExpectSaved(disk, 0, "Fat-File.bin", fatSha);
    ExpectSaved(disk, 1, "ntfs-file.bin", ntfsSha);
    fs::remove(disk);
    fs::remove_all(dir / "saved-0");
    fs::remove_all(dir / "saved-1");
  }
}

// exFAT of 4096-byte sectors (the SDXC/4Kn layout) on disks of 4096-byte sectors that only their
// backup GPT header or the boot sector an MBR entry points at can tell: each volume is found,
// named exFAT, and its files read.
TEST_F(GptDisks, FourKiBSectorsToldByTheBackupHeaderOrTheBootSector) {
  const fs::path volume = UnpackedImage("exfat-4k.img.gz");
  const uint64_t volumeSectors = fs::file_size(volume) / 4096, total = 256 + volumeSectors + 64;
  const std::string tinySha = "374aef32ccc37588c3b5306f1bceca9eb4db2998b1cbe41fa6718d5a5af413c1";
  Sh("truncate -s " + std::to_string(total * 4096) + " gpt4k.img\ndd if='" + volume.string() +
     "' of=gpt4k.img bs=4096 seek=256 conv=notrunc,sparse status=none");
  const fs::path gpt = dir / "gpt4k.img";
  WriteGpt(gpt, 4096, total, {{256, volumeSectors, kBasicData, "sdxc"}});
  // The primary header is gone; the MBR still protects the disk.
  Sh("dd if=/dev/zero of=gpt4k.img bs=4096 seek=1 count=1 conv=notrunc status=none");
  // The same volume behind an MBR of 4096-byte sectors, type 0x07 as card readers format it.
  Sh("truncate -s " + std::to_string(total * 4096) + " mbr4k.img\ndd if='" + volume.string() +
     "' of=mbr4k.img bs=4096 seek=256 conv=notrunc,sparse status=none\n"
     R"(printf '\x00\x00\x00\x00\x07\x00\x00\x00\x00\x01\x00\x00\x00\x08\x00\x00' |
  dd of=mbr4k.img bs=1 seek=$((0x1BE)) conv=notrunc status=none
printf '\x55\xAA' | dd of=mbr4k.img bs=1 seek=510 conv=notrunc status=none)");
  for (const fs::path& disk : {gpt, dir / "mbr4k.img"}) {
    SCOPED_TRACE(disk.filename().string());
    CommandResult devices = Cli({"devices", disk.string(), "--json"});
    ASSERT_EQ(devices.ExitCode, 0) << devices.Err;
    EXPECT_EQ(nlohmann::json::parse(devices.Out)["devices"][0]["bytes_per_sector"], 4096) << devices.Out;
    CommandResult parts = Cli({"partitions", disk.string(), "--json"});
    ASSERT_EQ(parts.ExitCode, 0) << parts.Err;
    const auto doc = nlohmann::json::parse(parts.Out);
    ASSERT_EQ(doc["partitions"].size(), 1u) << parts.Out;
    EXPECT_EQ(doc["partitions"][0]["first_sector"], 256) << parts.Out;
    EXPECT_EQ(doc["partitions"][0]["kind"], "exFAT") << parts.Out;
    CommandResult volumes = Cli({"volumes", disk.string(), "--json"});
    ASSERT_EQ(volumes.ExitCode, 0) << volumes.Err;
    const auto v = nlohmann::json::parse(volumes.Out);
    ASSERT_EQ(v["volumes"].size(), 1u) << volumes.Out;
    EXPECT_EQ(v["volumes"][0]["fs"], "exFAT") << volumes.Out;
    fs::remove_all(dir / "saved-0");
    ExpectSaved(disk, 0, "tiny.txt", tinySha);
  }
}

}  // namespace
}  // namespace salvex::test
