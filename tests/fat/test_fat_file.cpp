#include <gtest/gtest.h>

#include "fat/FATFile.h"
#include "fat/FATFileData.h"
#include "fat/FATStream.h"
#include "fat/FatImage.h"

namespace salvex::test {
namespace {

struct FatFileTest : ::testing::Test {
  FatImage img{[] {
    FatGeometry g;
    g.sectorsPerCluster = 2;  // 1 KiB clusters
    return g;
  }()};
  MountedFat m;

  void FillCluster(uint32_t n, uint8_t value) { std::memset(img.Cluster(n), value, img.ClusterBytes()); }
  // The bytes read up to the size; `ended` tells whether the data ended before it.
  std::vector<uint8_t> Read(uint32_t first, uint64_t size, uint8_t fat, TFATFilePos* out = nullptr,
                            size_t chunk = 1 << 20, bool* ended = nullptr) {
    if (!m.drive) m.Mount(img.bytes);
    TFATFilePos pos;
    m.drive->OpenFilePos(first, size, pos);
    std::vector<uint8_t> data;
    std::vector<uint8_t> buf(chunk);
    bool ok = true;
    for (;;) {
      uint64_t got = 0;
      ok = m.drive->ReadFileData(pos, buf.size(), got, fat, buf.data());
      data.insert(data.end(), buf.begin(), buf.begin() + long(got));
      if (!ok || got == 0) break;
    }
    if (ended)
      *ended = !ok;
    else
      EXPECT_TRUE(ok);
    if (out) *out = pos;
    return data;
  }
};

TEST_F(FatFileTest, NoFatReadsConsecutiveClustersAndExactlyTheSize) {
  for (uint32_t c = 10; c < 14; ++c) FillCluster(c, uint8_t(c));
  img.Chain({10, 12});  // the chain would skip 11; without a FAT it is not consulted
  auto data = Read(10, 2500, 0);
  ASSERT_EQ(data.size(), 2500u);
  EXPECT_EQ(data[0], 10);
  EXPECT_EQ(data[1024], 11);
  EXPECT_EQ(data[2048], 12);
  EXPECT_EQ(data[2499], 12);
}

TEST_F(FatFileTest, FatChoiceFollowsThatCopy) {
  for (uint32_t c = 10; c < 20; ++c) FillCluster(c, uint8_t(c));
  img.Chain({10, 15, 12});
  img.SetFAT(10, 18, 1);  // FAT 2 differs
  img.SetFAT(18, 0xFFF, 1);
  auto viaFat1 = Read(10, 3072, 1);
  EXPECT_EQ(viaFat1[0], 10);
  EXPECT_EQ(viaFat1[1024], 15);
  EXPECT_EQ(viaFat1[2048], 12);
  auto viaFat2 = Read(10, 2048, 2);
  EXPECT_EQ(viaFat2[1024], 18);
}

// Data that cannot be followed to the size ends there: nothing is invented (no repeated cluster,
// no zeros in place of clusters that are not on the volume).
TEST_F(FatFileTest, DataEndsWhereTheChainOrTheVolumeEnds) {
  FillCluster(10, 1);
  FillCluster(11, 2);
  FillCluster(12, 3);
  FillCluster(2001, 9);  // the volume's last cluster
  struct Case {
    const char* what;
    uint32_t secondEntry;  // FAT entry of cluster 11
    uint32_t first;
    uint8_t fat;
    size_t expected;
  } cases[] = {
      {"end mark", 0xFFF, 10, 1, 2048},
      {"free entry", 0, 10, 1, 2048},
      {"bad cluster", 0xFF7, 10, 1, 2048},
      {"out of range", 3000, 10, 1, 2048},
      {"no first cluster", 0xFFF, 0, 1, 0},
      {"past the volume without a FAT", 0xFFF, 2001, 0, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    img.SetFAT(10, 11);
    img.SetFAT(11, c.secondEntry);
    m.drive.reset();
    for (size_t chunk : {size_t(1) << 20, size_t(700)}) {
      bool ended = false;
      auto data = Read(c.first, 3000, c.fat, nullptr, chunk, &ended);
      EXPECT_TRUE(ended);
      ASSERT_EQ(data.size(), c.expected);
      if (c.expected == 2048) {
        EXPECT_EQ(data[1023], 1);
        EXPECT_EQ(data[2047], 2);
      }
    }
  }
}

// A chain that comes back to one of its own clusters ends there: the bytes before the loop are
// the file's, nothing after them is invented, and the stream says which cluster came back.
TEST_F(FatFileTest, ChainThatRevisitsAClusterEndsThere) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> links;
    size_t kept;  // bytes before the loop
    uint32_t revisited;
  } cases[] = {
      {"back to the first cluster", {{10, 11}, {11, 10}}, 2048, 10},
      {"onto itself", {{10, 10}}, 1024, 10},
      {"back into the middle", {{10, 11}, {11, 12}, {12, 11}}, 3072, 11},
      {"after a jump", {{10, 14}, {14, 12}, {12, 14}}, 3072, 14},
  };
  for (uint32_t c = 10; c < 16; ++c) FillCluster(c, uint8_t(c));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (uint32_t n = 10; n < 16; ++n) img.SetFAT(n, 0);
    for (auto [from, to] : c.links) img.SetFAT(from, to);
    m.drive.reset();
    for (size_t chunk : {size_t(1) << 20, size_t(700)}) {
      TFATFilePos pos;
      bool ended = false;
      auto data = Read(10, 100000, 1, &pos, chunk, &ended);
      EXPECT_TRUE(ended);
      ASSERT_EQ(data.size(), c.kept);
      EXPECT_EQ(data[0], 10);
      EXPECT_EQ(pos.Revisited, c.revisited);
    }
    TFATFileData stream(*m.drive, 1, 10, 0, 100000);
    std::vector<uint8_t> buf(100000);
    size_t total = 0;
    while (size_t n = stream.Read(buf.data() + total, buf.size() - total)) total += n;
    EXPECT_EQ(total, c.kept);
    EXPECT_NE(stream.Failure.find("comes back to cluster " + std::to_string(c.revisited)), std::string::npos)
        << stream.Failure;
  }
}

