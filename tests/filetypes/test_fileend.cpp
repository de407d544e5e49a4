#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "filetypes/Carver.h"
#include "filetypes/FileEnd.h"
#include "filetypes/JpegReassembly.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

using Buffer = std::vector<uint8_t>;

// A source over a buffer that remembers how far it was asked to read.
class WatchedSource : public TByteSource {
 public:
  explicit WatchedSource(const Buffer& bytes) : inner_(bytes) {}
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) override {
    farthest = std::max<uint64_t>(farthest, offset + count);
    return inner_.ReadAt(offset, out, count);
  }
  uint64_t farthest = 0;

 private:
  TSpanSource inner_;
};

std::optional<uint64_t> EndOf(const std::string& type, const Buffer& bytes, uint64_t* farthest = nullptr) {
  WatchedSource source(bytes);
  auto end = FindFileEnd(type, source);
  if (end) {
    EXPECT_LE(*end, bytes.size()) << type << ": an end past the bytes it was given";
  }
  EXPECT_LE(source.farthest, MaxFileEndSearch(type)) << type << ": read past its cap";
  if (farthest) *farthest = source.farthest;
  return end;
}

// The planted files of the carving image, read back from their clusters (they were written
// contiguously: FAT16, cluster 2 at sector 100, 2048-byte clusters).
struct Planted {
  std::string type;
  Buffer bytes;
};

const std::vector<Planted>& PlantedFiles() {
  static const std::vector<Planted> files = [] {
    std::ifstream in(UnpackedImage("carving.img.gz"), std::ios::binary);
    const Buffer image{std::istreambuf_iterator<char>(in), {}};
    const std::map<std::string, std::string> types = {
        {"jpg", "JPG"}, {"png", "PNG"}, {"gif", "GIF"}, {"bmp", "BMP"}, {"tif", "TIF"}, {"wav", "WAV"},
        {"mp3", "MP3"}, {"zip", "ZIP"}, {"tar", "TAR"}, {"pdf", "PDF"}, {"mid", "MID"}, {"exe", "EXE"},
        {"doc", "DOC"}, {"dbf", "DBF"}, {"rtf", "RTF"}, {"html", "HTML"}, {"dxf", "DXF"}};
    std::vector<Planted> out;
    for (auto& [path, entry] : ReadManifest(FixturePath("carving-manifest.txt"))) {
      const auto ext = path.substr(path.rfind('.') + 1);
      if (!types.count(ext)) continue;
      const uint64_t first = std::stoull(entry.Notes.substr(entry.Notes.find('=') + 1));
      const uint64_t offset = (100 + (first - 2) * 4) * 512;
      Buffer bytes(image.begin() + offset, image.begin() + offset + entry.Size);
      EXPECT_EQ(Sha256OfBytes({reinterpret_cast<const char*>(bytes.data()), bytes.size()}), entry.Sha256) << path;
      out.push_back({types.at(ext), std::move(bytes)});
    }
    return out;
  }();
  return files;
}

// One file of the carving image by its path in the manifest.
Buffer CarvingImageFile(const std::string& wanted) {
  std::ifstream in(UnpackedImage("carving.img.gz"), std::ios::binary);
  const Buffer image{std::istreambuf_iterator<char>(in), {}};
  for (auto& [path, entry] : ReadManifest(FixturePath("carving-manifest.txt"))) {
    if (path != wanted) continue;
    const uint64_t offset = (100 + (std::stoull(entry.Notes.substr(entry.Notes.find('=') + 1)) - 2) * 4) * 512;
    return Buffer(image.begin() + long(offset), image.begin() + long(offset + entry.Size));
  }
  return {};
}

