#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <set>

#include "common/Host.h"
#include "common/FakeHost.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "disk/RawIO.h"

namespace salvex::test {
namespace {

std::vector<uint8_t> Patterned(size_t sectors) {
  std::vector<uint8_t> bytes(sectors * 512);
  for (size_t s = 0; s < sectors; ++s)
    for (size_t i = 0; i < 512; ++i) bytes[s * 512 + i] = uint8_t(s * 7 + i);
  return bytes;
}

struct DiskTest : ::testing::Test {
  ScopedFakeIO fake;
  FakeHost host;
  ScopedHost hostScope{host};
  uint8_t AddDisk(const std::string& path, size_t sectors) {
    fake.io.images[path].bytes = Patterned(sectors);
    return TDeviceRegistry::Instance().AddImage(path, TImageKind::Disk).Number;
  }
};

// A request that reads is one transfer straight into the caller's buffer; from the first 64 KiB
// transfer of the request that fails on (a read error, or the end of the disk), it is read again
// 64 KiB at a time, so that errors are met and answered as they always were.
TEST_F(DiskTest, PhysicalReadsAreWholeUntilATransferFails) {
  struct Case {
    uint64_t lba;
    uint32_t count;
    std::set<uint64_t> bad;
    bool shortReads;
    bool ok;
    std::vector<std::pair<size_t, uint64_t>> transfers;  // length, offset in sectors
  };
  const std::vector<Case> cases = {
      {5, 129, {}, false, true, {{129 * 512, 5}}},
      {5, 20, {}, false, true, {{20 * 512, 5}}},
      {5, 129, {133}, false, false, {{129 * 512, 5}, {65536, 5}, {512, 133}}},
      {5, 200, {150}, true, false, {{200 * 512, 5}, {72 * 512, 133}}},
      {200, 129, {}, false, false, {{129 * 512, 200}, {65536, 200}}},  // 100 sectors before the end
  };
  uint8_t drive = AddDisk("/disk0", 300);
  auto& img = fake.io.images["/disk0"];
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "lba " << c.lba << " count " << c.count);
    img.badSectors = c.bad;
    img.shortReads = c.shortReads;
    fake.io.transfers.clear();
    std::vector<uint8_t> out(c.count * 512);
    EXPECT_EQ(ReadPhysicalSectors(drive, c.lba, c.count, false, out.data()), c.ok);
    std::vector<std::pair<size_t, uint64_t>> got;
    for (const auto& t : fake.io.transfers) got.push_back({t.length, t.offset / 512});
    EXPECT_EQ(got, c.transfers);
    if (c.ok) {
      EXPECT_EQ(0, memcmp(out.data(), img.bytes.data() + c.lba * 512, out.size()));
    }
  }
}

TEST_F(DiskTest, CountZeroSucceedsWithoutReading) {
  uint8_t drive = AddDisk("/disk0", 4);
  fake.io.transfers.clear();
  uint8_t dummy = 0;
  EXPECT_TRUE(ReadPhysicalSectors(drive, 0, 0, true, &dummy));
  EXPECT_TRUE(fake.io.transfers.empty());
}

TEST_F(DiskTest, LbaAbove2To23PositionsBeyond4GiB) {
  uint8_t drive = AddDisk("/disk0", 1);
  fake.io.transfers.clear();
  std::vector<uint8_t> out(512);
  // Past the tiny image the read fails, but the offset asked for must be 64-bit exact.
  EXPECT_FALSE(ReadPhysicalSectors(drive, 8388608u + 3, 1, false, out.data()));
  ASSERT_EQ(fake.io.transfers.size(), 1u);
  EXPECT_EQ(fake.io.transfers[0].offset, (8388608ull + 3) * 512);
  EXPECT_GT(fake.io.transfers[0].offset, 0xFFFFFFFFull);
}

