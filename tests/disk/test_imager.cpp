// Imaging a failing disk through the fault-injecting disk port: what is rescued, what the map
// says, how many reads it costs, and that an interrupted run goes on from its map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "disk/FakeRawIO.h"
#include "disk/ImageRun.h"
#include "disk/Imager.h"
#include "disk/RescueMap.h"
#include "disk/SplitRead.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSectors = 8192;  // 4 MiB

struct ImagerTest : TempFolderTest {
  FakeRawIO io;
  std::string saved;  // the last map written
  bool reverse = false;

  FakeRawIO::Image& Source() {
    auto& img = io.images["/failing"];
    if (img.bytes.empty()) {
      img.bytes.resize(kSectors * 512);
      for (size_t i = 0; i < img.bytes.size(); ++i) img.bytes[i] = uint8_t(i * 7 + i / 512);
    }
    return img;
  }
  // One run into `target` with the given map; `stopAfterReads` cancels it part way.
  bool Run(TRescueMap& map, const fs::path& target, int retries, size_t stopAfterReads = 0) {
    const int source = io.Open("/failing");
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(::ftruncate(out, off_t(kSectors * 512)), 0);
    TImagerOptions options;
    options.Retries = retries;
    options.Reverse = reverse;
    TImager imager(io, source, out, map, options);
    imager.SaveMap = [this](const TRescueMap& m, std::string&) {
      saved = m.Format();
      return true;
    };
    const size_t before = io.reads;
    if (stopAfterReads) imager.Cancelled = [&] { return io.reads - before >= stopAfterReads; };
    const bool ok = imager.Run();
    ::close(out);
    io.Close(source);
    return ok && !imager.WasCancelled;
  }
  std::vector<uint8_t> Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // The target holds the source's bytes wherever the map says finished, zeros elsewhere.
  void ExpectImageMatchesMap(const fs::path& target, const TRescueMap& map) {
    const auto image = Bytes(target);
    ASSERT_EQ(image.size(), kSectors * 512);
    const auto& source = Source().bytes;
    for (const TRescueBlock& b : map.Blocks())
      for (uint64_t i = b.Pos; i < b.End(); ++i)
        if (image[i] != (b.Status == RescueFinished ? source[i] : 0)) {
          ADD_FAILURE() << "byte " << i << " in a block of status " << b.Status;
          return;
        }
  }
};

TEST_F(ImagerTest, BadAreasAreNarrowedToTheirSectorsWithFewReads) {
  auto& img = Source();
  for (uint64_t s = 2000; s < 2100; ++s) img.badSectors.insert(s);
  img.badSectors.insert(5000);
  TRescueMap map(kSectors * 512);
  EXPECT_TRUE(Run(map, dir / "disk.img", 1));
  std::string expected = "0 1024000 +;1024000 51200 -;1075200 1484800 +;2560000 512 -;2560512 1633792 +;";
  std::string got;
  for (const TRescueBlock& b : map.Blocks())
    got += std::to_string(b.Pos) + " " + std::to_string(b.Size) + " " + b.Status + ";";
  EXPECT_EQ(got, expected);
  ExpectImageMatchesMap(dir / "disk.img", map);
  // At most 64 reads for the good areas (1 MiB reads where they read well, 64 KiB near the bad
  // ones, plus the large reads that failed); each of the three failed 64 KiB reads costs at most
  // its 128 sectors once more (trimming and scraping), and each bad sector one retry.
  EXPECT_LE(io.transfers.size(), 64u + 3 * 128 + 101 + 10) << io.transfers.size();
  // The saved map is the final one, ready for ddrescue.
  TRescueMap reread;
  std::string why;
  ASSERT_TRUE(TRescueMap::Parse(saved, reread, why)) << why;
  EXPECT_EQ(reread.Format(), map.Format());
  EXPECT_EQ(reread.CurrentStatus, RescueFinished);
  if (!HaveTool("ddrescuelog")) GTEST_SKIP() << "ddrescuelog (gddrescue) not installed";
  const fs::path mapFile = dir / "disk.map";
  std::ofstream(mapFile) << saved;
  CommandResult bad = RunCommand({"ddrescuelog", "-l-", mapFile.string()});
  ASSERT_EQ(bad.ExitCode, 0) << bad.Err;
  std::string listed;
  for (uint64_t s = 2000; s < 2100; ++s) listed += std::to_string(s) + "\n";
  EXPECT_EQ(bad.Out, listed + "5000\n");
}