// Every finder on a whole file followed by other data, on the file cut short, and on the file with
// its middle damaged: the end is exact, or not found, or at least never past the bytes given.
TEST(FileEnd, RealFilesWholeTruncatedAndDamaged) {
  ASSERT_EQ(PlantedFiles().size(), 17u);
  std::mt19937 random(7);
  for (const auto& [type, file] : PlantedFiles()) {
    Buffer followed = file;
    for (int i = 0; i < 20000; ++i) followed.push_back(uint8_t(random()));
    EXPECT_EQ(EndOf(type, followed), file.size()) << type << " followed by random bytes";
    Buffer zeros = file;
    zeros.resize(file.size() + 8192, 0);
    EXPECT_EQ(EndOf(type, zeros), file.size()) << type << " followed by zeros";

    const Buffer truncated(file.begin(), file.begin() + file.size() / 2);
    const auto cut = EndOf(type, truncated);
    if (type == "MP3") {
      // A stream has no end mark: cut short, it ends with its last whole frame.
      EXPECT_GT(cut.value_or(0), truncated.size() - 1000) << "MP3 cut in half";
    } else {
      // Size fields (BMP, RIFF, DOS EXE) say how long the file was meant to be; without its bytes that
      // end cannot be given.
      EXPECT_FALSE(cut.has_value()) << type << " cut in half ends at " << cut.value_or(0);
    }

    Buffer damaged = followed;
    for (size_t i = file.size() / 3; i < file.size() / 3 + 64; ++i) damaged[i] ^= 0x5A;
    EndOf(type, damaged);  // checked inside: within the bytes and the cap
  }
}

// The recogniser's names of types without an end finder, and an unknown name, find nothing.
TEST(FileEnd, TypesWithoutAFinder) {
  const Buffer bytes(4096, 0x41);
  for (const char* type : {"XLS", "LZH", "ARJ", "RAR", "HLP", "nope"}) {
    TSpanSource source(bytes);
    EXPECT_FALSE(FindFileEnd(type, source).has_value()) << type;
    EXPECT_EQ(MaxFileEndSearch(type), 0u) << type;
  }
}

