// Containers made by their own tools (tests/fixtures/make-container-images.sh) from one 4 MiB disk,
// read through the disk layer and compared with that disk byte for byte: intact ones give it whole;
// damaged tables give read errors exactly where they are damaged, never other bytes; a file cut
// short is refused with a message that says so; renamed single-file VMDKs, split raw images and
// images with a parent read as one disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "disk/RawIO.h"
#include "disk/SplitRawImage.h"
#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kKiB = 1024, kMiB = 1024 * 1024;
constexpr uint64_t kDamaged = 2 * kMiB + 64 * kKiB;  // the media byte whose table entry the script damaged

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct MediaRead {
  std::string OpenFailure;
  uint64_t Size = 0;
  std::vector<std::pair<uint64_t, uint64_t>> Unreadable;  // [begin, end), merged
  std::vector<uint64_t> Different;                        // offsets of pieces read but not as expected
};

// Reads the media in 16 KiB pieces (smaller than every unit of damage) and compares each with `expect`.
MediaRead ReadMedia(const fs::path& path, const std::vector<uint8_t>& expect) {
  TPosixRawIO io;
  MediaRead result;
  int fd = io.Open(path.string());
  if (fd < 0) {
    result.OpenFailure = io.OpenFailure().empty() ? std::strerror(errno) : io.OpenFailure();
    return result;
  }
  io.Size(fd, result.Size);
  std::vector<uint8_t> piece(16 * kKiB);
  for (uint64_t at = 0; at < result.Size; at += piece.size()) {
    const size_t want = size_t(std::min<uint64_t>(piece.size(), result.Size - at));
    ssize_t got = io.PRead(fd, piece.data(), want, at);
    if (got != ssize_t(want)) {
      if (!result.Unreadable.empty() && result.Unreadable.back().second == at) result.Unreadable.back().second += want;
      else result.Unreadable.push_back({at, at + want});
    } else if (at + want > expect.size() || std::memcmp(piece.data(), expect.data() + at, want) != 0) {
      result.Different.push_back(at);
    }
  }
  io.Close(fd);
  return result;
}

struct ContainerFixtures : TempFolderTest {
  std::vector<uint8_t> base;
  void SetUp() override {
    CommandResult r = RunCommand({"tar", "-xJf", FixturePath("containers.tar.xz").string(), "-C", dir.string()});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    base = ReadFile(dir / "base.img");
    ASSERT_EQ(base.size(), 4 * kMiB);
  }
};