TEST_F(ImagerTest, WeakSectorsAreRescuedByTheLaterPasses) {
  auto& img = Source();
  for (uint64_t s = 3000; s < 3004; ++s) img.badSectors.insert(s);
  img.failuresLeft = 3;  // the first three reads that touch them fail
  TRescueMap map(kSectors * 512);
  EXPECT_TRUE(Run(map, dir / "disk.img", 1));
  EXPECT_EQ(map.Total(RescueFinished), kSectors * 512);
  EXPECT_EQ(Bytes(dir / "disk.img"), img.bytes);
}

TEST_F(ImagerTest, AnInterruptedRunGoesOnFromItsMapAndEndsAsAWholeRunDoes) {
  auto& img = Source();
  for (uint64_t s = 2000; s < 2100; ++s) img.badSectors.insert(s);
  img.badSectors.insert(5000);
  TRescueMap whole(kSectors * 512);
  Run(whole, dir / "whole.img", 1);

  // Interrupted in the first copying pass, then in trimming, then finished.
  TRescueMap map(kSectors * 512);
  size_t firstRunReads = io.transfers.size();
  EXPECT_FALSE(Run(map, dir / "resumed.img", 1, 20));
  for (size_t stop : {size_t(60), size_t(0)}) {
    TRescueMap resumed;
    std::string why;
    ASSERT_TRUE(TRescueMap::Parse(saved, resumed, why)) << why;
    const TRescueMap before = resumed;
    firstRunReads = io.transfers.size();
    Run(resumed, dir / "resumed.img", 1, stop);
    // Nothing the saved map called finished is read again.
    for (size_t t = firstRunReads; t < io.transfers.size(); ++t) {
      const auto& tr = io.transfers[t];
      for (const TRescueBlock& b : before.Blocks(RescueFinished))
        EXPECT_FALSE(tr.offset < b.End() && b.Pos < tr.offset + tr.length)
            << "read at " << tr.offset << " of " << tr.length << " bytes was already rescued";
    }
    map = resumed;
  }
  EXPECT_EQ(map.Format(), whole.Format());
  EXPECT_EQ(Bytes(dir / "resumed.img"), Bytes(dir / "whole.img"));
}

// The copying passes start each large read before the one before it is written: a failure in a
// read started that way is handled as one read in turn, in either direction.
TEST_F(ImagerTest, BadSectorsInReadsStartedAheadAreFoundExactly) {
  struct Case {
    std::vector<uint64_t> bad;
    bool reverse;
  };
  for (const Case& c : {Case{{2048}, false}, Case{{kSectors - 1}, false}, Case{{4095, 6000}, false},
                        Case{{0}, true}, Case{{4096, 4097}, true}}) {
    SCOPED_TRACE(::testing::Message() << "first bad sector " << c.bad[0] << (c.reverse ? " reverse" : ""));
    auto& img = Source();
    img.badSectors = {c.bad.begin(), c.bad.end()};
    reverse = c.reverse;
    TRescueMap map(kSectors * 512);
    const fs::path target = dir / ("ahead-" + std::to_string(c.bad[0]) + ".img");
    EXPECT_TRUE(Run(map, target, 1));
    std::vector<uint64_t> found;
    for (const TRescueBlock& b : map.Blocks(RescueBadSector))
      for (uint64_t s = b.Pos / 512; s < b.End() / 512; ++s) found.push_back(s);
    EXPECT_EQ(found, c.bad);
    EXPECT_EQ(map.Total(RescueFinished), (kSectors - c.bad.size()) * 512);
    ExpectImageMatchesMap(target, map);
  }
}