Buffer Bytes(std::string_view text) { return Buffer(text.begin(), text.end()); }
void Append(Buffer& b, std::string_view text) { b.insert(b.end(), text.begin(), text.end()); }
void AppendBE32(Buffer& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

// Formats with a size in their header, built inline: the size is taken when it is consistent.
TEST(FileEnd, HeaderSizedFormats) {
  using namespace std::string_view_literals;
  // 7z: start header with the next header at 100, 30 bytes long.
  Buffer sevenZip = Bytes("7z\xBC\xAF\x27\x1C\0\x04"sv);
  sevenZip.resize(32 + 130, 0);
  sevenZip[12] = 100;
  sevenZip[20] = 30;
  sevenZip.resize(400, 0xEE);
  EXPECT_EQ(EndOf("7Z", sevenZip), 162u);
  sevenZip[27] = 0x80;  // a next header beyond any cap
  EXPECT_FALSE(EndOf("7Z", sevenZip).has_value());

  // SQLite: 1024-byte pages, 3 of them, the count current.
  Buffer sqlite = Bytes("SQLite format 3\0"sv);
  sqlite.resize(100, 0);
  sqlite[16] = 0x04;
  sqlite[31] = 3;
  sqlite[27] = sqlite[95] = 9;  // change counter and version-valid-for
  sqlite.resize(5000, 0x11);
  EXPECT_EQ(EndOf("SQLITE", sqlite), 3072u);
  sqlite[95] = 8;  // the count predates the last change
  EXPECT_FALSE(EndOf("SQLITE", sqlite).has_value());

  // MP4: ftyp, mdat, moov, then garbage that is not a box.
  Buffer mp4;
  AppendBE32(mp4, 16), Append(mp4, "ftypisom\0\0\0\0"sv);
  AppendBE32(mp4, 40), Append(mp4, "mdat"), mp4.resize(mp4.size() + 32, 0x55);
  AppendBE32(mp4, 24), Append(mp4, "moov"), mp4.resize(mp4.size() + 16, 0x66);
  const size_t end = mp4.size();
  mp4.insert(mp4.end(), 300, 0x00);
  EXPECT_EQ(EndOf("MP4", mp4), end);
  mp4[16 + 40 + 4] = 'x';  // no movie header: a piece of something else
  EXPECT_FALSE(EndOf("MP4", mp4).has_value());

  // RIFF and BMP sizes larger than the bytes there are not taken.
  Buffer riff = Bytes("RIFF\xFF\xFF\0\0WAVEfmt "sv);
  riff.resize(1000, 0);
  EXPECT_FALSE(EndOf("WAV", riff).has_value());
  Buffer bmp = Bytes("BM\x00\x10\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0"sv);
  bmp.resize(8192, 0);
  EXPECT_EQ(EndOf("BMP", bmp), 4096u);
  bmp[14] = 0x29;  // no header of that length exists
  EXPECT_FALSE(EndOf("BMP", bmp).has_value());
}

// A PDF ends at the "%%EOF" that no update follows: updates and a linearized first part go on, a
// following file (even one holding a PDF of its own) does not.
TEST(FileEnd, PdfUpdatesAndWhatFollows) {
  const std::string first = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
  const std::string update = "2 0 obj\n<<>>\nendobj\nxref\n0 1\ntrailer\n<<>>\n%%EOF\r\n";
  const std::string other = std::string("PK\x03\x04", 4) + "stored: %PDF-1.4 ... %%EOF\n";
  auto bytes = [](const std::string& text) { return Buffer(text.begin(), text.end()); };
  EXPECT_EQ(EndOf("PDF", bytes(first + update + other)), first.size() + update.size());
  EXPECT_EQ(EndOf("PDF", bytes(first + other)), first.size());
  EXPECT_EQ(EndOf("PDF", bytes(first + std::string(600, '\0') + "%%EOF\n")), first.size());
  EXPECT_FALSE(EndOf("PDF", bytes("%PDF-1.4\n1 0 obj\n")).has_value()) << "no %%EOF at all";
}

// The 4 KiB heads of real files in the samples folder: their ends lie beyond, so none is found,
// and nothing is read past the buffer's end. The PDF sample is a whole file.
TEST(FileEnd, HeadsOfLongerFiles) {
  const std::pair<const char*, const char*> samples[] = {
      {"sample-jpg.bin", "JPG"}, {"sample-png.bin", "PNG"}, {"sample-gif.bin", "GIF"}, {"sample-bmp.bin", "BMP"},
      {"sample-tif.bin", "TIF"}, {"sample-wav.bin", "WAV"}, {"sample-zip.bin", "ZIP"}, {"sample-tar.bin", "TAR"},
      {"sample-pdf.bin", "PDF"}};
  for (const auto& [file, type] : samples) {
    std::ifstream in(std::filesystem::path(SALVEX_FIXTURES_DIR).parent_path() / "filetypes" / "samples" / file,
                     std::ios::binary);
    const Buffer head{std::istreambuf_iterator<char>(in), {}};
    if (std::string_view(type) == "PDF") {
      EXPECT_EQ(EndOf(type, head), head.size());
      continue;
    }
    ASSERT_EQ(head.size(), 4096u) << file;
    EXPECT_FALSE(EndOf(type, head).has_value()) << file;
  }
}

// Random and marker-rich bytes behind each signature: every finder ends, within the buffer.
TEST(FileEnd, RandomBytesBehindEachSignature) {
  using namespace std::string_view_literals;
  const std::pair<const char*, std::string_view> starts[] = {
      {"JPG", "\xFF\xD8"sv},
      {"PNG", "\x89PNG\r\n\x1A\n"sv},
      {"GIF", "GIF89a"sv},
      {"BMP", "BM"sv},
      {"WAV", "RIFF"sv},
      {"ZIP", "PK\x03\x04"sv},
      {"PDF", "%PDF-1.4"sv},
      {"MID", "MThd"sv},
      {"TIF", "II*\0"sv},
      {"TIF", "MM\0*"sv},
      {"EXE", "MZ"sv},
      {"MP3", "\xFF\xFB\x90\x00"sv},
      {"TAR", ""sv},
      {"DOC", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv},
      {"7Z", "7z\xBC\xAF\x27\x1C"sv},
      {"SQLITE", "SQLite format 3\0"sv},
      {"MP4", "\0\0\0\x10" "ftyp"sv},
      {"DBF", "\x03\x78\x09\x0D"sv},
      {"RTF", "{\\rtf1"sv},
      {"HTML", "<HTML>"sv},
      {"DXF", "  0\r\nSECTION"sv},
      {"ORF", "IIRO"sv},
      {"RAF", "FUJIFILMCCD-RAW "sv},
      {"HEIC", "\0\0\0\x10" "ftypheic"sv},
      {"MKV", "\x1A\x45\xDF\xA3\x81\x00\x18\x53\x80\x67\x01\xFF"sv},
      {"FLAC", "fLaC\x80\0\0\x22\x10\0\x10\0"sv},
      {"OGG", "OggS\0\x02"sv},
      {"MTS", "\0\0\0\0\x47"sv},
      {"TS", "\x47"sv}};
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    for (const auto& [type, start] : starts) {
      Buffer b(size_t(random() % 20000));
      // Half the rounds draw from few values so that markers, zeros and small sizes are common.
      for (auto& byte : b) byte = round % 2 ? uint8_t(random()) : uint8_t("\x00\xFF\x01\xD9PK\x05\x06%\x47\xF8"[random() % 12]);
      std::memcpy(b.data(), start.data(), std::min(start.size(), b.size()));
      EndOf(type, b);
    }
  }
}