TEST_F(FatFileTest, UnalignedReadsGoThroughTheSectorCache) {
  for (size_t i = 0; i < 4096; ++i) img.Cluster(10)[i] = uint8_t(i % 251);
  img.Chain({10, 11, 12, 13});
  auto whole = Read(10, 4000, 1);
  auto inPieces = Read(10, 4000, 1, nullptr, 7);
  EXPECT_EQ(whole, inPieces);
  for (size_t i = 0; i < 4000; ++i) ASSERT_EQ(whole[i], uint8_t(i % 251)) << i;
}

TEST_F(FatFileTest, UnreadableSectorsBecomeZerosAndAreCounted) {
  FillCluster(10, 0x77);
  FillCluster(11, 0x77);
  img.Chain({10, 11});
  m.Mount(img.bytes);
  const uint64_t bad = img.FirstDataSector() + (11 - 2) * 2;  // first sector of cluster 11
  m.fake.io.images["/img/fat"].badSectors.insert(bad);
  TFATFilePos pos;
  auto data = Read(10, 2048, 1, &pos);
  ASSERT_EQ(data.size(), 2048u);
  EXPECT_EQ(data[1023], 0x77);
  EXPECT_EQ(data[1024], 0);
  EXPECT_EQ(data[1535], 0);
  EXPECT_EQ(data[1536], 0x77);
  EXPECT_EQ(pos.UnreadableSectors, 1u);
}

TEST_F(FatFileTest, StreamWithABaseOffsetStartsThereAndSeeksBack) {
  for (size_t i = 0; i < 2048; ++i) img.Cluster(10)[i] = uint8_t(i);
  img.Chain({10, 11});
  m.Mount(img.bytes);
  TFATStream s(*m.drive, 1, 100, 50, 10);
  uint8_t buf[64];
  ASSERT_EQ(s.Read(buf, sizeof buf), 50u);
  EXPECT_EQ(buf[0], 100);
  EXPECT_EQ(buf[49], 149);
  EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
  EXPECT_EQ(s.Seek(0, TSeekOrigin::Begin), 0u);
  ASSERT_EQ(s.Read(buf, 1), 1u);
  EXPECT_EQ(buf[0], 100);
  EXPECT_EQ(s.Seek(-10, TSeekOrigin::End), 40u);
  ASSERT_EQ(s.Read(buf, 1), 1u);
  EXPECT_EQ(buf[0], 140);
}

TEST_F(FatFileTest, StreamSeeksAcrossClustersAlongTheChain) {
  FillCluster(10, 1);
  FillCluster(20, 2);
  FillCluster(30, 3);
  img.Chain({10, 20, 30});
  m.Mount(img.bytes);
  TFATStream s(*m.drive, 1, 0, 3072, 10);
  uint8_t b = 0;
  s.Seek(2100, TSeekOrigin::Begin);
  ASSERT_EQ(s.Read(&b, 1), 1u);
  EXPECT_EQ(b, 3);
  s.Seek(-1100, TSeekOrigin::Current);
  ASSERT_EQ(s.Read(&b, 1), 1u);
  EXPECT_EQ(b, 1);
}

}  // namespace
}  // namespace salvex::test
