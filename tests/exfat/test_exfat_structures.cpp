// exFAT structures one by one: entry sets built inline and broken field by field, timestamps, and
// the boot region of the fixture image mutated rule by rule; then the same faults on a whole volume.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "common/ByteReader.h"
#include "common/FakeHost.h"
#include "common/StringTable.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "recovery/Browse.h"
#include "support/Fixtures.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// A file entry set for `name` (UTF-16 units) with a correct checksum.
std::vector<uint8_t> EntrySet(const std::u16string& name, bool deleted = false, uint64_t valid = 100,
                              uint64_t length = 100) {
  const size_t nameEntries = (name.size() + 14) / 15;
  std::vector<uint8_t> set((2 + nameEntries) * 32, 0);
  set[0] = 0x85;
  set[1] = uint8_t(1 + nameEntries);
  PutU16(&set[4], 0x20);
  PutU32(&set[12], (uint32_t(44) << 25) | (7u << 21) | (4u << 16) | (10u << 11) | (30u << 5) | 5u);
  set[21] = 150;  // 1.5 s
  set[23] = 0x80 | 8;  // UTC+2
  set[32] = 0xC0;
  set[33] = 0x03;
  set[35] = uint8_t(name.size());
  PutU64(&set[40], valid);
  PutU32(&set[52], 7);
  PutU64(&set[56], length);
  for (size_t i = 0; i < name.size(); ++i) {
    const size_t e = 2 + i / 15;
    set[e * 32] = 0xC1;
    PutU16(&set[e * 32 + 2 + (i % 15) * 2], name[i]);
  }
  PutU16(&set[2], ExFATEntrySetChecksum(set, false));
  if (deleted)
    for (size_t e = 0; e < set.size(); e += 32) set[e] &= 0x7F;
  return set;
}

TEST(ExFATEntrySets, ParsedBrokenAndDeleted) {
  const auto good = ParseExFATEntrySet(EntrySet(u"report.txt"), 0);
  ASSERT_TRUE(good);
  EXPECT_EQ(good->Name, "report.txt");
  EXPECT_TRUE(good->ChecksumOk);
  EXPECT_FALSE(good->Deleted);
  EXPECT_EQ(good->Entries, 3u);
  EXPECT_EQ(good->FirstCluster, 7u);
  EXPECT_TRUE(good->NoFatChain());

  // Deleting clears every in-use bit; the checksum was made with them set.
  const auto gone = ParseExFATEntrySet(EntrySet(u"report.txt", true), 0);
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->Deleted);
  EXPECT_TRUE(gone->ChecksumOk);

  // A changed byte is kept, with the checksum marked wrong.
  auto bad = EntrySet(u"report.txt");
  bad[60] ^= 1;
  ASSERT_TRUE(ParseExFATEntrySet(bad, 0));
  EXPECT_FALSE(ParseExFATEntrySet(bad, 0)->ChecksumOk);

  struct Broken {
    const char* what;
    size_t offset;
    uint8_t value;
  };
  for (const Broken& b : {Broken{"no stream extension", 32, 0xC1}, Broken{"secondary count 1", 1, 1},
                          Broken{"secondary count 19", 1, 19}, Broken{"name longer than its entries", 35, 16},
                          Broken{"empty name", 35, 0}, Broken{"name entry of a live set deleted", 64, 0x41},
                          Broken{"not a file entry", 0, 0x83}}) {
    auto set = EntrySet(u"report.txt");
    set[b.offset] = b.value;
    EXPECT_FALSE(ParseExFATEntrySet(set, 0)) << b.what;
  }
  auto set = EntrySet(u"report.txt");
  EXPECT_FALSE(ParseExFATEntrySet(std::span(set).first(set.size() - 1), 0)) << "cut short";
  EXPECT_FALSE(ParseExFATEntrySet(set, set.size() - 32)) << "past the end";
}