// The carver lists a file once, cuts it at its end, and passes over signatures inside it.
TEST(FileEnd, CarverDropsHitsInsideAFoundFile) {
  const Planted* wav = nullptr;
  const Planted* jpg = nullptr;
  for (const auto& p : PlantedFiles()) {
    if (p.type == "WAV") wav = &p;
    if (p.type == "JPG") jpg = &p;
  }
  ASSERT_TRUE(wav && jpg);
  constexpr uint32_t kCluster = 512;
  // A JPEG header planted at a cluster boundary inside the WAV's samples, then a real JPEG after.
  Buffer volume = wav->bytes;
  volume.resize((volume.size() + kCluster - 1) / kCluster * kCluster, 0);
  std::memcpy(volume.data() + 4 * kCluster, jpg->bytes.data(), 64);
  const size_t jpegAt = volume.size();
  volume.insert(volume.end(), jpg->bytes.begin(), jpg->bytes.end());
  volume.resize((volume.size() + kCluster - 1) / kCluster * kCluster + kCluster, 0);

  TFileCarver carver(kCluster, 1474560);
  std::vector<std::pair<uint64_t, TCarveResult>> listed;
  size_t nested = 0;
  for (uint64_t c = 0; c < volume.size() / kCluster; ++c) {
    TSpanSource from(std::span<const uint8_t>(volume).subspan(c * kCluster));
    auto r = carver.Examine(c, std::span<const uint8_t>(volume).subspan(c * kCluster, kCluster), from);
    if (r.Verdict == TCarveVerdict::NewFile) listed.emplace_back(c, r);
    if (r.Verdict == TCarveVerdict::Nested) ++nested;
  }
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].first, 0u);
  EXPECT_EQ(listed[0].second.Type, "WAV");
  EXPECT_EQ(listed[0].second.Size, wav->bytes.size());
  EXPECT_TRUE(listed[0].second.EndFound);
  EXPECT_EQ(listed[1].first, jpegAt / kCluster);
  EXPECT_EQ(listed[1].second.Size, jpg->bytes.size());
  EXPECT_GE(nested, 1u) << "the planted JPEG header inside the WAV";
}

// Compressed or encrypted data holds MPEG-like frame headers by chance; none may become a file.
TEST(FileEnd, RandomClustersCarveNoAudioWithoutAFrameChain) {
  constexpr size_t kCluster = 512;
  std::mt19937 random(7);
  Buffer volume(2048 * kCluster);
  for (auto& b : volume) b = uint8_t(random());
  TFileCarver carver(kCluster, 1474560);
  size_t audio = 0;
  for (uint64_t c = 0; c < volume.size() / kCluster; ++c) {
    TSpanSource from(std::span<const uint8_t>(volume).subspan(c * kCluster));
    const auto r = carver.Examine(c, std::span<const uint8_t>(volume).subspan(c * kCluster, kCluster), from);
    if (r.Verdict == TCarveVerdict::NewFile && r.Type == "MP3") ++audio;
  }
  EXPECT_EQ(audio, 0u);
}