TEST_F(DiskTest, HandleIsReusedForTheSameDriveAndReplacedForAnother) {
  uint8_t a = AddDisk("/disk0", 8);
  uint8_t b = AddDisk("/disk1", 8);
  std::vector<uint8_t> out(512);
  int before = fake.io.opens, closesBefore = fake.io.closes;
  ASSERT_TRUE(ReadPhysicalSectors(a, 0, 1, true, out.data()));
  ASSERT_TRUE(ReadPhysicalSectors(a, 1, 1, true, out.data()));
  EXPECT_EQ(fake.io.opens - before, 1);
  ASSERT_TRUE(ReadPhysicalSectors(b, 0, 1, true, out.data()));
  EXPECT_EQ(fake.io.opens - before, 2);
  EXPECT_EQ(fake.io.closes - closesBefore, 1);
}

TEST_F(DiskTest, AFailedOpenIsTriedAgainOnTheNextRead) {
  uint8_t a = AddDisk("/flaky", 8);
  ClosePhysicalDrive();
  const auto bytes = fake.io.images["/flaky"].bytes;
  fake.io.images.erase("/flaky");  // the device is away for a moment
  std::vector<uint8_t> out(512);
  EXPECT_FALSE(ReadPhysicalSectors(a, 0, 1, false, out.data()));
  fake.io.images["/flaky"].bytes = bytes;
  EXPECT_TRUE(ReadPhysicalSectors(a, 0, 1, false, out.data()));
  EXPECT_EQ(out[1], bytes[1]);
}

TEST_F(DiskTest, UnknownDriveNumberFailsWithoutPrompt) {
  std::vector<uint8_t> out(512);
  EXPECT_FALSE(ReadPhysicalSectors(0x05, 0, 1, true, out.data()));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(DiskTest, ReadErrorWithoutShowErrorsFailsAtOnce) {
  uint8_t drive = AddDisk("/disk0", 8);
  fake.io.images["/disk0"].badSectors = {2};
  std::vector<uint8_t> out(4 * 512);
  EXPECT_FALSE(ReadPhysicalSectors(drive, 0, 4, false, out.data()));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(DiskTest, PromptTextNamesTheWholeRequest) {
  uint8_t drive = AddDisk("/disk0", 300);
  fake.io.images["/disk0"].badSectors = {240};  // in the second chunk
  host.answers = {TMsgResult::Abort};
  std::vector<uint8_t> out(150 * 512, 0xCC);
  EXPECT_FALSE(ReadPhysicalSectors(drive, 100, 150, true, out.data()));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].caption, "NT_read error");
  EXPECT_EQ(host.messages[0].buttons, TMsgButtons::AbortRetryIgnore);
  EXPECT_EQ(host.messages[0].text,
            "error no.5\r\ndrv:128 LBA:100 blocks:150\r\n\r\nAbort, Retry or Ignore?");
  // Abort keeps what was delivered before the failing chunk.
  EXPECT_EQ(0, memcmp(out.data(), fake.io.images["/disk0"].bytes.data() + 100 * 512, 128 * 512));
  EXPECT_EQ(out[128 * 512], 0xCC);
}

TEST_F(DiskTest, RetryRepeatsTheChunkUntilItReads) {
  uint8_t drive = AddDisk("/disk0", 16);
  auto& img = fake.io.images["/disk0"];
  img.badSectors = {3};
  img.failuresLeft = 2;
  host.answers = {TMsgResult::Retry, TMsgResult::Retry};
  std::vector<uint8_t> out(8 * 512);
  EXPECT_TRUE(ReadPhysicalSectors(drive, 0, 8, true, out.data()));
  EXPECT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(0, memcmp(out.data(), img.bytes.data(), out.size()));
}

TEST_F(DiskTest, IgnoreDeliversZerosAndCountsTheChunk) {
  uint8_t drive = AddDisk("/disk0", 300);
  fake.io.images["/disk0"].badSectors = {10};
  host.answers = {TMsgResult::Ignore};
  uint64_t ignoredBefore = IgnoredReadCount();
  std::vector<uint8_t> out(129 * 512, 0xCC);
  EXPECT_TRUE(ReadPhysicalSectors(drive, 0, 129, true, out.data()));
  EXPECT_EQ(IgnoredReadCount(), ignoredBefore + 1);
  for (size_t i = 0; i < 128 * 512; ++i) ASSERT_EQ(out[i], 0) << i;
  // The chunk after the ignored one is the disk's.
  EXPECT_EQ(out[128 * 512], fake.io.images["/disk0"].bytes[128 * 512]);
}