TEST(ExFATEntrySets, NamesConvertWithoutLoss) {
  struct Case {
    std::u16string utf16;
    const char* utf8;
    bool lossy;
  } cases[] = {
      {u"Ελληνικά.txt", "Ελληνικά.txt", false},
      {u"日本語", "日本語", false},
      {u"party \U0001F389.txt", "party 🎉.txt", false},
      {std::u16string{u'a', char16_t(0xD83C), u'b'}, "a\xEF\xBF\xBD" "b", true},
      {std::u16string{char16_t(0xDF89)}, "\xEF\xBF\xBD", true},
      {u"A name that needs more than one file name entry, being long.txt",
       "A name that needs more than one file name entry, being long.txt", false},
  };
  for (const Case& c : cases) {
    auto set = ParseExFATEntrySet(EntrySet(c.utf16), 0);
    ASSERT_TRUE(set) << c.utf8;
    EXPECT_EQ(set->Name, c.utf8);
    EXPECT_EQ(set->NameLossy, c.lossy) << c.utf8;
  }
}

TEST(ExFATEntrySets, TimesWithTenMillisecondsAndUtcOffsets) {
  // 2024-07-04 10:30:10 local.
  const uint32_t stamp = (uint32_t(44) << 25) | (7u << 21) | (4u << 16) | (10u << 11) | (30u << 5) | 5u;
  const time_t utc = 1720089010;  // 2024-07-04 10:30:10 UTC
  struct Case {
    uint8_t tenMs, offset;
    time_t sec;
    long nsec;
  } cases[] = {
      {0, 0x80, utc, 0},
      {150, 0x80 | 8, utc - 7200 + 1, 500'000'000},
      {199, 0x80 | 0x6C, utc + 5 * 3600 + 1, 990'000'000},  // UTC-5: 0x6C is -20 quarter hours
      {250, 0x80, utc, 0},                                    // out of range: ignored
  };
  for (const Case& c : cases) {
    auto ts = ExFATTimeToTimespec({stamp, c.tenMs, c.offset});
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->tv_sec, c.sec) << int(c.offset);
    EXPECT_EQ(ts->tv_nsec, c.nsec) << int(c.tenMs);
  }
  EXPECT_FALSE(ExFATTimeToTimespec({0, 0, 0x80}));
  EXPECT_FALSE(ExFATTimeToTimespec({stamp & ~(0xFu << 21), 0, 0x80})) << "month 0";
}

