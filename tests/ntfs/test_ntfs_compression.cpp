// Compressed and encrypted NTFS data: the LZNT1 and XPRESS wrappers on crafted bytes, a volume
// made by ntfs-3g with a compressed folder read against The Sleuth Kit, a damaged unit, and crafted
// records for a WOF-compressed file and an encrypted one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <tuple>
#include <vector>

#include "common/FakeHost.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "ntfs/NTFSCompression.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"
#include "mount/MountTree.h"
#include "recovery/Browse.h"
#include "support/Fixtures.h"
#include "support/Volumes.h"

namespace salvex {
namespace {

namespace fs = std::filesystem;
using test::NtfsImageBuilder;

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

// A compressed LZNT1 chunk: "abc", then a copy of 27 bytes from 3 back (token (3-1)<<12 | 27-3).
const std::vector<uint8_t> kAbcChunk = Bytes({0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x18, 0x20});

TEST(NtfsLznt1, DecodesUnitsAndRefusesDamagedOnes) {
  std::string abc30;
  for (int i = 0; i < 10; ++i) abc30 += "abc";
  std::vector<uint8_t> stored = Bytes({0x04, 0x30, 'h', 'e', 'l', 'l', 'o'});  // a chunk kept as is
  auto withPadding = kAbcChunk;
  withPadding.insert(withPadding.end(), {0, 0, 0xAA, 0xBB});  // end marker, then cluster slack
  auto twoChunks = stored;
  twoChunks.insert(twoChunks.end(), kAbcChunk.begin(), kAbcChunk.end());
  struct Case {
    const char* what;
    std::vector<uint8_t> in;
    size_t outSize;
    bool ok;
    std::string expect;  // the decoded start; the rest must be zeros
  } cases[] = {
      {"stored chunk", stored, 4096, true, "hello"},
      {"compressed chunk with a back reference", kAbcChunk, 4096, true, abc30},
      {"slack after the end marker is ignored", withPadding, 4096, true, abc30},
      {"a short chunk is padded to 4096 bytes", twoChunks, 8192, true, "hello" + std::string(4091, '\0') + abc30},
      {"nothing stored", {}, 4096, true, ""},
      {"output larger than the unit", kAbcChunk, 16, false, ""},
      {"chunk longer than the data", Bytes({0x05, 0xB0, 0x08, 'a'}), 4096, false, ""},
      {"reference before the start", Bytes({0x03, 0xB0, 0x01, 0x00, 0x70}), 4096, false, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(c.outSize, 0xEE);
    EXPECT_EQ(ntfs::DecompressLznt1(c.in, out), c.ok) << c.what;
    ASSERT_LE(c.expect.size(), out.size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + c.expect.size()), c.expect) << c.what;
    EXPECT_TRUE(std::all_of(out.begin() + c.expect.size(), out.end(), [](uint8_t b) { return b == 0; })) << c.what;
  }
}

// An XPRESS Huffman chunk of 4096 'A's crafted by hand: a code of two symbols of length 1, the
// literal 'A' (code 0) and the match symbol 256 + 15 (code 1: offset 1, length in the byte stream).
std::vector<uint8_t> XpressAs() {
  std::vector<uint8_t> c(256, 0);
  c['A' / 2] |= 1 << 4;        // symbol 0x41: high nibble of byte 0x20
  c[(256 + 15) / 2] |= 1 << 4;  // symbol 271: high nibble of byte 135
  // Bits (16-bit little-endian words, most significant first): 0 = 'A', 1 = match.
  c.insert(c.end(), {0x00, 0x40, 0x00, 0x00});
  // Match length 4095 - 3 = 4092: 15 in the symbol, 255 in a byte, then the 16-bit value.
  c.insert(c.end(), {0xFF, 0xFC, 0x0F});
  return c;
}

TEST(NtfsXpress, DecodesACraftedChunkAndRefusesAShortOne) {
  std::vector<uint8_t> out(4096);
  ASSERT_TRUE(ntfs::DecompressXpressHuffman(XpressAs(), out));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 'A'; }));
  auto cut = XpressAs();
  cut.resize(200);  // the code length table itself is cut
  EXPECT_FALSE(ntfs::DecompressXpressHuffman(cut, out));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

