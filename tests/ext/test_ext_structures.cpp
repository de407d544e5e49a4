// ext structures from inline bytes, broken on purpose: superblock rules, extent trees and block
// maps that loop or point past the volume, deleted entries in directory gaps, a journal whose
// place was taken by a later transaction, and times past 2038.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "common/ByteReader.h"
#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "ext/ExtBlockMap.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtJournal.h"
#include "ext/ExtLostFolders.h"
#include "ext/ExtStructures.h"
#include "ext/Extdrive.h"
#include "recovery/Browse.h"
#include "support/Fixtures.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

std::vector<uint8_t> Superblock() {
  std::vector<uint8_t> b(1024, 0);
  PutU32(&b[0], 2048);     // inodes
  PutU32(&b[4], 8192);     // blocks
  PutU32(&b[20], 1);       // first data block
  PutU32(&b[24], 0);       // 1 KiB blocks
  PutU32(&b[32], 8192);    // blocks per group
  PutU32(&b[40], 2048);    // inodes per group
  PutU16(&b[56], 0xEF53);
  PutU32(&b[76], 1);
  PutU32(&b[84], 11);
  PutU16(&b[88], 256);
  PutU32(&b[96], 0x2);  // filetype
  return b;
}

TEST(ExtSuperblock, EachRuleRefusesWithItsReason) {
  struct Case {
    const char* Name;
    size_t Offset;
    uint32_t Value;
    int Width;
    const char* Why;  // empty: accepted
  };
  const Case cases[] = {
      {"valid", 0, 2048, 4, ""},
      {"no signature", 56, 0x1234, 2, "0xEF53"},
      {"block size past 64 KiB", 24, 7, 4, "beyond 64 KiB"},
      {"compression", 96, 0x3, 4, "compression"},
      {"unknown incompatible bit", 96, 0x40000002, 4, "0x40000000"},
      {"inode size not a power of two", 88, 200, 2, "inode size"},
      {"no inodes per group", 40, 0, 4, "per group"},
      {"more inodes than groups hold", 0, 999999, 4, "inode count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto b = Superblock();
    if (c.Width == 2)
      PutU16(&b[c.Offset], uint16_t(c.Value));
    else
      PutU32(&b[c.Offset], c.Value);
    TExtSuperblock sb;
    std::string why;
    const bool ok = ParseExtSuperblock(b, sb, why);
    EXPECT_EQ(ok, std::string(c.Why).empty()) << why;
    if (!ok) {
      EXPECT_NE(why.find(c.Why), std::string::npos) << why;
    }
  }
  TExtSuperblock sb;
  std::string why;
  ASSERT_TRUE(ParseExtSuperblock(Superblock(), sb, why));
  EXPECT_EQ(sb.BlockSize, 1024u);
  EXPECT_EQ(sb.GroupCount, 1u);
  EXPECT_EQ(sb.Flavour(), "ext2");
}

// A volume of 1 KiB blocks held in memory, for map walks.
struct MemoryVolume {
  TExtSuperblock Sb;
  std::map<uint64_t, std::vector<uint8_t>> Blocks;
  MemoryVolume() {
    std::string why;
    EXPECT_TRUE(ParseExtSuperblock(Superblock(), Sb, why));
  }
  TExtBlockReader Reader() {
    return [this](uint64_t n, std::vector<uint8_t>& out) {
      out.assign(Sb.BlockSize, 0);
      if (auto it = Blocks.find(n); it != Blocks.end()) out = it->second;
      return true;
    };
  }
};

void ExtentHeader(uint8_t* p, uint16_t entries, uint16_t max, uint16_t depth) {
  PutU16(p, 0xF30A);
  PutU16(p + 2, entries);
  PutU16(p + 4, max);
  PutU16(p + 6, depth);
}

TEST(ExtMaps, ExtentTreesThatLoopOrLeaveTheVolumeEndWithTheirReason) {
  MemoryVolume v;
  uint8_t root[60] = {};
  // Depth 1 pointing at block 500, which points at itself.
  ExtentHeader(root, 1, 4, 1);
  PutU32(root + 12, 0);
  PutU32(root + 16, 500);
  std::vector<uint8_t> node(1024, 0);
  ExtentHeader(node.data(), 1, 84, 1);
  PutU32(&node[16], 500);
  v.Blocks[500] = node;
  TExtMap loop = MapExtentTree(root, v.Sb, v.Reader(), 100);
  EXPECT_TRUE(loop.Runs.empty());
  EXPECT_NE(loop.Problem, "");

  // A leaf with one good extent and one past the volume's end.
  uint8_t leaf[60] = {};
  ExtentHeader(leaf, 2, 4, 0);
  PutU32(leaf + 12, 0);
  PutU16(leaf + 16, 3);
  PutU32(leaf + 20, 1000);
  PutU32(leaf + 24, 3);
  PutU16(leaf + 28, 5);
  PutU32(leaf + 32, 8190);  // 8190 + 5 > 8192 blocks
  TExtMap past = MapExtentTree(leaf, v.Sb, v.Reader(), 100);
  ASSERT_EQ(past.Runs.size(), 1u);
  EXPECT_EQ(past.Runs[0].Physical, 1000u);
  EXPECT_NE(past.Problem.find("past the volume"), std::string::npos);

  // An unwritten extent is kept as such (read as zeros).
  PutU16(leaf + 28, 32768 + 2);
  PutU32(leaf + 32, 2000);
  TExtMap unwritten = MapExtentTree(leaf, v.Sb, v.Reader(), 100);
  ASSERT_EQ(unwritten.Runs.size(), 2u);
  EXPECT_TRUE(unwritten.Runs[1].Unwritten);
  EXPECT_EQ(unwritten.Runs[1].Count, 2u);
}

TEST(ExtMaps, BlockMapsFollowIndirectBlocksAndStopAtALoop) {
  MemoryVolume v;
  uint8_t root[60] = {};
  for (int i = 0; i < 12; ++i) PutU32(root + i * 4, 100 + i);
  PutU32(root + 48, 300);  // single indirect
  PutU32(root + 52, 301);  // double indirect that names itself
  std::vector<uint8_t> single(1024, 0);
  PutU32(&single[0], 112);  // continues the direct run
  PutU32(&single[8], 700);  // after a hole
  v.Blocks[300] = single;
  std::vector<uint8_t> dbl(1024, 0);
  PutU32(&dbl[0], 301);
  v.Blocks[301] = dbl;
  TExtMap map = MapBlockPointers(root, v.Sb, v.Reader(), 12 + 256 + 10);
  ASSERT_EQ(map.Runs.size(), 2u);
  EXPECT_EQ(map.Runs[0].Logical, 0u);
  EXPECT_EQ(map.Runs[0].Count, 13u);
  EXPECT_EQ(map.Runs[1].Logical, 14u);
  EXPECT_EQ(map.Runs[1].Physical, 700u);
  EXPECT_NE(map.Problem.find("twice"), std::string::npos);
}

TEST(ExtDirectoryBlock, DeletedEntriesStandInTheGapOfTheEntryBeforeThem) {
  MemoryVolume v;
  std::vector<uint8_t> block(1024, 0);
  auto entry = [&](size_t off, uint32_t ino, uint16_t len, const std::string& name, uint8_t type) {
    PutU32(&block[off], ino);
    PutU16(&block[off + 4], len);
    block[off + 6] = uint8_t(name.size());
    block[off + 7] = type;
    std::memcpy(&block[off + 8], name.data(), name.size());
  };
  entry(0, 2, 12, ".", 2);
  entry(12, 2, 12, "..", 2);
  // "kept" took over "gone.txt" (deleted) and the rest of the block.
  entry(24, 12, 1000, "kept", 1);
  entry(36, 13, 988, "gone.txt", 1);
  const auto live = ParseExtDirBlock(block, v.Sb, false);
  ASSERT_EQ(live.size(), 3u);
  const auto all = ParseExtDirBlock(block, v.Sb, true);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_TRUE(all[3].Deleted);
  EXPECT_EQ(all[3].Name, "gone.txt");
  EXPECT_EQ(all[3].Inode, 13u);
  // A name with a slash is no entry.
  entry(36, 13, 988, "go/ne", 1);
  EXPECT_EQ(ParseExtDirBlock(block, v.Sb, true).size(), 3u);
  EXPECT_EQ(ExtNameText(std::string("a\xff" "b")), "a\\xFFb");
}

// The lost-data search takes a free block for a folder's first block, or for one that continues
// a folder, only when every entry chains to the block's end; each break of the shape refuses it.
TEST(ExtDirectoryBlock, FolderBlocksFoundByContentNeedTheWholeShape) {
  MemoryVolume v;
  struct Case {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Break;
    bool Start, Later;
  };
  auto entry = [](std::vector<uint8_t>& b, size_t off, uint32_t ino, uint16_t len, const std::string& name, uint8_t type) {
    PutU32(&b[off], ino);
    PutU16(&b[off + 4], len);
    b[off + 6] = uint8_t(name.size());
    b[off + 7] = type;
    std::memcpy(&b[off + 8], name.data(), name.size());
  };
  const Case cases[] = {
      {"a folder's first block", [](auto&) {}, true, false},
      {"a later block", [&](auto& b) { entry(b, 0, 40, 16, "next.txt", 1); entry(b, 16, 41, 1008, "more", 1); }, false, true},
      {"a later block whose first name was deleted", [&](auto& b) { entry(b, 0, 0, 16, "gone.txt", 1); entry(b, 16, 41, 1008, "more", 1); }, false, true},
      {"lengths past the block", [](auto& b) { PutU16(&b[28], 1004); }, false, false},
      {"lengths short of the block", [](auto& b) { PutU16(&b[28], 996 - 8); }, false, false},
      {"length not a multiple of four", [](auto& b) { PutU16(&b[28], 999); }, false, false},
      {"inode past the volume", [](auto& b) { PutU32(&b[24], 999999); }, false, false},
      {"a slash in a name", [](auto& b) { b[33] = '/'; }, false, false},
      {"\".\" not first", [&](auto& b) { entry(b, 0, 12, 12, "x", 2); }, false, true},
      {"\".\" as a file", [](auto& b) { b[7] = 1; }, false, false},
      {"zeros", [](auto& b) { std::fill(b.begin(), b.end(), 0); }, false, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block(1024, 0);
    entry(block, 0, 12, 12, ".", 2);
    entry(block, 12, 2, 12, "..", 2);
    entry(block, 24, 13, 1000, "photo.jpg", 1);
    c.Break(block);
    uint32_t self = 0, parent = 0;
    EXPECT_EQ(IsExtFolderStart(block, v.Sb, self, parent), c.Start) << c.Name;
    if (c.Start) {
      EXPECT_EQ(self, 12u);
      EXPECT_EQ(parent, 2u);
    }
    EXPECT_EQ(IsExtFolderBlock(block, v.Sb), c.Later) << c.Name;
  }
}

// The checksum of every metadata_csum structure: the standard check value, and the same result
// however the bytes are split (the wide steps against the byte steps, at any alignment).
TEST(ExtChecksums, Crc32cGivesTheCheckValueInAnyPieces) {
  const std::string check = "123456789";
  const std::span<const uint8_t> nine(reinterpret_cast<const uint8_t*>(check.data()), check.size());
  EXPECT_EQ(~Crc32c(~0u, nine), 0xE3069283u);
  std::vector<uint8_t> bytes(1037);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 131 + 7);
  for (size_t start : {0, 1, 3, 7}) {
    const std::span<const uint8_t> all = std::span<const uint8_t>(bytes).subspan(start);
    uint32_t byByte = 0x12345678;
    for (size_t i = 0; i < all.size(); ++i) byByte = Crc32c(byByte, all.subspan(i, 1));
    EXPECT_EQ(Crc32c(0x12345678, all), byByte) << start;
    EXPECT_EQ(Crc32c(Crc32c(0x12345678, all.first(13)), all.subspan(13)), byByte) << start;
  }
}

TEST(ExtTimes, EpochBitsCarryPast2038AndNanosecondsAreKept) {
  const timespec t = ExtTime(0x80000000u, (1u) | (123456789u << 2), true);
  EXPECT_EQ(int64_t(t.tv_sec), -int64_t(0x80000000) + (int64_t(1) << 32));  // 2038-01-19T03:14:08Z
  EXPECT_EQ(t.tv_nsec, 123456789);
  EXPECT_EQ(int64_t(ExtTime(0x80000000u, 0, false).tv_sec), -int64_t(0x80000000));
}

// A journal of 1 KiB blocks in memory: superblock, then transactions of a descriptor, the data
// and a commit.
struct MemoryJournal {
  std::map<uint64_t, std::vector<uint8_t>> Blocks;
  static void Header(std::vector<uint8_t>& b, uint32_t type, uint32_t seq) {
    b.assign(1024, 0);
    PutU32(&b[0], __builtin_bswap32(0xC03B3998u));
    PutU32(&b[4], __builtin_bswap32(type));
    PutU32(&b[8], __builtin_bswap32(seq));
  }
  MemoryJournal() {
    std::vector<uint8_t> sb;
    Header(sb, 4, 0);
    PutU32(&sb[12], __builtin_bswap32(1024));
    PutU32(&sb[16], __builtin_bswap32(16));
    PutU32(&sb[20], __builtin_bswap32(1));
    Blocks[0] = sb;
  }
  void Transaction(uint64_t at, uint32_t seq, uint32_t target, uint8_t fill) {
    std::vector<uint8_t> d;
    Header(d, 1, seq);
    PutU32(&d[12], __builtin_bswap32(target));
    PutU16(&d[18], __builtin_bswap16(8 | 2));  // last tag, same UUID
    Blocks[at] = d;
    Blocks[at + 1] = std::vector<uint8_t>(1024, fill);
    std::vector<uint8_t> c;
    Header(c, 2, seq);
    Blocks[at + 2] = c;
  }
  TExtMap Map() const { return {{{0, 1000, 16, false}}, "", {}}; }
  TExtBlockReader Reader() {
    return [this](uint64_t n, std::vector<uint8_t>& out) {
      out.assign(1024, 0);
      if (auto it = Blocks.find(n - 1000); it != Blocks.end()) out = it->second;
      return true;
    };
  }
};

TEST(ExtJournal, CopiesAreNewestFirstAndAPlaceTakenLaterDropsTheOlderCopy) {
  MemoryJournal j;
  j.Transaction(1, 10, 500, 0xAA);
  j.Transaction(4, 11, 500, 0xBB);
  j.Transaction(7, 12, 600, 0xCC);
  TExtJournal journal;
  std::string why;
  ASSERT_TRUE(journal.Load(j.Map(), j.Reader(), 1024, why)) << why;
  const auto* copies = journal.CopiesOf(500);
  ASSERT_NE(copies, nullptr);
  ASSERT_EQ(copies->size(), 2u);
  EXPECT_EQ((*copies)[0].Sequence, 11u);
  EXPECT_TRUE((*copies)[0].Committed);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(journal.ReadCopy((*copies)[1], bytes));
  EXPECT_EQ(bytes[0], 0xAA);

  // A later transaction that wrapped over the first one's data block leaves only its own.
  MemoryJournal wrapped;
  wrapped.Transaction(1, 10, 500, 0xAA);
  wrapped.Transaction(0 + 2, 20, 700, 0xDD);  // its descriptor lands on the first's data block
  TExtJournal again;
  ASSERT_TRUE(again.Load(wrapped.Map(), wrapped.Reader(), 1024, why)) << why;
  EXPECT_EQ(again.CopiesOf(500), nullptr);
  EXPECT_EQ(again.Overwritten, 1u);
  EXPECT_NE(again.CopiesOf(700), nullptr);
}

// A transaction of more blocks than one descriptor names: each descriptor's copies are kept, and
// the scan steps over the data between the descriptors instead of reading it.
TEST(ExtJournal, ATransactionOfSeveralDescriptorsIsSteppedOver) {
  MemoryJournal j;
  j.Transaction(1, 10, 500, 0xAA);
  std::vector<uint8_t> second;
  MemoryJournal::Header(second, 1, 10);  // takes the place of the first descriptor's commit
  PutU32(&second[12], __builtin_bswap32(600));
  PutU16(&second[18], __builtin_bswap16(8 | 2));
  j.Blocks[3] = second;
  j.Blocks[4] = std::vector<uint8_t>(1024, 0xBB);
  MemoryJournal::Header(j.Blocks[5], 2, 10);
  std::set<uint64_t> read;
  auto reader = j.Reader();
  TExtJournal journal;
  std::string why;
  ASSERT_TRUE(journal.Load(
      j.Map(), [&](uint64_t n, std::vector<uint8_t>& out) { read.insert(n - 1000); return reader(n, out); }, 1024, why))
      << why;
  ASSERT_NE(journal.CopiesOf(500), nullptr);
  ASSERT_NE(journal.CopiesOf(600), nullptr);
  EXPECT_TRUE((*journal.CopiesOf(500))[0].Committed);
  EXPECT_EQ(read.count(2), 0u);
  EXPECT_EQ(read.count(4), 0u);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(journal.ReadCopy((*journal.CopiesOf(600))[0], bytes));
  EXPECT_EQ(bytes[0], 0xBB);
}

// A listing asks for the same copies again and again, and for copies logged together: each place
// of the log is read from the volume once, whatever the order; an escaped copy gets its magic back.
TEST(ExtJournal, EachPlaceOfTheLogIsReadOnceAndEscapedCopiesGetTheirMagicBack) {
  MemoryJournal j;
  j.Transaction(1, 10, 500, 0xAA);
  j.Transaction(4, 11, 500, 0xBB);
  j.Transaction(7, 12, 600, 0xCC);
  PutU16(&j.Blocks[7][18], __builtin_bswap16(8 | 2 | 1));  // escaped: the log holds zeros for the magic
  auto reader = j.Reader();
  std::map<uint64_t, int> reads;
  TExtJournal journal;
  std::string why;
  ASSERT_TRUE(journal.Load(j.Map(), reader, 1024, why)) << why;
  journal.Bulk = [&](uint64_t block, uint32_t count, uint8_t* out) {
    std::vector<uint8_t> one;
    for (uint32_t k = 0; k < count; ++k) {
      ++reads[block + k - 1000];
      reader(block + k, one);
      std::copy(one.begin(), one.end(), out + size_t(k) * 1024);
    }
    return true;
  };
  ASSERT_NE(journal.CopiesOf(500), nullptr);
  ASSERT_NE(journal.CopiesOf(600), nullptr);
  const TExtJournalCopy escaped = journal.CopiesOf(600)->front();
  const TExtJournalCopy newer = (*journal.CopiesOf(500))[0], older = (*journal.CopiesOf(500))[1];
  std::vector<uint8_t> bytes, scratch;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(journal.ReadCopy(escaped, bytes));
    EXPECT_EQ(bytes[0], 0xC0);
    EXPECT_EQ(bytes[4], 0xCC);
    const auto view = journal.View(escaped, scratch);
    ASSERT_EQ(view.size(), 1024u);
    EXPECT_TRUE(std::equal(view.begin(), view.end(), bytes.begin()));
    ASSERT_TRUE(journal.ReadCopy(newer, bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>(1024, 0xBB));
    ASSERT_TRUE(journal.ReadCopy(older, bytes));
    EXPECT_EQ(bytes, std::vector<uint8_t>(1024, 0xAA));
  }
  for (const auto& [place, n] : reads) EXPECT_EQ(n, 1) << "place " << place;
}

// A log larger than the cache reuses its slots; a read-ahead that fails half way, having written
// over slots that held other places, must not let those places be read from them.
TEST(ExtJournal, AFailedReadAheadLeavesNoStaleCopy) {
  constexpr uint32_t places = 16384 + 16;  // more than the cache's 16 MiB of 1 KiB slots
  MemoryJournal j;
  PutU32(&j.Blocks[0][16], __builtin_bswap32(places));
  j.Transaction(1, 10, 500, 0xAA);
  j.Transaction(4, 11, 600, 0xBB);
  const TExtMap map{{{0, 1000, places, false}}, "", {}};
  auto reader = j.Reader();
  TExtJournal journal;
  std::string why;
  ASSERT_TRUE(journal.Load(map, reader, 1024, why)) << why;
  const uint64_t failing = 16388;
  journal.Bulk = [&](uint64_t block, uint32_t count, uint8_t* out) {
    std::fill(out, out + size_t(count) * 1024, 0xEE);
    if (block - 1000 <= failing && failing < block - 1000 + count) return false;
    std::vector<uint8_t> one;
    for (uint32_t k = 0; k < count; ++k) {
      reader(block + k, one);
      std::copy(one.begin(), one.end(), out + size_t(k) * 1024);
    }
    return true;
  };
  ASSERT_NE(journal.CopiesOf(600), nullptr);
  const TExtJournalCopy copy = journal.CopiesOf(600)->front();  // place 5
  std::vector<uint8_t> bytes;
  // Places 4-11 take the first eight slots, the copy the second; then every slot is filled, and
  // the read that wraps over the first eight fails after the first has been read alone.
  TExtJournalCopy other;
  other.Position = 4;
  ASSERT_TRUE(journal.ReadCopy(other, bytes));
  ASSERT_TRUE(journal.ReadCopy(copy, bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(1024, 0xBB));
  for (other.Position = 12; other.Position < failing; other.Position += 8) ASSERT_TRUE(journal.ReadCopy(other, bytes));
  other.Position = failing;
  ASSERT_TRUE(journal.ReadCopy(other, bytes));
  ASSERT_TRUE(journal.ReadCopy(copy, bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(1024, 0xBB));
}

// A volume whose first superblock is zeroed mounts from the backup in group 1 and says so.
// With journal checksums v3 a copy is checked when it is read: the copy whose tag's checksum
// holds reads back, the one whose does not (a torn write) cannot be read at all.
TEST(ExtJournal, ACopyWhoseTagChecksumFailsCannotBeRead) {
  for (const bool intact : {true, false}) {
    MemoryJournal j;
    PutU32(&j.Blocks[0][40], __builtin_bswap32(0x10));
    j.Transaction(1, 10, 500, 0xAA);
    const uint8_t seq[4] = {0, 0, 0, 10};
    const uint32_t seed = Crc32c(~0u, std::span<const uint8_t>(j.Blocks[0]).subspan(48, 16));
    const uint32_t crc = Crc32c(Crc32c(seed, seq), j.Blocks[2]) + (intact ? 0 : 1);
    // The v3 tag: block, flags (last, same UUID), high block bits, checksum.
    std::vector<uint8_t>& d = j.Blocks[1];
    PutU32(&d[12], __builtin_bswap32(500));
    PutU32(&d[16], __builtin_bswap32(8 | 2));
    PutU32(&d[20], 0);
    PutU32(&d[24], __builtin_bswap32(crc));
    TExtJournal journal;
    std::string why;
    ASSERT_TRUE(journal.Load(j.Map(), j.Reader(), 1024, why)) << why;
    const auto* copies = journal.CopiesOf(500);
    ASSERT_NE(copies, nullptr);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(journal.ReadCopy(copies->front(), bytes), intact);
    if (intact) {
      EXPECT_EQ(bytes[0], 0xAA);
    }
  }
}

TEST(ExtVolume, ADamagedFirstSuperblockFallsBackToABackup) {
  if (!HaveTool("mke2fs")) GTEST_SKIP() << "mke2fs (e2fsprogs) not installed";
  char tmpl[] = "/tmp/salvex-ext-backup-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string image = std::string(tmpl) + "/v.img";
  ASSERT_EQ(RunCommand({"truncate", "-s", "20M", image}).ExitCode, 0);
  ASSERT_EQ(RunCommand({"mke2fs", "-q", "-F", "-t", "ext4", "-b", "1024", "-L", "BACKUP", image}).ExitCode, 0);
  {
    FILE* f = std::fopen(image.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> zeros(1024, 0);
    std::fseek(f, 1024, SEEK_SET);
    std::fwrite(zeros.data(), 1, zeros.size(), f);
    std::fclose(f);
  }
  FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  registry.AddImage(image, TImageKind::Drive);
  devices.DetectDevices(nullptr);
  ASSERT_EQ(devices.Count(), 1u);
  auto drive = NewExtDrive();
  drive->Device = devices.Items(0);
  drive->SectorCount = devices.Items(0)->TotalSectors;
  ASSERT_TRUE(drive->Mount(true));
  auto& ext = dynamic_cast<TExtdrive&>(*drive);
  EXPECT_TRUE(ext.UsedBackupSuper);
  EXPECT_NE(drive->MountText().find("backup superblock"), std::string::npos);
  EXPECT_EQ(drive->Name, "BACKUP");
  const auto rows = ListFolder(*drive->RootFolder);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Name, "lost+found");
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace salvex::test