// The fixture image in memory, changed, and opened as a volume.
struct ExFATImage : ::testing::Test {
  FakeHost host;
  ScopedHost scope{host};
  std::unique_ptr<TDeviceList> devices;
  std::unique_ptr<TDriveList> drives;
  std::vector<uint8_t> bytes;
  fs::path path;
  ExFATImage() {
    std::ifstream in(UnpackedImage("exfat.img.gz"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    char tmpl[] = "/tmp/salvex-exfat-XXXXXX";
    path = fs::path(mkdtemp(tmpl)) / "volume.img";
  }
  ~ExFATImage() override {
    std::error_code ec;
    fs::remove_all(path.parent_path(), ec);
  }
  TExFATdrive* Open() {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    drives = std::make_unique<TDriveList>();
    devices = std::make_unique<TDeviceList>();
    return dynamic_cast<TExFATdrive*>(OpenImageVolume(path, 0, *devices, *drives));
  }
  void FixBootChecksum(size_t region) {
    const uint32_t sum = ExFATBootChecksum(std::span(bytes).subspan(region, 11 * 512));
    for (size_t i = 0; i < 512; i += 4) PutU32(&bytes[region + 11 * 512 + i], sum);
  }
  // The offset of the file entry of the set whose name starts with `name` (ASCII, at most 15 characters).
  size_t SetOf(const std::string& name) {
    std::string utf16;
    for (char c : name.substr(0, 15)) utf16 += std::string{c, '\0'};
    for (size_t off = 64; off + 32 <= bytes.size(); off += 32)
      if (bytes[off] == 0xC1 && std::memcmp(&bytes[off + 2], utf16.data(), utf16.size()) == 0) return off - 64;
    ADD_FAILURE() << name << " not found";
    return 0;
  }
  void FixSetChecksum(size_t at) {
    PutU16(&bytes[at + 2], ExFATEntrySetChecksum(std::span(bytes).subspan(at, (bytes[at + 1] + 1) * 32), false));
  }
  static TCustomFile* File(TCustomDrive& d, TTreeKind tree, const std::string& p) {
    auto item = ResolvePath(d, tree, p);
    return item ? dynamic_cast<TCustomFile*>(item.Value()) : nullptr;
  }
  static std::string Read(TCustomFile& f) {
    auto data = f.OpenData({});
    std::string out(f.Size, '\xEE');
    size_t got = 0;
    for (size_t n; (n = data->Read(reinterpret_cast<uint8_t*>(out.data()) + got, out.size() - got)) > 0;) got += n;
    EXPECT_EQ(got, f.Size);
    return out;
  }
};

TEST_F(ExFATImage, BootRulesRefuseImpossibleGeometryWithAReason) {
  struct Rule {
    const char* what;
    size_t offset;
    uint64_t value;
    int width;
    const char* reason;
  };
  for (const Rule& r : {Rule{"sector shift 13", 108, 13, 1, "bytes per sector"},
                        Rule{"64 MiB clusters", 109, 17, 1, "larger than 32 MiB"},
                        Rule{"three FATs", 110, 3, 1, "number of FATs"},
                        Rule{"FAT inside the boot regions", 80, 12, 4, "overlaps the boot regions"},
                        Rule{"no clusters", 92, 0, 4, "cluster count"},
                        Rule{"heap past the volume", 72, 4000, 8, "past the volume"},
                        Rule{"FAT too short", 84, 1, 4, "too short"},
                        Rule{"root outside the heap", 96, 1, 4, "root directory cluster"}}) {
    std::vector<uint8_t> sector(bytes.begin(), bytes.begin() + 512);
    for (int i = 0; i < r.width; ++i) sector[r.offset + i] = uint8_t(r.value >> (8 * i));
    TExFATBoot boot;
    std::string why;
    EXPECT_FALSE(ParseExFATBootSector(sector, boot, why)) << r.what;
    EXPECT_NE(why.find(r.reason), std::string::npos) << r.what << ": " << why;
  }
  TExFATBoot boot;
  std::string why;
  EXPECT_TRUE(CheckExFATBootRegion(std::span(bytes).first(12 * 512), boot, why)) << why;
  bytes[512 + 100] ^= 0xFF;  // an extended boot sector
  EXPECT_FALSE(CheckExFATBootRegion(std::span(bytes).first(12 * 512), boot, why));
  EXPECT_NE(why.find("checksum"), std::string::npos);
}

TEST_F(ExFATImage, DamagedMainBootRegionMountsFromTheBackupAndSaysSo) {
  PutU32(&bytes[92], 0);  // cluster count
  TExFATdrive* d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->UsedBackupBoot);
  EXPECT_NE(d->BootProblem.find("cluster count"), std::string::npos);
  // The core shows nothing; the note carries the desktop program's message and the reason.
  EXPECT_TRUE(host.messages.empty());
  ASSERT_EQ(d->MountNotes.size(), 1u);
  EXPECT_FALSE(d->MountNotes[0].Stopped);
  EXPECT_NE(d->MountNotes[0].Message.find("backup boot region"), std::string::npos);
  EXPECT_NE(d->MountText().find("cluster count"), std::string::npos);
  EXPECT_EQ(ListFolder(*d->RootFolder).size(), 8u);

  // With both regions damaged nothing is mounted, and the message tells why.
  PutU32(&bytes[12 * 512 + 92], 0);
  FixBootChecksum(12 * 512);
  host.messages.clear();
  d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(d->HasSpecialFolders());
  EXPECT_TRUE(host.messages.empty());
  ASSERT_NE(d->MountFailure(), nullptr);
  EXPECT_NE(d->MountFailure()->Message.find("cluster count"), std::string::npos);
}

TEST_F(ExFATImage, BytesPastTheValidLengthReadAsZeros) {
  const size_t at = SetOf("multi-cluster.bin");
  PutU64(&bytes[at + 32 + 8], 5000);
  FixSetChecksum(at);
  TExFATdrive* d = Open();
  ASSERT_NE(d, nullptr);
  TCustomFile* f = File(*d, TTreeKind::Root, "multi-cluster.bin");
  ASSERT_NE(f, nullptr);
  const std::string data = Read(*f);
  ASSERT_EQ(data.size(), 10000u);
  EXPECT_NE(data.substr(0, 5000), std::string(5000, '\0'));
  EXPECT_EQ(data.substr(5000), std::string(5000, '\0'));
}

TEST_F(ExFATImage, WrongSetChecksumIsShownAsPoorNotHidden) {
  const size_t at = SetOf("tiny.txt");
  bytes[at + 2] ^= 0x55;
  TExFATdrive* d = Open();
  ASSERT_NE(d, nullptr);
  TCustomFile* f = File(*d, TTreeKind::Root, "tiny.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Condition, 2);
  ASSERT_NE(f->Parent, nullptr);
  EXPECT_EQ(f->Parent->ListRow(*f).Cells.at(3), LoadText(727));
  EXPECT_EQ(Read(*f).size(), 20u);
}

// A live file made to start inside another's data, in the same folder or another, contiguous or
// along a FAT chain: both are poor and say which cluster they share, whichever folder is listed
// first; the other files stay as they were.
TEST_F(ExFATImage, LiveFilesSharingAClusterAreBothPoor) {
  struct Case {
    const char* moved;  // its first cluster is set to the second cluster of `into`
    const char* into;
  } cases[] = {
      {"tiny.txt", "multi-cluster.bin"},
      {"Docs/notes.txt", "multi-cluster.bin"},  // the root is listed before Docs
      {"tiny.txt", "Frag/Fragmented.bin"},      // into a chain, listed after the root
  };
  const std::vector<uint8_t> intact = bytes;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.moved) + " into " + c.into);
    bytes = intact;
    TExFATdrive* d = Open();
    ASSERT_NE(d, nullptr);
    auto* into = dynamic_cast<TExFATFile*>(File(*d, TTreeKind::Root, c.into));
    ASSERT_NE(into, nullptr);
    const uint32_t inside = into->NoFatChain ? into->FirstCluster + 1 : d->GetFAT(into->FirstCluster, d->ActiveFat);
    ASSERT_TRUE(d->IsValidCluster(inside));
    const std::string movedName = fs::path(c.moved).filename().string();
    const size_t set = SetOf(movedName);
    PutU32(&bytes[set + 32 + 20], inside);
    FixSetChecksum(set);
    d = Open();
    ASSERT_NE(d, nullptr);
    // Listed in the order a user walks the tree: the file that was there first, then the other.
    for (const char* name : {c.into, c.moved, "exact-cluster.bin"}) {
      auto* f = dynamic_cast<TExFATFile*>(File(*d, TTreeKind::Root, name));
      ASSERT_NE(f, nullptr) << name;
      const bool crossed = std::string_view(name) != "exact-cluster.bin";
      EXPECT_EQ(f->SharedCluster, crossed ? inside : 0u) << name;
      EXPECT_EQ(f->Condition, crossed ? 2 : 0) << name;
      EXPECT_EQ(f->Meta().Warning.find("cluster " + std::to_string(inside)) != std::string::npos, crossed) << name;
    }
  }
}