TEST_F(DiskTest, LogicalReadsAreChunkedAt1000SectorsAndShareOneHandle) {
  fake.io.images["/vol"].bytes = Patterned(2000);
  uint8_t letter = TDeviceRegistry::Instance().AddImage("/vol", TImageKind::Drive).Number;
  EXPECT_EQ(letter, 3);  // C:
  fake.io.transfers.clear();
  std::vector<uint8_t> out(1500 * 512);
  int before = fake.io.opens;
  ASSERT_TRUE(ReadLogicalSectors(letter, 10, 1500, out.data()));
  ASSERT_TRUE(ReadLogicalSectors(letter, 0, 1, out.data()));
  EXPECT_EQ(fake.io.opens - before, 1);
  ASSERT_EQ(fake.io.transfers.size(), 3u);
  EXPECT_EQ(fake.io.transfers[0].length, 1000u * 512);
  EXPECT_EQ(fake.io.transfers[1].length, 500u * 512);
  EXPECT_EQ(fake.io.transfers[1].offset, 1010u * 512);
}

TEST_F(DiskTest, GeometryCoversTheWholeImage) {
  uint8_t drive = AddDisk("/disk0", 20000);  // not a whole number of cylinders
  DiskGeometry g;
  ASSERT_TRUE(GetDiskGeometry(drive, g));
  EXPECT_EQ(g.MediaKind, MediaFixed);
  EXPECT_EQ(g.Removable, 0);
  EXPECT_EQ(g.TotalSectors, 20000u);
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_GE(g.Cylinders * g.Heads * g.SectorsPerTrack, g.TotalSectors);
  fake.io.images["/floppy"].bytes.resize(1474560);
  uint8_t fl = TDeviceRegistry::Instance().AddImage("/floppy", TImageKind::Floppy).Number;
  EXPECT_EQ(fl, 0);
  ASSERT_TRUE(GetDiskGeometry(fl, g));
  EXPECT_EQ(g.MediaKind, MediaFloppy);
  EXPECT_EQ(g.Removable, 1);
}

TEST_F(DiskTest, RegistryRefusesMissingAndTinyImagesWithOneLine) {
  EXPECT_THROW(TDeviceRegistry::Instance().AddImage("/missing"), std::runtime_error);
  fake.io.images["/tiny"].bytes.resize(100);
  try {
    TDeviceRegistry::Instance().AddImage("/tiny");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("smaller than one sector"), std::string::npos);
  }
}

// A FIFO (or socket, or character device) given as an image would block inside open() or read
// as an endless stream: it is refused at once, with a message that says why.
TEST(PosixRawIO, RefusesWhatIsNeitherAFileNorABlockDevice) {
  char tmpl[] = "/tmp/salvex-fifo-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string fifo = dir + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TPosixRawIO io;
  auto opening = std::async(std::launch::async, [&] { return io.Open(fifo); });
  if (opening.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Release the blocked open with a writer, so that the test ends.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    opening.wait();
    if (writer >= 0) ::close(writer);
    ::unlink(fifo.c_str());
    ::rmdir(dir.c_str());
    FAIL() << "opening a FIFO blocked";
  }
  const int fd = opening.get();
  EXPECT_LT(fd, 0);
  if (fd >= 0) io.Close(fd);
  EXPECT_NE(io.OpenFailure().find("neither a regular file nor a block device"), std::string::npos);
  ::unlink(fifo.c_str());
  ::rmdir(dir.c_str());
}

TEST_F(DiskTest, AutoKindTakesBootSectorsAsDrivesAndTheRestAsDisks) {
  auto& vol = fake.io.images["/vol"].bytes;
  vol.assign(4096, 0);
  vol[0] = 0xEB;
  vol[11] = 0x00;
  vol[12] = 0x02;
  vol[510] = 0x55;
  vol[511] = 0xAA;
  fake.io.images["/disk"].bytes.assign(4096, 0);
  EXPECT_FALSE(TDeviceRegistry::Instance().AddImage("/vol").Physical);
  EXPECT_TRUE(TDeviceRegistry::Instance().AddImage("/disk").Physical);
}

}  // namespace
}  // namespace salvex::test