std::string ReadStream(TNTFSReadStream& s, size_t piece) {
  std::string all;
  std::vector<uint8_t> buffer(piece);
  while (uint64_t n = s.Read(buffer.data(), buffer.size())) all.append(buffer.begin(), buffer.begin() + n);
  return all;
}

struct Listed {
  std::string Path;
  TNTFSFile* File;
};

void Walk(TNTFSDirectory& dir, const std::string& prefix, std::vector<Listed>& out) {
  if (!dir.Children) dir.ReadChildren();
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TNTFSFile*>(c.get())) out.push_back({prefix + f->Name, f});
    if (auto* d = dynamic_cast<TNTFSDirectory*>(c.get())) Walk(*d, prefix + d->Name + "/", out);
  }
}

TEST(NtfsCompressedVolume, EveryFileReadsAsTheSleuthKitAndTheManifestGiveIt) {
  fs::path image = test::UnpackedImage("ntfs-compressed.img.gz");
  auto manifest = test::ReadManifest(test::FixturePath("ntfs-compressed-manifest.txt"));
  bool haveIcat = test::HaveTool("icat");
  test::FakeHost host;
  ScopedHost scope(host);
  TDeviceList devices;
  TDriveList drives;
  auto* drive = dynamic_cast<TNTFSdrive*>(test::OpenImageVolume(image, 0, devices, drives));
  ASSERT_NE(drive, nullptr);
  ASSERT_TRUE(drive->HasSpecialFolders()) << drive->MountText();
  std::vector<Listed> files;
  Walk(*drive->Root(), "/", files);
  drive->DeletedFolder->Children.emplace();
  drive->FindDeleted(nullptr);
  Walk(*drive->Deleted(), "/", files);

  size_t checked = 0;
  for (const auto& [path, entry] : manifest) {
    if (entry.IsDirectory()) continue;
    auto it = std::find_if(files.begin(), files.end(), [&](const Listed& l) { return l.Path == path; });
    ASSERT_NE(it, files.end()) << "not listed: " << path;
    TNTFSFile& f = *it->File;
    EXPECT_EQ(f.Size, entry.Size) << path;
    bool compressed = entry.Notes == "compressed";
    EXPECT_EQ(f.Compressed, path.starts_with("/Compressed/")) << path;
    // Pieces of an odd size cross the 64 KiB units at every possible offset.
    for (size_t piece : {size_t(10007), size_t(65536)}) {
      auto stream = OpenNTFSStream(*drive, f);
      ASSERT_NE(stream, nullptr);
      auto& s = static_cast<TNTFSStream&>(*stream);
      EXPECT_EQ(s.DataPos.Compressed, compressed) << path;
      std::string bytes = ReadStream(s, piece);
      EXPECT_EQ(s.Failure(), "") << path;
      EXPECT_EQ(test::Sha256OfBytes(bytes), entry.Sha256) << path << " read in pieces of " << piece;
      if (haveIcat && piece == 65536) {
        auto cat = test::RunCommand({"icat", image.string(), std::to_string(f.MFTNumber)});
        EXPECT_TRUE(cat.Out == bytes) << path << " differs from icat";
      }
    }
    // A read from the middle of a unit after a seek.
    TNTFSStream s(*drive, f.Size, uint64_t(f.MFTNumber));
    std::string whole = ReadStream(s, 65536);
    s.Seek(int64_t(f.Size / 2), TNTFSReadStream::FromBeginning);
    std::string middle(100, '\0');
    middle.resize(s.Read(reinterpret_cast<uint8_t*>(middle.data()), middle.size()));
    EXPECT_EQ(middle, whole.substr(f.Size / 2, 100)) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 6u);
}