// A volume of a disk is imaged through a window of the source: the image is that slice and the
// map covers it alone; a target that exists without its map is refused (its bytes would be taken
// for rescued ones), and a second run with the map reads nothing again.
TEST_F(ImagerTest, VolumeWindowIsImagedAndATargetWithoutItsMapIsRefused) {
  auto& img = Source();
  img.badSectors.insert(3000);
  const uint64_t offset = 2048 * 512, length = 2048 * 512;
  TImageRequest request;
  request.Source = "/failing";
  request.Target = (dir / "volume.img").string();
  request.Map = (dir / "volume.img.map").string();
  request.Offset = offset;
  request.Length = length;
  {
    TImageRun run(io);
    ASSERT_TRUE(run.Prepare(request)) << run.Error;
    ASSERT_TRUE(run.Run()) << run.Error;
    EXPECT_EQ(run.Map().Size(), length);
    const auto bad = run.Map().Blocks(RescueBadSector);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].Pos, 3000 * 512 - offset);
  }
  const auto image = Bytes(dir / "volume.img");
  ASSERT_EQ(image.size(), length);
  for (uint64_t i = 0; i < length; ++i)
    if (i / 512 != 3000 - 2048 && image[i] != img.bytes[offset + i]) {
      ADD_FAILURE() << "byte " << i;
      break;
    }
  const size_t reads = io.transfers.size();
  img.badSectors.clear();
  {
    TImageRun again(io);
    ASSERT_TRUE(again.Prepare(request)) << again.Error;
    EXPECT_TRUE(again.Resumed());
    ASSERT_TRUE(again.Run()) << again.Error;
    EXPECT_EQ(again.Map().Total(RescueFinished), length);
  }
  EXPECT_LE(io.transfers.size() - reads, 4u);  // the one bad sector, not the volume

  fs::remove(request.Map);
  TImageRun refused(io);
  EXPECT_FALSE(refused.Prepare(request));
  EXPECT_NE(refused.Error.find("exists but the map"), std::string::npos) << refused.Error;
}

}  // namespace
}  // namespace salvex::test

namespace salvex::test {
namespace {

// A read split in two halves answers as one read would: the bytes from the start up to the first
// unreadable one, -1 with the first half's errno when none; a read too short to split is one request.
TEST(SplitRead, HalvesAnswerAsOneRead) {
  constexpr size_t kLength = 8192;
  struct Case {
    uint64_t badFrom;  // first unreadable byte (kLength: none)
    int err;
    ssize_t want;
    int wantErrno;
  };
  const Case cases[] = {
      {kLength, 0, ssize_t(kLength), 0},  // whole
      {6144, EIO, 6144, 0},               // in the second half: the whole first half and the good start of the second
      {4096, EIO, 4096, 0},               // the second half's first byte
      {1024, EIO, 1024, 0},               // in the first half: what follows is not counted even if read
      {0, EIO, -1, EIO},
      {0, EINVAL, -1, EINVAL},            // a device refusing direct reads says so to the caller
  };
  for (const Case& c : cases) {
    std::vector<char> source(kLength), out(kLength, 0);
    for (size_t i = 0; i < kLength; ++i) source[i] = char(i * 7);
    int calls = 0;
    std::mutex m;
    const TRangeRead read = [&](char* b, size_t n, uint64_t at) -> ssize_t {
      {
        std::lock_guard lock(m);
        ++calls;
      }
      const uint64_t good = c.badFrom > at ? std::min<uint64_t>(n, c.badFrom - at) : 0;
      std::memcpy(b, source.data() + at, good);
      if (good == n) return ssize_t(n);
      if (good > 0) return ssize_t(good);
      errno = c.err;
      return -1;
    };
    errno = 0;
    const ssize_t got = ReadInHalves(out.data(), kLength, 0, 512, 4096, read);
    SCOPED_TRACE(c.badFrom);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(calls, 2);
    if (got < 0) {
      EXPECT_EQ(errno, c.wantErrno);
    } else {
      EXPECT_EQ(0, std::memcmp(out.data(), source.data(), size_t(got)));
    }
  }
  std::vector<char> out(2048);
  int calls = 0;
  EXPECT_EQ(ReadInHalves(out.data(), out.size(), 0, 512, 4096, [&](char*, size_t n, uint64_t) { ++calls; return ssize_t(n); }), 2048);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace salvex::test