// A volume of random data holds two-byte signatures (JPEG, BMP, TIFF byte orders, ARJ, Excel, Word,
// DOS programs) at cluster starts by chance: each of those, planted here with random bytes after
// it, is dropped, while every real file planted between them is listed, and listed good.
TEST(FileEnd, CarverListsRealFilesAndNoRandomSignatureHits) {
  using namespace std::string_view_literals;
  constexpr uint32_t kCluster = 512;
  const std::string_view signatures[] = {"\xFF\xD8"sv, "BM"sv,          "II"sv,      "MM"sv,
                                         "II*\0"sv,     "MM\0*"sv,       "\x60\xEA"sv, "MZ"sv,
                                         "\x09\x04"sv, "\x09\x08"sv,    "\xDC\xA5"sv, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv};
  std::mt19937 random(2026);
  Buffer volume;
  auto noise = [&](size_t clusters) {
    for (size_t i = 0; i < clusters * kCluster; ++i) volume.push_back(uint8_t(random()));
  };
  noise(16);
  for (int round = 0; round < 64; ++round)
    for (std::string_view signature : signatures) {
      const size_t at = volume.size();
      noise(2);
      std::copy(signature.begin(), signature.end(), volume.begin() + long(at));
    }
  std::vector<Planted> real = PlantedFiles();
  real.push_back({"ARJ", CarvingImageFile("/archive.arj")});
  ASSERT_GT(real.back().bytes.size(), 100u);
  std::map<uint64_t, const Planted*> plantedAt;
  for (const Planted& p : real) {
    plantedAt[volume.size() / kCluster] = &p;
    volume.insert(volume.end(), p.bytes.begin(), p.bytes.end());
    noise(1);
    volume.resize(volume.size() / kCluster * kCluster);
    noise(2);
  }

  TFileCarver carver(kCluster, 1474560);
  std::set<uint64_t> found;
  for (uint64_t c = 0; c < volume.size() / kCluster; ++c) {
    TSpanSource from(std::span<const uint8_t>(volume).subspan(c * kCluster));
    const auto r = carver.Examine(c, std::span<const uint8_t>(volume).subspan(c * kCluster, kCluster), from);
    if (r.Verdict != TCarveVerdict::NewFile) continue;
    const auto planted = plantedAt.find(c);
    if (planted == plantedAt.end()) {
      ADD_FAILURE() << "junk " << r.Type << " at cluster " << c;
      continue;
    }
    found.insert(c);
    EXPECT_EQ(r.Type, planted->second->type) << "cluster " << c;
    // ARJ has no end finder: listed with the default size, and poor for it.
    if (r.Type == "ARJ") {
      EXPECT_FALSE(r.PoorReason.empty());
    } else {
      EXPECT_EQ(r.Size, planted->second->bytes.size()) << r.Type;
      EXPECT_TRUE(r.PoorReason.empty()) << r.Type << ": " << r.PoorReason;
    }
  }
  EXPECT_EQ(found.size(), real.size());
  EXPECT_GE(carver.Rejected(), 64u * std::size(signatures) / 2) << "hits dropped for their headers";
}