TEST(NtfsCompressedVolume, ADamagedUnitReadsAsZerosAndIsReported) {
  fs::path path = test::UnpackedImage("ntfs-compressed.img.gz");
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  test::FakeHost host;
  ScopedHost scope(host);
  test::TMemNTFSdrive intact(image);
  ASSERT_TRUE(intact.Mount(true)) << intact.MountText();
  std::vector<Listed> files;
  Walk(*intact.Root(), "/", files);
  auto it = std::find_if(files.begin(), files.end(), [](const Listed& l) { return l.Path == "/Compressed/story.txt"; });
  ASSERT_NE(it, files.end());
  const uint64_t record = uint64_t(it->File->MFTNumber);
  TNTFSStream good(intact, 0, record);
  const std::string expected = ReadStream(good, 65536);
  ASSERT_EQ(expected.size(), 168894u);
  // The clusters of the second unit (VCN 16 on) become noise that is no LZNT1 stream.
  auto unit = std::find_if(good.DataPos.Data.Runs.begin(), good.DataPos.Data.Runs.end(),
                           [](const ntfs::TRun& r) { return r.Vcn == 16 && !r.Hole; });
  ASSERT_NE(unit, good.DataPos.Data.Runs.end());
  auto damaged = image;
  std::fill_n(damaged.begin() + unit->Lcn * 4096, unit->Length * 4096, 0xFF);

  test::TMemNTFSdrive drive(damaged);
  ASSERT_TRUE(drive.Mount(true));
  TNTFSDataPos pos;
  ASSERT_TRUE(drive.OpenDataPos(pos, 0, record));
  std::vector<uint8_t> piece(65536);
  uint64_t n = 0;
  EXPECT_TRUE(drive.ReadDataPos(pos, piece.size(), n, piece.data()));
  EXPECT_FALSE(drive.ReadDataPos(pos, piece.size(), n, piece.data()));
  EXPECT_EQ(n, 65536u);
  EXPECT_TRUE(std::all_of(piece.begin(), piece.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(pos.DamagedUnits, 1u);
  EXPECT_NE(pos.Failure.find("compression unit 1"), std::string::npos) << pos.Failure;
  // The units around it are unharmed.
  EXPECT_TRUE(drive.ReadDataPos(pos, piece.size(), n, piece.data()));
  EXPECT_EQ(std::string(piece.begin(), piece.begin() + n), expected.substr(131072));

  // cat writes every byte as save does, and like save does not call the file whole.
  const fs::path file = fs::temp_directory_path() / ("salvex-damaged-unit-" + std::to_string(::getpid()) + ".img");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(damaged.data()), std::streamsize(damaged.size()));
  const test::CommandResult cat = test::RunCommand({SALVEX_CLI_PATH, "cat", file.string(), "Compressed/story.txt"});
  EXPECT_EQ(cat.ExitCode, 1);
  EXPECT_EQ(cat.Out.size(), 168894u);
  EXPECT_NE(cat.Err.find("compression unit 1"), std::string::npos) << cat.Err;

  // Units 0 and 1 damaged: a mount fails every read of either, also a second one that finds the
  // same damage as the one before.
  auto first = std::find_if(good.DataPos.Data.Runs.begin(), good.DataPos.Data.Runs.end(),
                            [](const ntfs::TRun& r) { return r.Vcn == 0 && !r.Hole; });
  ASSERT_NE(first, good.DataPos.Data.Runs.end());
  std::fill_n(damaged.begin() + first->Lcn * 4096, first->Length * 4096, 0xFF);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(damaged.data()), std::streamsize(damaged.size()));
  TDeviceList devices;
  TDriveList drives;
  TCustomDrive* volume = test::OpenImageVolume(file, 0, devices, drives);
  ASSERT_TRUE(volume && PrepareVolume(*volume, nullptr));
  TMountTree tree({{volume, ""}}, {});
  TMountTree::TAttr attr;
  ASSERT_EQ(tree.Lookup(TMountTree::kTopIno, "Root", attr), 0);
  ASSERT_EQ(tree.Lookup(attr.Ino, "Compressed", attr), 0);
  ASSERT_EQ(tree.Lookup(attr.Ino, "story.txt", attr), 0);
  uint64_t handle = 0;
  ASSERT_EQ(tree.Open(attr.Ino, handle), 0);
  std::vector<uint8_t> out;
  const struct {
    uint64_t Offset, Size;
    int Error;
  } reads[] = {{100, 1000, EIO},   {2000, 1000, EIO}, {65536 + 10, 4000, EIO}, {70000, 100, EIO},
               {131072, 37822, 0}, {0, 65536, EIO},   {65536, 65536, EIO},     {131072 + 5, 100, 0}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.Offset);
    EXPECT_EQ(tree.Read(handle, r.Offset, size_t(r.Size), out), r.Error);
    if (r.Error == 0) {
      EXPECT_EQ(std::string(out.begin(), out.end()), expected.substr(size_t(r.Offset), size_t(r.Size)));
    }
  }
  tree.Release(handle);
  fs::remove(file);
}