TEST_F(ExFATImage, ChainLoopsAndFoldersOnTheirOwnPathEnd) {
  // Frag/Fragmented.bin's chain made to point back at its first cluster; Docs/Level2 made to
  // start at Docs' cluster.
  TExFATdrive* d = Open();
  ASSERT_NE(d, nullptr);
  auto* frag = dynamic_cast<TExFATFile*>(File(*d, TTreeKind::Root, "Frag/Fragmented.bin"));
  auto docs = ResolvePath(*d, TTreeKind::Root, "Docs");
  ASSERT_TRUE(frag && docs);
  const uint32_t first = frag->FirstCluster, docsCluster = dynamic_cast<TExFATDirectory*>(docs.Value())->FirstCluster;
  const size_t fat = size_t(d->Boot.FatOffset) * 512;
  const uint32_t second = ByteReader(bytes).U32(fat + first * 4);
  PutU32(&bytes[fat + second * 4], first);
  const size_t level2 = SetOf("Level2");
  PutU32(&bytes[level2 + 32 + 20], docsCluster);
  FixSetChecksum(level2);
  d = Open();
  ASSERT_NE(d, nullptr);
  TCustomFile* f = File(*d, TTreeKind::Root, "Frag/Fragmented.bin");
  ASSERT_NE(f, nullptr);
  auto data = f->OpenData({});
  std::vector<uint8_t> buf(1 << 20);
  uint64_t total = 0;
  for (size_t n; (n = data->Read(buf.data(), buf.size())) > 0;) total += n;
  // The chain ends where it comes back: two clusters are the file's, the rest is not invented.
  EXPECT_EQ(total, std::min<uint64_t>(f->Size, 2 * uint64_t(d->ClusterSize)));
  EXPECT_NE(data->Failure.find("comes back to cluster " + std::to_string(first)), std::string::npos) << data->Failure;
  // A folder starting at its parent's cluster is listed once, poor, without entering it again.
  auto level = ResolvePath(*d, TTreeKind::Root, "Docs/Level2");
  ASSERT_TRUE(level);
  auto* loop = dynamic_cast<TExFATDirectory*>(level.Value());
  ASSERT_NE(loop, nullptr);
  EXPECT_TRUE(loop->Loop);
  EXPECT_EQ(loop->Condition, 2);
  EXPECT_TRUE(ListFolder(*loop).empty());
}