// A hit whose header holds together but whose end cannot be found is listed at the default size
// and poor; a JPEG that stops decoding is poor too.
TEST(FileEnd, HitsWithoutTheirEndArePoor) {
  const Planted* bmp = nullptr;
  const Planted* jpg = nullptr;
  for (const auto& p : PlantedFiles()) {
    if (p.type == "BMP") bmp = &p;
    if (p.type == "JPG") jpg = &p;
  }
  ASSERT_TRUE(bmp && jpg);
  constexpr uint32_t kCluster = 512;
  Buffer cut(bmp->bytes.begin(), bmp->bytes.begin() + long(bmp->bytes.size() / 2));  // the end is past the volume
  TFileCarver carver(kCluster, 1474560);
  TSpanSource from(cut);
  TCarveResult r = carver.Examine(0, std::span<const uint8_t>(cut).first(kCluster), from);
  ASSERT_EQ(r.Verdict, TCarveVerdict::NewFile);
  EXPECT_FALSE(r.EndFound);
  EXPECT_EQ(r.Size, 1474560u);
  EXPECT_NE(r.PoorReason.find("end was not found"), std::string::npos) << r.PoorReason;

  Buffer damaged = jpg->bytes;  // its scan data overwritten by noise: the markers still lead to the end
  std::mt19937 random(5);
  for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 600; ++i) damaged[i] = uint8_t(random() & 0x7F);
  damaged.resize(damaged.size() + 8 * kCluster, 0);
  TFileCarver photos(0, 1474560);  // no clusters: nothing to put back together
  TSpanSource photo(damaged);
  r = photos.Examine(0, std::span<const uint8_t>(damaged).first(kCluster), photo);
  ASSERT_EQ(r.Verdict, TCarveVerdict::NewFile);
  EXPECT_TRUE(r.EndFound);
  EXPECT_NE(r.PoorReason.find("stops decoding"), std::string::npos) << r.PoorReason;
}

// A movie whose media data was written in two pieces is poor whichever box comes first: with its
// index first the box sizes still lead to an end, but the video samples the index places are not
// there; with its media data first the index is not found after it. Whole, both are good.
TEST(FileEnd, MoviesInTwoPiecesArePoor) {
  const auto read = [](const char* path) {
    std::ifstream in(std::filesystem::path(SALVEX_SOURCE_DIR) / "tests/filetypes/samples" / path, std::ios::binary);
    return Buffer{std::istreambuf_iterator<char>(in), {}};
  };
  const Buffer indexFirst = read("movie-faststart.mp4"), dataFirst = read("card/clip.mp4");
  constexpr uint32_t kCluster = 512;
  std::mt19937 random(9);
  for (const Buffer* movie : {&indexFirst, &dataFirst}) {
    ASSERT_GT(movie->size(), 12u * kCluster);
    for (const bool pieces : {false, true}) {
      const std::string label = std::string(movie == &indexFirst ? "index first" : "media data first") +
                                (pieces ? ", in two pieces" : ", whole");
      const size_t split = pieces ? 6 * kCluster : movie->size();
      Buffer volume(movie->begin(), movie->begin() + long(split));
      for (size_t i = 0; pieces && i < 3 * kCluster; ++i) volume.push_back(uint8_t(random()));
      volume.insert(volume.end(), movie->begin() + long(split), movie->end());
      volume.resize((volume.size() + kCluster - 1) / kCluster * kCluster + 4 * kCluster);
      for (size_t i = volume.size() - 4 * kCluster; i < volume.size(); ++i) volume[i] = uint8_t(random());
      TFileCarver carver(kCluster, 1474560);
      TSpanSource from(volume);
      const TCarveResult r = carver.Examine(0, std::span<const uint8_t>(volume).first(kCluster), from);
      ASSERT_EQ(r.Verdict, TCarveVerdict::NewFile) << label;
      if (pieces) {
        EXPECT_NE(r.PoorReason.find("fragmented"), std::string::npos) << label << ": " << r.PoorReason;
      } else {
        EXPECT_EQ(r.PoorReason, "") << label;
        EXPECT_EQ(r.Size, movie->size()) << label;
      }
    }
  }
}

TEST(FileEnd, Crc32CheckValue) {
  const std::string_view text = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(Crc32({p, text.size()}), 0xCBF43926u);
  EXPECT_EQ(Crc32({p + 4, 5}, Crc32({p, 4})), 0xCBF43926u) << "continued over two ranges";
}

}  // namespace
}  // namespace salvex::test