// A WOF-compressed file: the unnamed $DATA is one sparse run of the file's size, the named
// WofCompressedData stream holds the chunk table and the chunks.
struct WofVolume {
  static constexpr uint64_t kRecord = 20, kStreamLcn = 40;
  std::string Expected;
  std::vector<uint8_t> Image;

  WofVolume(uint32_t algorithm, const std::vector<uint8_t>& stream, std::string expected)
      : Expected(std::move(expected)) {
    auto clusters = [](size_t bytes) { return uint8_t((bytes + NtfsImageBuilder::kCluster - 1) / NtfsImageBuilder::kCluster); };
    NtfsImageBuilder b;
    auto r = NtfsImageBuilder::NewRecord(true, false);
    NtfsImageBuilder::AddResident(r, 0x30, u"", NtfsImageBuilder::FileName(5, u"wof.bin", 1, false));
    NtfsImageBuilder::AddNonResident(r, 0x80, u"", {0x01, clusters(Expected.size())}, 0, clusters(Expected.size()) - 1,
                                     Expected.size());
    std::vector<uint8_t> reparse(24);
    PutU32(&reparse[0], 0x80000017);
    PutU16(&reparse[4], 16);
    PutU32(&reparse[8], 1);    // WOF version
    PutU32(&reparse[12], 2);   // provider: file
    PutU32(&reparse[16], 1);   // file provider version
    PutU32(&reparse[20], algorithm);
    NtfsImageBuilder::AddResident(r, 0xC0, u"", reparse);
    NtfsImageBuilder::AddNonResident(r, 0x80, u"WofCompressedData", {0x11, clusters(stream.size()), uint8_t(kStreamLcn)},
                                     0, clusters(stream.size()) - 1, stream.size());
    b.Put(kRecord, r, true);
    Image = b.Build();
    std::copy(stream.begin(), stream.end(), Image.begin() + kStreamLcn * NtfsImageBuilder::kCluster);
  }

  // XPRESS 4K, crafted: chunk 0 stored as is, chunk 1 the crafted chunk of 'A's, the short last
  // chunk stored as is.
  static WofVolume Crafted(uint32_t algorithm) {
    std::vector<uint8_t> chunk0(4096), tail(100);
    for (size_t i = 0; i < chunk0.size(); ++i) chunk0[i] = uint8_t(i * 7 + 3);
    for (size_t i = 0; i < tail.size(); ++i) tail[i] = uint8_t('a' + i % 26);
    auto chunk1 = XpressAs();
    std::string expected(chunk0.begin(), chunk0.end());
    expected.append(4096, 'A');
    expected.append(tail.begin(), tail.end());
    std::vector<uint8_t> stream(8);
    PutU32(&stream[0], 4096);
    PutU32(&stream[4], uint32_t(4096 + chunk1.size()));
    for (auto* part : {&chunk0, &chunk1, &tail}) stream.insert(stream.end(), part->begin(), part->end());
    return WofVolume(algorithm, stream, expected);
  }
};