// Damage that claims more than the device or the volume holds, one fault per row: what is read is
// bounded by the device (data ends at a cluster past it, with the reason), and an item whose size,
// valid length or first cluster cannot be true is shown poor with a warning and read only from
// clusters that exist, never padded with zeros.
TEST_F(ExFATImage, ClaimsBeyondTheDeviceOrVolumeAreBoundedAndShownPoor) {
  const std::vector<uint8_t> intact = bytes;
  constexpr size_t kHeap = 4096 * 512, kCluster = 4096;  // the fixture's layout
  const std::string multi(intact.begin() + kHeap + 6 * kCluster, intact.begin() + kHeap + 6 * kCluster + 10000);
  struct Row {
    const char* what;
    size_t deviceSectors;  // 0: the whole image
    uint64_t valid, length, first;  // multi-cluster.bin's stream fields; 0 keeps the stored one
    const char* mountWarning;  // "" none
    const char* path;          // the file looked at; "" when the root must be empty
    bool poor;
    const char* warning;  // in the file's Meta().Warning; "" none
    std::string data;     // what reading it delivers
    bool failure;         // the stream ends with a reason
  };
  const Row rows[] = {
      {"intact", 0, 0, 0, 0, "", "multi-cluster.bin", false, "", multi, false},
      // Nine whole clusters and half of the tenth are left.
      {"device ends in the heap", 4096 + 9 * 8 + 4, 0, 0, 0, "cut to the device", "multi-cluster.bin", false, "",
       multi, false},
      {"device ends in the heap, file past it", 4096 + 9 * 8, 0, 0, 0, "cut to the device",
       "A name that needs more than one file name entry, being long.txt", true, "past the end of the device", "",
       true},
      {"device ends in the FAT", 2056, 0, 0, 0, "FAT lies partly or wholly past", "", false, "", "", false},
      {"size beyond the volume", 0, 0, uint64_t(1) << 40, 0, "", "multi-cluster.bin", true,
       "larger than the volume can hold; read up to 10000 bytes", multi, false},
      {"size and valid length beyond the volume", 0, uint64_t(1) << 40, uint64_t(1) << 40, 0, "", "multi-cluster.bin",
       true, "larger than the volume can hold", "heap", true},
      {"valid length beyond the size", 0, uint64_t(1) << 40, 0, 0, "", "multi-cluster.bin", true,
       "valid data length", multi, false},
      {"first cluster beyond the heap", 0, 0, 0, 0xFFFFFF00u, "", "multi-cluster.bin", true,
       "outside the cluster heap", "", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    bytes = intact;
    const size_t at = SetOf("multi-cluster.bin");
    if (r.valid) PutU64(&bytes[at + 32 + 8], r.valid);
    if (r.first) PutU32(&bytes[at + 32 + 20], uint32_t(r.first));
    if (r.length) PutU64(&bytes[at + 32 + 24], r.length);
    FixSetChecksum(at);
    if (r.deviceSectors) bytes.resize(r.deviceSectors * 512);
    TExFATdrive* d = Open();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->HasSpecialFolders());
    if (*r.mountWarning)
      EXPECT_NE(d->MountText().find(r.mountWarning), std::string::npos) << d->MountText();
    else
      EXPECT_EQ(d->MountText(), "");
    EXPECT_LE(d->VolumeBytes(), bytes.size());
    EXPECT_LE(uint64_t(d->ClustersOnDevice) * kCluster + kHeap, std::max(bytes.size(), kHeap));
    if (!*r.path) {
      EXPECT_TRUE(ListFolder(*d->RootFolder).empty());
      continue;
    }
    auto item = ResolvePath(*d, TTreeKind::Root, r.path);
    ASSERT_TRUE(item);
    auto* f = dynamic_cast<TCustomFile*>(item.Value());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(RowOf(*f).Condition == TItemRow::TCondition::Poor, r.poor);
    const std::string warning = f->Meta().Warning;
    if (*r.warning)
      EXPECT_NE(warning.find(r.warning), std::string::npos) << warning;
    else
      EXPECT_EQ(warning, "");
    auto data = f->OpenData({});
    ASSERT_NE(data, nullptr);
    std::string got;
    std::vector<uint8_t> buf(1 << 20);
    for (size_t n; (n = data->Read(buf.data(), buf.size())) > 0;) got.append(buf.begin(), buf.begin() + n);
    EXPECT_EQ(data->ZeroFilledSectors, 0u);
    EXPECT_EQ(!data->Failure.empty(), r.failure) << data->Failure;
    if (r.data == "heap") {
      // Consecutive clusters from the file's first to the heap's end, then the reason it stops.
      EXPECT_EQ(got.size(), (d->ClusterCount + 2 - 8) * kCluster);
      EXPECT_EQ(got, std::string(intact.begin() + kHeap + 6 * kCluster, intact.end()));
    } else {
      EXPECT_EQ(got, r.data);
    }
  }
}

// Memory refused during the lost-data search ends it with a reason, as a damaged structure does,
// never as a finished search that found nothing.
TEST_F(ExFATImage, LostDataSearchOutOfMemoryIsReportedNotFinished) {
  struct OutOfMemoryHost : FakeHost {
    void ProcessMessages() override { throw std::bad_alloc(); }
  } failing;
  failing.rangeFirst = 2;
  failing.rangeLast = 100;
  TExFATdrive* d = Open();
  ASSERT_NE(d, nullptr);
  ScopedHost scope2{failing};
  EXPECT_TRUE(d->FindLostData(nullptr));
  EXPECT_NE(d->LastLostSearch.Failure, "");
}

}  // namespace
}  // namespace salvex::test