TEST_F(ContainerFixtures, DamagedTablesAreReadErrorsExactlyWhereTheyPoint) {
  struct Case {
    const char* File;
    std::pair<uint64_t, uint64_t> Unreadable;  // {0, 0}: the whole disk reads back
  };
  const Case cases[] = {
      {"disk.qcow2", {}},
      {"disk.vmdk", {}},
      {"disk-stream.vmdk", {}},
      {"disk.vhd", {}},
      {"disk.vhdx", {}},
      {"disk.E01", {}},
      {"disk-z.E01", {}},
      // The chunk (32 KiB) of the damaged byte: its checksum fails, or its deflate data is broken.
      {"bad-crc.E01", {kDamaged / (32 * kKiB) * 32 * kKiB, (kDamaged / (32 * kKiB) + 1) * 32 * kKiB}},
      {"bad-zlib.E01", {kDamaged / (32 * kKiB) * 32 * kKiB, (kDamaged / (32 * kKiB) + 1) * 32 * kKiB}},
      // An L2 entry "allocated at offset 0": its 64 KiB cluster would be the header.
      {"bad-l2.qcow2", {kDamaged, kDamaged + 64 * kKiB}},
      // A grain table entry pointing at sector 1: the 64 KiB grain would be the descriptor.
      {"bad-grain.vmdk", {kDamaged, kDamaged + 64 * kKiB}},
      // The BAT entry of the second 2 MiB block: 0xFFFFFFFE, or sector 0 (the footer copy).
      {"bad-bat.vhd", {2 * kMiB, 4 * kMiB}},
      {"bad-bat-header.vhd", {2 * kMiB, 4 * kMiB}},
      // The BAT entry of the third 1 MiB block says "fully present at 0 MiB", the header.
      {"bad-bat.vhdx", {2 * kMiB, 3 * kMiB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    MediaRead got = ReadMedia(dir / c.File, base);
    ASSERT_EQ(got.OpenFailure, "");
    EXPECT_EQ(got.Size, base.size());
    EXPECT_EQ(got.Different, std::vector<uint64_t>{});
    std::vector<std::pair<uint64_t, uint64_t>> want;
    if (c.Unreadable.second != 0) want.push_back(c.Unreadable);
    EXPECT_EQ(got.Unreadable, want);
  }
}

TEST_F(ContainerFixtures, ContainersCutShortAreRefusedWithTheReason) {
  for (const char* name :
       {"disk.qcow2", "disk.vmdk", "disk-stream.vmdk", "disk.vhd", "disk.vhdx", "child.qcow2", "disk.E01", "disk-z.E01"}) {
    SCOPED_TRACE(name);
    fs::path cut = dir / (std::string("cut-") + name);
    fs::copy_file(dir / name, cut);
    fs::resize_file(cut, fs::file_size(cut) * 3 / 5);
    MediaRead got = ReadMedia(cut, base);
    EXPECT_NE(got.OpenFailure.find("is cut short"), std::string::npos) << got.OpenFailure;
    // Where the tables tell how much is missing, the message says it.
    if (fs::path(name).extension() != ".E01") {
      EXPECT_NE(got.OpenFailure.find(std::to_string(fs::file_size(cut)) + " bytes"), std::string::npos)
          << got.OpenFailure;
    }
  }
}

TEST_F(ContainerFixtures, RenamedSplitAndChildImagesReadAsOneDisk) {
  // Single-file VMDKs under another name, in a folder where their old name is another file.
  fs::create_directory(dir / "moved");
  fs::copy_file(dir / "disk.vmdk", dir / "moved" / "renamed.vmdk");
  fs::copy_file(dir / "disk-stream.vmdk", dir / "moved" / "also renamed.vmdk");
  fs::copy_file(dir / "disk.vhd", dir / "moved" / "disk.vmdk");
  fs::copy_file(dir / "disk.vhd", dir / "moved" / "disk-stream.vmdk");

  // Split raw images in 1 MiB segments, named the three usual ways.
  const std::vector<std::vector<std::string>> splits = {
      {"split.001", "split.002", "split.003", "split.004"},
      {"zero.000", "zero.001", "zero.002", "zero.003"},
      {"alpha.aa", "alpha.ab", "alpha.ac", "alpha.ad"}};
  for (const auto& names : splits)
    for (size_t i = 0; i < names.size(); ++i)
      std::ofstream(dir / names[i], std::ios::binary)
          .write(reinterpret_cast<const char*>(base.data() + i * kMiB), std::streamsize(kMiB));

  std::vector<uint8_t> child = base;
  std::fill(child.begin() + kMiB, child.begin() + kMiB + 64 * kKiB, 0x5A);
  const std::pair<fs::path, const std::vector<uint8_t>*> cases[] = {
      {dir / "moved" / "renamed.vmdk", &base}, {dir / "moved" / "also renamed.vmdk", &base},
      {dir / "split.001", &base},              {dir / "zero.000", &base},
      {dir / "alpha.aa", &base},               {dir / "child.qcow2", &child},
      {dir / "child.vhd", &child},
  };
  for (const auto& [path, expect] : cases) {
    SCOPED_TRACE(path.filename().string());
    MediaRead got = ReadMedia(path, *expect);
    ASSERT_EQ(got.OpenFailure, "");
    EXPECT_EQ(got.Size, base.size());
    EXPECT_TRUE(got.Unreadable.empty());
    EXPECT_EQ(got.Different, std::vector<uint64_t>{});
  }

  // A later segment given alone, or a first one without followers, is one raw file.
  EXPECT_EQ(ReadMedia(dir / "split.002", base).Size, kMiB);
  fs::remove(dir / "alpha.ab");
  EXPECT_EQ(ReadMedia(dir / "alpha.aa", base).Size, kMiB);

  // A child without its parent is refused, naming the parent it needs.
  fs::create_directory(dir / "alone");
  for (const auto& [child, parent] : {std::pair{"child.qcow2", "parent.qcow2"}, std::pair{"child.vhd", "disk.vhd"}}) {
    fs::copy_file(dir / child, dir / "alone" / child);
    MediaRead alone = ReadMedia(dir / "alone" / child, base);
    EXPECT_NE(alone.OpenFailure.find("its parent image '" + std::string(parent) + "', which is not beside it"),
              std::string::npos)
        << alone.OpenFailure;
  }
}

TEST(SplitRawNames, NextSegmentCarriesAndStopsAtTheLastName) {
  const std::pair<const char*, const char*> next[] = {
      {"d/disk.001", "d/disk.002"}, {"disk.009", "disk.010"}, {"disk.099", "disk.100"}, {"disk.999", ""},
      {"disk.aa", "disk.ab"},       {"disk.az", "disk.ba"},   {"DISK.AZ", "DISK.BA"},   {"disk.zz", ""},
      {"disk.img", "disk.imh"},     {"disk.E01", ""},         {"disk.001/x", ""},       {"disk", ""},
  };
  for (const auto& [name, want] : next) EXPECT_EQ(NextSegmentName(name), want) << name;
  for (const char* first : {"disk.001", "disk.000", "disk.aa", "disk.AA", "disk.0001"})
    EXPECT_TRUE(IsFirstSegmentName(first)) << first;
  for (const char* later : {"disk.002", "disk.010", "disk.ab", "disk.img", "disk.E01", "disk.1", "disk.a"})
    EXPECT_FALSE(IsFirstSegmentName(later)) << later;
}

// Through the command line: a file over the damaged chunk is not saved as good, and says why.
TEST_F(ContainerFixtures, ASaveOverADamagedChunkFails) {
  CommandResult good = Cli({"save", (dir / "disk.E01").string(), "--to", (dir / "good").string(), "/"});
  ASSERT_EQ(good.ExitCode, 0) << good.Out << good.Err;
  CommandResult bad = Cli({"save", (dir / "bad-crc.E01").string(), "--to", (dir / "bad").string(), "/"});
  EXPECT_NE(bad.ExitCode, 0) << bad.Out << bad.Err;
  EXPECT_NE((bad.Out + bad.Err).find("read"), std::string::npos) << bad.Out << bad.Err;
}

// qcow2 made by qemu-img (tests/fixtures/make-qcow-compressed-images.sh): compressed clusters and
// zero clusters read as qemu-img reads them; tables that point past the end of the file are refused
// with the table, entry and offset named, before libqcow could read past its buffers.
struct QcowTables : TempFolderTest {};

TEST_F(QcowTables, CompressedAndZeroClustersReadAsQemuReadsThemAndBadEntriesAreCaught) {
  CommandResult r = RunCommand({"tar", "-xJf", FixturePath("qcow-compressed.tar.xz").string(), "-C", dir.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const std::vector<uint8_t> raw = ReadFile(dir / "raw.img"), zeroed = ReadFile(dir / "zeroed.raw");
  const std::vector<uint8_t> image = ReadFile(dir / "compressed.qcow2");
  auto be = [&](size_t at) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = v << 8 | image.at(at + i);
    return v;
  };
  // 4 KiB clusters: one L2 table maps the whole 512 KiB disk.
  const uint64_t l2 = be(size_t(be(40))) & 0x00FFFFFFFFFFFE00ull;
  const uint64_t entry5 = be(size_t(l2 + 5 * 8));
  ASSERT_NE(entry5 & (uint64_t(1) << 62), 0u) << "cluster 5 is not compressed";
  const uint64_t size = image.size();
  struct Case {
    std::string Name;
    uint64_t CutTo = 0;                            // 0: whole file
    std::optional<uint64_t> Entry5;                // the new L2 entry of disk cluster 5
    const std::vector<uint8_t>* Expect = nullptr;  // null: refused
    std::vector<std::string> Reason;               // in the refusal
    std::pair<uint64_t, uint64_t> Unreadable{};    // {0, 0}: everything reads
    bool Zstd = false;                             // the header names zstd compression
  };
  const uint64_t compressedFlag = uint64_t(1) << 62, sectorShift = 62 - (12 - 8);
  const Case cases[] = {
      {"compressed.qcow2", 0, {}, &raw, {}, {}},
      // Zero clusters keep their old offsets; libqcow would read the old bytes there.
      {"zeroed.qcow2", 0, {}, &zeroed, {}, {}},
      {"cut.qcow2", size * 3 / 5, {}, nullptr, {"is cut short", "compressed cluster of entry", std::to_string(size * 3 / 5) + " bytes"}},
      {"past-end.qcow2", 0, compressedFlag | (uint64_t(1) << sectorShift) | (size + 4096), nullptr,
       {"is cut short", "compressed cluster of entry 5 of the L2 table at byte " + std::to_string(l2), "at byte " + std::to_string(size + 4096)}},
      // Starting at the very end: libqcow would find no compressed bytes and take a plain block.
      {"at-end.qcow2", 0, compressedFlag | size, nullptr, {"is cut short", "entry 5", "at byte " + std::to_string(size)}},
      // Into the header, plain or compressed: that cluster is a read error, the rest reads.
      {"l2-at-0.qcow2", 0, uint64_t(1) << 63, &raw, {}, {5 * 4096, 6 * 4096}},
      {"compressed-at-0.qcow2", 0, compressedFlag | 64, &raw, {}, {5 * 4096, 6 * 4096}},
      // A plain entry with a reserved low bit: libqcow would read one byte off the cluster.
      {"reserved-bit.qcow2", 0, (uint64_t(1) << 63) | 0x2000 | 2, &raw, {}, {5 * 4096, 6 * 4096}},
      // As qemu-img -o compression_type=zstd writes it: incompatible feature bit 3, type 1 at byte 104.
      {"zstd.qcow2", 0, {}, nullptr, {"compressed with zstd", "compression type 1"}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path path = dir / c.Name;
    if (!fs::exists(path)) {
      std::vector<uint8_t> bytes = image;
      if (c.CutTo) bytes.resize(c.CutTo);
      if (c.Entry5)
        for (size_t i = 0; i < 8; ++i) bytes[size_t(l2 + 5 * 8 + i)] = uint8_t(*c.Entry5 >> (56 - 8 * i));
      if (c.Zstd) {
        ASSERT_EQ(be(0) >> 32, 0x514649FBu);
        ASSERT_EQ(be(4) >> 32, 3u) << "version 3";
        bytes[79] |= 0x08;
        bytes[103] = std::max<uint8_t>(bytes[103], 112);  // header length
        bytes[104] = 1;
      }
      std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    MediaRead got = ReadMedia(path, c.Expect ? *c.Expect : raw);
    if (!c.Expect) {
      for (const std::string& part : c.Reason) EXPECT_NE(got.OpenFailure.find(part), std::string::npos) << got.OpenFailure;
      continue;
    }
    ASSERT_EQ(got.OpenFailure, "");
    EXPECT_EQ(got.Size, c.Expect->size());
    std::vector<std::pair<uint64_t, uint64_t>> unreadable;
    if (c.Unreadable.second) unreadable.push_back(c.Unreadable);
    // ReadMedia reads 16 KiB pieces: the piece holding the bad cluster fails whole.
    for (auto& [begin, end] : unreadable) begin = begin / (16 * kKiB) * 16 * kKiB, end = (end + 16 * kKiB - 1) / (16 * kKiB) * 16 * kKiB;
    EXPECT_EQ(got.Unreadable, unreadable);
    EXPECT_EQ(got.Different, std::vector<uint64_t>{});
  }
}

}  // namespace
}  // namespace salvex::test