namespace salvex::test {
namespace {

// A photo written in two pieces around other data comes back whole when the other data is noise,
// zeros or another photo's middle, and one written in one piece is left as it is. The two pieces
// read through the carver's result give the original bytes.
TEST(FileEnd, CarverPutsAPhotoInTwoPiecesBackTogether) {
  std::ifstream in(std::filesystem::path(SALVEX_SOURCE_DIR) / "tests/filetypes/samples/card/burst.jpg", std::ios::binary);
  const Buffer photoAsWritten{std::istreambuf_iterator<char>(in), {}};
  const Buffer& photo = photoAsWritten;
  std::ifstream otherIn(std::filesystem::path(SALVEX_FIXTURES_DIR) / "assets/harbour.jpg", std::ios::binary);
  const Buffer other{std::istreambuf_iterator<char>(otherIn), {}};
  ASSERT_GT(photo.size(), 20000u);
  ASSERT_GT(other.size(), 4000u);
  constexpr uint32_t kCluster = 1024;
  // The photo with a comment segment after its start marker that puts a stuffed 0xFF of its scan
  // data last in cluster 8: cut there, the 0xFF and the first foreign byte read as a marker, which
  // the decoder reports a little before the piece ends.
  Buffer stuffedAtSplit = photo;
  {
    size_t ff = 20000;
    while (!(photo[ff] == 0xFF && photo[ff + 1] == 0)) ++ff;
    size_t segment = (9 * kCluster - 1 - ff) % kCluster;
    if (segment < 4) segment += kCluster;
    Buffer comment{0xFF, 0xFE, uint8_t((segment - 2) >> 8), uint8_t(segment - 2)};
    comment.resize(segment, 'c');
    stuffedAtSplit.insert(stuffedAtSplit.begin() + 2, comment.begin(), comment.end());
    ASSERT_EQ(stuffedAtSplit[ff + segment], 0xFF);
  }
  struct Case {
    const char* label;
    uint32_t firstClusters, gapClusters;  // 0 gap: written in one piece
    char gapFill;                         // 'r' random, 'z' zeros, 'j' another photo's middle
    bool stuffed = false;                 // the photo with a stuffed 0xFF last in its first piece
  };
  const Case cases[] = {{"one piece", 0, 0, 'r'},       {"noise between", 5, 3, 'r'}, {"zeros between", 9, 12, 'z'},
                        {"a photo between", 2, 2, 'j'}, {"split late", 28, 1, 'r'},
                        {"a stuffed 0xFF cut off at the split", 9, 6, 'r', true}};
  std::mt19937 random(3);
  for (const Case& c : cases) {
    const Buffer& photo = c.stuffed ? stuffedAtSplit : photoAsWritten;
    Buffer volume;
    const size_t split = c.gapClusters ? size_t(c.firstClusters) * kCluster : photo.size();
    volume.insert(volume.end(), photo.begin(), photo.begin() + long(split));
    for (uint32_t i = 0; i < c.gapClusters * kCluster; ++i)
      volume.push_back(c.gapFill == 'z' ? 0 : c.gapFill == 'j' ? other[1000 + i % (other.size() - 1002)] : uint8_t(random()));
    if (c.stuffed) volume[split] = 0x81;  // not a stuffing zero, a restart marker or fill
    volume.insert(volume.end(), photo.begin() + long(split), photo.end());
    volume.resize((volume.size() + kCluster - 1) / kCluster * kCluster + 4 * kCluster, 0);
    for (size_t i = volume.size() - 4 * kCluster; i < volume.size(); ++i) volume[i] = uint8_t(random());

    TFileCarver carver(kCluster, 1474560);
    TSpanSource from(volume);
    const TCarveResult r = carver.Examine(0, std::span<const uint8_t>(volume).first(kCluster), from);
    ASSERT_EQ(r.Verdict, TCarveVerdict::NewFile) << c.label;
    EXPECT_EQ(r.Size, photo.size()) << c.label;
    EXPECT_EQ(r.FirstPieceBytes, split == photo.size() ? 0 : split) << c.label;
    EXPECT_EQ(r.GapBytes, uint64_t(c.gapClusters) * kCluster) << c.label;
    EXPECT_EQ(carver.Reassembled(), c.gapClusters ? 1u : 0u) << c.label;
    TGappedSource joined(from, r.FirstPieceBytes ? r.FirstPieceBytes : r.Size, r.GapBytes);
    Buffer back(r.Size);
    back.resize(joined.ReadAt(0, back.data(), back.size()));
    EXPECT_TRUE(back == photo) << c.label;
  }
}

}  // namespace
}  // namespace salvex::test