std::vector<uint8_t> FixtureBytes(const char* name) {
  std::ifstream in(test::FixturePath(name), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(NtfsWof, XpressAndLzxFilesReadDecompressed) {
  test::FakeHost host;
  ScopedHost scope(host);
  // wimlib's XPRESS and LZX output: its WIM resources have the layout of a WofCompressedData
  // stream. The LZX file has verbatim and aligned-offset blocks and translated call targets.
  std::vector<WofVolume> volumes;
  for (const auto& [algorithm, name, size] : {std::tuple{0u, "xpress4k", 14000u}, std::tuple{1u, "lzx32k", 77000u}}) {
    auto original = FixtureBytes((std::string(name) + "-original.bin").c_str());
    ASSERT_EQ(original.size(), size);
    volumes.emplace_back(algorithm, FixtureBytes((std::string(name) + "-resource.bin").c_str()),
                         std::string(original.begin(), original.end()));
  }
  volumes.push_back(WofVolume::Crafted(0));
  for (const WofVolume& volume : volumes) {
    test::TMemNTFSdrive drive(volume.Image);
    ASSERT_TRUE(drive.Mount(true)) << drive.MountText();
    for (size_t piece : {size_t(1000), size_t(65536)}) {
      TNTFSStream s(drive, 0, WofVolume::kRecord);
      EXPECT_TRUE(s.DataPos.Compressed);
      EXPECT_EQ(s.Size, volume.Expected.size());
      EXPECT_EQ(ReadStream(s, piece), volume.Expected) << "pieces of " << piece;
      EXPECT_EQ(s.Failure(), "");
    }
  }

  // XPRESS chunks read as one LZX chunk do not decode: it reads as zeros and is named.
  WofVolume wrong = WofVolume::Crafted(1);
  test::TMemNTFSdrive drive(wrong.Image);
  ASSERT_TRUE(drive.Mount(true));
  TNTFSStream s(drive, 0, WofVolume::kRecord);
  EXPECT_TRUE(ReadStream(s, 65536) == std::string(wrong.Expected.size(), '\0'));
  EXPECT_NE(s.Failure().find("chunk 0 is damaged (its LZX data"), std::string::npos) << s.Failure();
}

// LZX blocks stored as they are (which wimlib does not write): after the block header, padding
// to a whole word, the recent offsets, the bytes, and a pad byte after an odd count.
TEST(NtfsLzx, StoredBlocksAndTheirPadding) {
  const std::string first(101, 'x'), second = "twenty bytes, stored";
  std::vector<uint8_t> in;
  // 3 bits of type (3), 1 bit "not the default size", 16 bits of size, padding: two words.
  auto stored = [&](uint16_t word0, uint16_t word1, const std::string& bytes) {
    in.insert(in.end(), {uint8_t(word0), uint8_t(word0 >> 8), uint8_t(word1), uint8_t(word1 >> 8)});
    for (int r = 0; r < 3; ++r) in.insert(in.end(), {1, 0, 0, 0});
    in.insert(in.end(), bytes.begin(), bytes.end());
    if (bytes.size() % 2) in.push_back(0);
  };
  stored(0x6006, 0x5000, first);   // 011 0 0000000001100101 (101)
  stored(0x6001, 0x4000, second);  // 011 0 0000000000010100 (20)
  std::vector<uint8_t> out(first.size() + second.size());
  ASSERT_TRUE(ntfs::DecompressLzx(in, out));
  EXPECT_EQ(std::string(out.begin(), out.end()), first + second);
  in.resize(in.size() - 5);  // the second block's bytes are cut
  EXPECT_FALSE(ntfs::DecompressLzx(in, out));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

TEST(NtfsEncrypted, ListedAsEncryptedAndReadAsStored) {
  test::FakeHost host;
  ScopedHost scope(host);
  NtfsImageBuilder b;
  auto key = NtfsImageBuilder::FileName(5, u"secret.txt", 1, false, 130000000000000000ull, 10);
  PutU32(&key[0x38], 0x4020);
  auto r = NtfsImageBuilder::NewRecord(true, false);
  std::vector<uint8_t> info(0x48);
  PutU32(&info[0x20], 0x4020);
  NtfsImageBuilder::AddResident(r, 0x10, u"", info);
  NtfsImageBuilder::AddResident(r, 0x30, u"", key);
  NtfsImageBuilder::AddResident(r, 0x80, u"", Bytes({'c', 'i', 'p', 'h', 'e', 'r', 't', 'e', 'x', 't'}));
  b.Put(20, r, true);
  b.AddDirectory(5, 5, u".", {{20, key}});
  auto image = b.Build();
  test::TMemNTFSdrive drive(image);
  ASSERT_TRUE(drive.Mount(true));
  drive.Root()->ReadChildren();
  ASSERT_EQ(drive.Root()->Children->size(), 1u);
  auto* f = dynamic_cast<TNTFSFile*>((*drive.Root()->Children)[0].get());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->Encrypted);
  EXPECT_FALSE(f->Compressed);
  const TListRow row = drive.Root()->ListRow(*f);
  ASSERT_GE(row.Cells.size(), 4u);
  EXPECT_EQ(row.Cells[3], "encrypted");
  TNTFSStream s(drive, f->Size, 20);
  EXPECT_TRUE(s.DataPos.Encrypted);
  EXPECT_EQ(ReadStream(s, 4), "ciphertext");
}

}  // namespace
}  // namespace salvex
