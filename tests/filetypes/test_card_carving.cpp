// The file types of camera, phone and office cards, carved from a quick-formatted exFAT card: each
// sample made by a real encoder (tests/filetypes/samples/make-card-samples.sh) is planted in the free
// clusters, between clusters of other data, and must come back whole under its type and name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <random>
#include <string_view>

#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CardSample {
  const char* file;
  const char* type;  // the extension it is listed with
  const char* name;  // the name before " (cluster N)", or "" for "cluster N.TYPE"
};

const CardSample kCardSamples[] = {
    {"photo.jpg", "JPG", "2026-05-01 12-30-05 Canon EOS R6"},
    {"photo.heic", "HEIC", "2026-05-04 10-20-30 Apple iPhone 15"},
    {"photo.avif", "AVIF", ""},
    {"photo.webp", "WEBP", ""},
    {"picture.tif", "TIF", ""},
    {"camera.nef", "NEF", "2026-05-02 08-00-00 NIKON Z 6"},
    {"phone.dng", "DNG", "Google Pixel 8"},
    {"canon.cr2", "CR2", "2026-05-03 09-15-00 Canon EOS 5D Mark IV"},
    {"sony.arw", "ARW", "2026-05-03 09-15-00 SONY ILCE-7M3"},
    {"pentax.pef", "PEF", "2026-05-03 09-15-00 PENTAX K-3"},
    {"olympus.orf", "ORF", "2026-05-03 09-15-00 OLYMPUS E-M10"},
    {"panasonic.rw2", "RW2", "2026-05-03 09-15-00 Panasonic DC-G9"},
    {"fuji.raf", "RAF", ""},
    {"canon.cr3", "CR3", ""},
    {"clip.mp4", "MP4", ""},
    {"clip.mov", "MOV", ""},
    {"clip.3gp", "3GP", ""},
    {"clip.avi", "AVI", ""},
    {"clip.mts", "MTS", ""},
    {"clip.mkv", "MKV", ""},
    {"clip.webm", "WEBM", ""},
    {"tone.wav", "WAV", ""},
    {"tone.flac", "FLAC", ""},
    {"tone.ogg", "OGG", ""},
    {"tone.m4a", "M4A", ""},
    {"song.mp3", "MP3", "The Salvagers - Harbour Lights"},
    {"report.pdf", "PDF", "Harbour survey 2026"},
    {"letter.docx", "DOCX", "Letter to the harbour master"},
    {"ledger.xlsx", "XLSX", "Ledger"},
    {"slides.pptx", "PPTX", "Slides"},
    {"minutes.odt", "ODT", ""},
    {"book.epub", "EPUB", ""},
    {"contacts.sqlite", "SQLITE", ""},
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct CardCarving : TempFolderTest {};

TEST_F(CardCarving, EachTypeComesBackWholeFromAFormattedCard) {
  std::ifstream in(UnpackedImage("exfat-quickformat.img.gz"), std::ios::binary);
  std::string volume(std::istreambuf_iterator<char>(in), {});
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(volume[at + i]);
    return v;
  };
  const uint32_t heap = u32(0x58), clusters = u32(0x5C);
  const uint32_t sector = 1u << uint8_t(volume[0x6C]), clusterBytes = sector << uint8_t(volume[0x6D]);
  // The clusters from 960 on were free before the format too; a cluster of noise follows each sample.
  std::mt19937 random(26);
  uint32_t next = 960;  // the numbers cross from three digits to four
  std::map<std::string, uint32_t> plantedAt;
  for (const CardSample& s : kCardSamples) {
    const std::string bytes = ReadAll(fs::path(SALVEX_SOURCE_DIR) / "tests/filetypes/samples/card" / s.file);
    ASSERT_GT(bytes.size(), 1000u) << s.file;
    const uint32_t span = uint32_t((bytes.size() + clusterBytes - 1) / clusterBytes);
    ASSERT_LE(next + span + 1, clusters + 2) << "the card is too small for the samples";
    const size_t at = size_t(heap) * sector + size_t(next - 2) * clusterBytes;
    std::copy(bytes.begin(), bytes.end(), volume.begin() + long(at));
    for (size_t i = at + bytes.size(); i < at + size_t(span + 1) * clusterBytes; ++i) volume[i] = char(random());
    plantedAt[s.file] = next;
    next += span + 1;
  }
  // A photo written in two pieces around another file: its first three clusters, a whole Ogg file,
  // then the rest of the photo.
  const fs::path samples = fs::path(SALVEX_SOURCE_DIR) / "tests/filetypes/samples/card";
  const std::string burst = ReadAll(samples / "burst.jpg"), between = ReadAll(samples / "tone.ogg");
  const uint32_t betweenClusters = uint32_t((between.size() + clusterBytes - 1) / clusterBytes);
  const uint32_t burstAt = next, burstClusters = uint32_t((burst.size() + clusterBytes - 1) / clusterBytes);
  ASSERT_LE(next + burstClusters + betweenClusters, clusters + 2);
  auto put = [&](uint32_t cluster, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), volume.begin() + long(size_t(heap) * sector + size_t(cluster - 2) * clusterBytes));
  };
  put(burstAt, std::string_view(burst).substr(0, 3 * clusterBytes));
  put(burstAt + 3, between);
  put(burstAt + 3 + betweenClusters, std::string_view(burst).substr(3 * clusterBytes));

  const fs::path image = dir / "card.img", out = dir / "out";
  std::ofstream(image, std::ios::binary).write(volume.data(), std::streamsize(volume.size()));
  auto r = Cli({"lost-data", image.string(), "--to", out.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err << r.Out;

  std::ostringstream table;
  table << "type   found exact  name\n";
  for (const CardSample& s : kCardSamples) {
    const std::string cluster = "cluster " + std::to_string(plantedAt[s.file]);
    std::string extension = s.type;
    for (char& ch : extension) ch = char(std::tolower(uint8_t(ch)));
    const std::string expectedName = (*s.name ? std::string(s.name) + " (" + cluster + ")" : cluster) + "." + extension;
    const fs::path saved = out / expectedName;
    const bool found = fs::exists(saved);
    const bool exact = found && ReadAll(saved) ==
                                    ReadAll(fs::path(SALVEX_SOURCE_DIR) / "tests/filetypes/samples/card" / s.file);
    table << std::left << std::setw(7) << s.type << std::setw(6) << (found ? "yes" : "no") << std::setw(7)
          << (exact ? "yes" : "no") << expectedName << "\n";
    EXPECT_TRUE(found) << s.file << " not listed as " << expectedName << "\n" << r.Out;
    EXPECT_TRUE(exact) << s.file << " differs from its sample";
  }
  const fs::path pieces = out / ("cluster " + std::to_string(burstAt) + ".jpg");
  const bool whole = fs::exists(pieces) && ReadAll(pieces) == burst;
  EXPECT_TRUE(whole) << "the photo in two pieces\n" << r.Out;
  EXPECT_TRUE(fs::exists(out / ("cluster " + std::to_string(burstAt + 3) + ".ogg"))) << "the file between its pieces";
  table << "JPG    " << std::setw(6) << (fs::exists(pieces) ? "yes" : "no") << std::setw(7) << (whole ? "yes" : "no")
        << pieces.filename().string() << " (two pieces)\n";
  std::cout << table.str();

  // The listing keeps lost items in cluster order: "cluster 1240" never between 12379 and 12441.
  std::vector<uint64_t> order;
  for (const std::string& line : Lines(r.Out))
    if (auto at = line.find("cluster "); at != std::string::npos && line.find('\t') > at && line.find("(cluster") == std::string::npos)
      order.push_back(std::stoull(line.substr(at + 8)));
  EXPECT_GE(order.size(), std::size(kCardSamples) / 2) << r.Out;
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << r.Out;
}

}  // namespace
}  // namespace salvex::test
