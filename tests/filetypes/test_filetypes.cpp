#include "filetypes/FileTypes.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace salvex {
namespace {

using namespace std::string_view_literals;
using Buffer = std::vector<uint8_t>;

// Exactly `size` bytes (so that a sanitizer sees any read past the end), `bytes` copied in at `offset`.
Buffer Make(size_t size, size_t offset, std::string_view bytes, uint8_t fill = 0) {
  Buffer b(size, fill);
  for (size_t i = 0; i < bytes.size() && offset + i < size; ++i) b[offset + i] = uint8_t(bytes[i]);
  return b;
}

void Put(Buffer& b, size_t offset, std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) b.at(offset + i) = uint8_t(bytes[i]);
}

// The recognised name, or "" when nothing matched. Also checks the contract every call keeps: the
// kind is 2 exactly for MP3, and a failed call leaves the name alone.
std::string Identify(const Buffer& b) {
  std::string name = "untouched";
  uint8_t kind = 0;
  const bool matched = IdentifyFileType(b, name, kind);
  if (!matched) {
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(kind, kStartsNewFile);
    return "";
  }
  // A frame chain continues the stream; an ID3 tag starts a file.
  const bool tag = b.size() >= 3 && b[0] == 'I' && b[1] == 'D' && b[2] == '3';
  EXPECT_EQ(kind, name == "MP3" && !tag ? kContinuesSameType : kStartsNewFile) << name;
  return name;
}

struct SignatureCase {
  const char* label;
  size_t offset;
  std::string_view bytes;
  const char* expected;  // "" for no match
};

// Each type's smallest positive sample next to a near miss, in a zero-filled 512-byte cluster.
const SignatureCase kSignatureCases[] = {
    {"jpeg jfif", 0, "\xFF\xD8\xFF\xE0"sv, "JPG"},
    {"jpeg near miss", 0, "\xFF\xD9"sv, ""},
    {"word 2", 0, "\xDB\xA5"sv, "DOC"},
    {"word 1", 0, "\xDC\xA5"sv, "DOC"},
    {"word 6 draft", 0, "\xEC\xA5"sv, "DOC"},
    {"compound document", 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv, "DOC"},
    {"compound near miss", 0, "\xD0\xCF\x11\xE1"sv, ""},
    {"biff 09 04", 0, "\x09\x04"sv, "XLS"},
    {"biff 09 02", 0, "\x09\x02"sv, "XLS"},
    {"biff 09 00", 0, "\x09\x00"sv, "XLS"},
    {"biff 09 08", 0, "\x09\x08"sv, "XLS"},
    {"biff near miss", 0, "\x09\x01"sv, ""},
    {"bitmap", 0, "BM", "BMP"},
    {"bitmap lower case", 0, "bm", ""},
    {"gif 89a", 0, "GIF89a", "GIF"},
    {"gif 87a", 0, "GIF87a", "GIF"},
    {"gif 88a", 0, "GIF88a", ""},
    {"gif 89b", 0, "GIF89b", ""},
    {"tiff intel", 0, "II*\0"sv, "TIF"},
    {"tiff motorola", 0, "MM\0*"sv, "TIF"},
    {"tiff near miss", 0, "IM", ""},
    {"png", 0, "\x89PNG\r\n\x1A\n"sv, "PNG"},
    {"png near miss", 0, "\x89PNG\r\n\x1A\x0B"sv, ""},
    {"riff wave", 0, "RIFF\x24\x08\0\0WAVE"sv, "WAV"},
    {"riff corel", 0, "RIFF\0\0\0\0CDRA"sv, "CDR"},
    {"riff avi", 0, "RIFF\0\0\0\0AVI "sv, "AVI"},
    {"riff avi without blank", 0, "RIFF\0\0\0\0AVIX"sv, "RIFF"},
    {"riff midi", 0, "RIFF\0\0\0\0MIDI"sv, "RIFF"},
    {"riff near miss", 0, "RIFX\0\0\0\0WAVE"sv, ""},
    {"dos executable", 0, "MZ", "EXE"},
    {"dos executable near miss", 0, "ZM", ""},
    {"dbase 03", 0, "\x03"sv, "DBF"},
    {"dbase 83", 0, "\x83"sv, "DBF"},
    {"dbase F5", 0, "\xF5"sv, "DBF"},
    {"dbase 8B", 0, "\x8B"sv, "DBF"},
    {"dbase 8E", 0, "\x8E"sv, "DBF"},
    {"dbase unknown version", 0, "\x04"sv, ""},
    {"winhelp", 0, "\x3F\x5F\x03\x00"sv, "HLP"},
    {"winhelp near miss", 0, "\x3F\x5F\x03\x01"sv, ""},
    {"posix tar", 257, "ustar\0"sv, "TAR"},
    {"gnu tar magic", 257, "ustar  \0"sv, ""},
    {"lharc lh5", 2, "-lh5-", "LZH"},
    {"lharc lz5", 2, "-lz5-", "LZH"},
    {"lharc near miss", 2, "-lx5-", ""},
    {"zip local header", 0, "PK\x03\x04"sv, "ZIP"},
    {"zip end record", 0, "PK\x05\x06"sv, ""},
    {"arj", 0, "\x60\xEA"sv, "ARJ"},
    {"arj near miss", 0, "\x60\xEB"sv, ""},
    {"rar 1.5", 0, "Rar!\x1A\x07\x00"sv, "RAR"},
    {"rar 5", 0, "Rar!\x1A\x07\x01\x00"sv, ""},
    {"pdf 1.0", 0, "%PDF-1.0", "PDF"},
    {"pdf 1.5", 0, "%PDF-1.5", "PDF"},
    {"pdf 1.7", 0, "%PDF-1.7", "PDF"},
    {"pdf 2.0", 0, "%PDF-2.0", "PDF"},
    {"pdf 3.0", 0, "%PDF-3.0", ""},
    {"pdf 1.x", 0, "%PDF-1.x", ""},
    {"mp4", 0, "\0\0\0\x18" "ftypisom"sv, "MP4"},
    {"mov ftyp", 0, "\0\0\0\x14" "ftypqt  "sv, "MOV"},
    {"ftyp one late", 1, "ftypisom", ""},
    {"7z", 0, "7z\xBC\xAF\x27\x1C"sv, "7Z"},
    {"7z near miss", 0, "7z\xBC\xAF\x27\x1D"sv, ""},
    {"sqlite", 0, "SQLite format 3\0"sv, "SQLITE"},
    {"sqlite without nul", 0, "SQLite format 3 ", ""},
    {"id3v2.4 tag", 0, "ID3\x04\0\0\0\0\x10\x7F"sv, "MP3"},
    {"id3 size not synchsafe", 0, "ID3\x04\0\0\0\0\x10\x80"sv, ""},
    {"id3 version 5", 0, "ID3\x05\0\0\0\0\x10\x7F"sv, ""},
    {"midi", 0, "MThd\0\0\0\x06"sv, "MID"},
    {"midi track", 0, "MTrk", ""},
    {"quicktime", 0, "\0\0\0\x6Cmoov"sv, "MOV"},
    {"quicktime media data", 0, "\0\0\0\x6Cmdat"sv, ""},
    {"zeros", 0, "", ""},
};

TEST(FileTypesSignatures, EachTypeAndItsNearMiss) {
  for (const SignatureCase& c : kSignatureCases)
    EXPECT_EQ(Identify(Make(512, c.offset, c.bytes)), c.expected) << c.label;
}

TEST(FileTypesSignatures, DbfNeedsItsFourZeroBytes) {
  for (const size_t offset : {12, 13, 30, 31}) {
    Buffer b = Make(512, 0, "\x03"sv);
    b[offset] = 0x20;
    EXPECT_EQ(Identify(b), "") << offset;
  }
}

// A buffer too short for a test fails only that test; it fits once it holds the last byte read.
TEST(FileTypesSignatures, ShortBuffersAtTheExactLengthBoundary) {
  struct ShortCase {
    const char* label;
    Buffer bytes;  // just long enough to match
    const char* expected;
  };
  const ShortCase cases[] = {
      {"bitmap", Make(2, 0, "BM"), "BMP"},
      {"gif", Make(6, 0, "GIF89a"), "GIF"},
      {"png", Make(8, 0, "\x89PNG\r\n\x1A\n"sv), "PNG"},
      {"compound", Make(4, 0, "\xD0\xCF\x11\xE0"sv), "DOC"},
      {"xls", Make(2, 0, "\x09\x00"sv), "XLS"},
      {"dbase", Make(32, 0, "\x03"sv), "DBF"},
      {"tar", Make(263, 257, "ustar\0"sv), "TAR"},
      {"lharc", Make(5, 2, "-lh"), "LZH"},
      {"rar", Make(7, 0, "Rar!\x1A\x07\x00"sv), "RAR"},
      {"pdf", Make(8, 0, "%PDF-1.4"), "PDF"},
      {"quicktime", Make(8, 4, "moov"), "MOV"},
  };
  for (const ShortCase& c : cases) {
    Buffer b = c.bytes;
    EXPECT_EQ(Identify(b), c.expected) << c.label;
    b.pop_back();
    EXPECT_EQ(Identify(b), "") << c.label << " one byte short";
  }
  // The RIFF container is known before its form type is: too short for a form type is still RIFF.
  EXPECT_EQ(Identify(Make(11, 0, "RIFF\0\0\0\0CDR"sv)), "CDR");
  EXPECT_EQ(Identify(Make(10, 0, "RIFF\0\0\0\0CD"sv)), "RIFF");
  EXPECT_EQ(Identify(Make(11, 0, "RIFF\0\0\0\0WAV"sv)), "RIFF");
  // Too short for the TAR test, yet a ZIP further down the list.
  EXPECT_EQ(Identify(Make(100, 0, "PK\x03\x04"sv)), "ZIP");
}

TEST(FileTypesSignatures, EarlierTestsWin) {
  // A compound document's first byte is never read as an Excel record.
  EXPECT_EQ(Identify(Make(512, 0, "\xD0\xCF\x11\xE0\x09\x08"sv)), "DOC");
  Buffer exe = Make(512, 0, "MZ");
  Put(exe, 6, "<HTML>");
  EXPECT_EQ(Identify(exe), "EXE");
  // "MThd" followed by "moov" matches MID and MOV; MID comes first.
  EXPECT_EQ(Identify(Make(512, 0, "MThdmoov")), "MID");
  Buffer tiffTar = Make(512, 0, "II*\0"sv);
  Put(tiffTar, 257, "ustar\0"sv);
  EXPECT_EQ(Identify(tiffTar), "TIF");
  Buffer jpegHtml = Make(512, 0, "\xFF\xD8"sv);
  Put(jpegHtml, 100, "<HTML>");
  EXPECT_EQ(Identify(jpegHtml), "JPG");
  // DXF before RTF, both before MP3.
  EXPECT_EQ(Identify(Make(512, 0, "  0\r\nSECTION\r\n  2\r\nHEADER\r\n{\\rtf1")), "DXF");
}

TEST(FileTypesSignatures, EmptyAndTinyBuffers) {
  EXPECT_EQ(Identify(Buffer{}), "");
  for (int value = 0; value < 256; ++value)
    EXPECT_EQ(Identify(Buffer{uint8_t(value)}), "") << value;
  EXPECT_EQ(Identify(Make(2, 0, "\xFF\xD8"sv)), "JPG");
  EXPECT_EQ(Identify(Make(4, 0, "\xFF\xFB\x90\x00"sv)), "");
  EXPECT_EQ(Identify(Make(5, 0, "\xFF\xFB\x90\x00"sv)), "");
}

TEST(FileTypesHtml, FoundAtEveryOffsetButZero) {
  constexpr size_t kSize = 64;
  EXPECT_EQ(Identify(Make(kSize, 0, "<HTML>", 'x')), "");
  for (size_t start = 1; start + 6 <= kSize; ++start)
    EXPECT_EQ(Identify(Make(kSize, start, "<HTML>", 'x')), "HTML") << start;
}

TEST(FileTypesHtml, BufferEdgesAndNearMisses) {
  EXPECT_EQ(Identify(Make(12, 6, "<HTML>", 'x')), "HTML");   // ends on the last byte
  EXPECT_EQ(Identify(Make(11, 6, "<HTML>", 'x')), "");       // cut one byte short
  EXPECT_EQ(Identify(Make(4096, 4090, "<HTML>", 'x')), "HTML");
  EXPECT_EQ(Identify(Make(4096, 4091, "<HTML>", 'x')), "");
  EXPECT_EQ(Identify(Make(512, 40, "<html>", 'x')), "");
  EXPECT_EQ(Identify(Make(512, 40, "<HTML ", 'x')), "");
  EXPECT_EQ(Identify(Make(512, 40, "<HEAD><HTM>", 'x')), "");
  // A wrong proposal (">" of another tag) does not hide a real occurrence later on.
  Buffer b = Make(512, 0, "", 'x');
  Put(b, 6, "<BODY>");
  Put(b, 300, "<HTML>");
  EXPECT_EQ(Identify(b), "HTML");
}

TEST(FileTypesLineScan, DxfHeaderNeedsCrLf) {
  EXPECT_EQ(Identify(Make(512, 0, "  0\r\nSECTION\r\n  2\r\nHEADER\r\n  9\r\n$ACADVER")), "DXF");
  EXPECT_EQ(Identify(Make(512, 0, "  0\nSECTION\n  2\nHEADER\n")), "");
  EXPECT_EQ(Identify(Make(512, 0, "  0\r\nSECTION\r\n  2\r\nCLASSES\r\n")), "");
  EXPECT_EQ(Identify(Make(512, 0, "  0\r\nSECTION\r\n  3\r\nHEADER\r\n")), "");
  EXPECT_EQ(Identify(Make(512, 0, "  0\r\nsection\r\n  2\r\nHEADER\r\n")), "");
  // Only what is in the buffer: the last line may end with the buffer.
  EXPECT_EQ(Identify(Make(25, 0, "  0\r\nSECTION\r\n  2\r\nHEADER")), "DXF");
}

TEST(FileTypesLineScan, OnlyTheFirst32BytesAreRead) {
  // A first line without "0" is passed over; "HEADER" then ends at byte 30.
  EXPECT_EQ(Identify(Make(512, 0, "999\r\n  0\r\nSECTION\r\n  2\r\nHEADER\r\n")), "DXF");
  // Three bytes later "HEADER" runs past byte 31.
  EXPECT_EQ(Identify(Make(512, 0, "999999\r\n  0\r\nSECTION\r\n  2\r\nHEADER\r\n")), "");
  EXPECT_EQ(Identify(Make(512, 27, "{\\rtf1", 'a')), "RTF");
  EXPECT_EQ(Identify(Make(512, 28, "{\\rtf1", 'a')), "");
}

TEST(FileTypesLineScan, Rtf) {
  EXPECT_EQ(Identify(Make(512, 0, "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1031{\\fonttbl")), "RTF");
  EXPECT_EQ(Identify(Make(5, 0, "{\\rtf")), "RTF");
  EXPECT_EQ(Identify(Make(512, 0, "x\r\n{\\rtf1")), "RTF");
  EXPECT_EQ(Identify(Make(512, 0, "{\\RTF1")), "");
  EXPECT_EQ(Identify(Make(512, 0, "\r\n{\\rtf1")), "");  // an empty first line ends the scan
  EXPECT_EQ(Identify(Make(512, 0, "{\\rtf\n")), "");      // a line loses the character before an LF
}

// --- MPEG audio frame chains -------------------------------------------------------------------

// 128 kbit/s, 44100 Hz, MPEG-1 Layer III, stereo, no CRC: 417 bytes a frame.
constexpr std::array<uint8_t, 4> kMpeg1Layer3 = {0xFF, 0xFB, 0x90, 0x00};
constexpr size_t kMpeg1Layer3Size = 417;

// `frames` frames of `frameSize` bytes from `start`, zero payload (so no false sync words).
Buffer FrameChain(size_t size, size_t start, std::array<uint8_t, 4> header, size_t frameSize,
                  size_t frames) {
  Buffer b(size, 0);
  for (size_t i = 0; i < frames; ++i) {
    const size_t at = start + i * frameSize;
    for (size_t k = 0; k < header.size() && at + k < size; ++k) b[at + k] = header[k];
  }
  return b;
}

TEST(FileTypesMp3, ChainWithTheLastFrameCutByTheClusterEnd) {
  // Nine whole frames, the tenth continues in the next cluster: the frames so far stand.
  EXPECT_EQ(Identify(FrameChain(4096, 0, kMpeg1Layer3, kMpeg1Layer3Size, 10)), "MP3");
  // A cluster from inside a stream starts in the middle of a frame.
  EXPECT_EQ(Identify(FrameChain(4096, 150, kMpeg1Layer3, kMpeg1Layer3Size, 10)), "MP3");
  // The last whole frame may end on the last byte.
  EXPECT_EQ(Identify(FrameChain(8 * kMpeg1Layer3Size, 0, kMpeg1Layer3, kMpeg1Layer3Size, 8)), "MP3");
}

TEST(FileTypesMp3, NeedsOneFramePer512Bytes) {
  EXPECT_EQ(Identify(FrameChain(4096, 0, kMpeg1Layer3, kMpeg1Layer3Size, 8)), "MP3");
  EXPECT_EQ(Identify(FrameChain(4096, 0, kMpeg1Layer3, kMpeg1Layer3Size, 7)), "");
  // 320 kbit/s frames (1044 bytes) are too long to reach that count.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xFB, 0xE0, 0x00}, 1044, 4)), "");
  // A short buffer still needs one whole frame.
  EXPECT_EQ(Identify(FrameChain(400, 0, kMpeg1Layer3, kMpeg1Layer3Size, 1)), "");
  EXPECT_EQ(Identify(FrameChain(417, 0, kMpeg1Layer3, kMpeg1Layer3Size, 1)), "MP3");
}

TEST(FileTypesMp3, OnlyTheLastUnbrokenRunCounts) {
  Buffer b = FrameChain(4096, 0, kMpeg1Layer3, kMpeg1Layer3Size, 10);
  const std::array<std::array<uint8_t, 3>, 6> invalid = {{
      {0xEB, 0x90, 0x00},  // reserved version
      {0xF9, 0x90, 0x00},  // reserved layer
      {0xFB, 0x00, 0x00},  // free bitrate
      {0xFB, 0xF0, 0x00},  // bad bitrate
      {0xFB, 0x9C, 0x00},  // reserved sample rate
      {0xFB, 0x90, 0x02},  // reserved emphasis
  }};
  for (const auto& bad : invalid) {
    // Frames 0-4, a bad header, then only frames 6-8 whole: too few after the break.
    Buffer broken = b;
    std::copy(bad.begin(), bad.end(), broken.begin() + 5 * kMpeg1Layer3Size + 1);
    EXPECT_EQ(Identify(broken), "") << int(bad[0]) << ' ' << int(bad[1]) << ' ' << int(bad[2]);
    // The same bad header in the bytes before the first frame does not matter.
    Buffer leading = FrameChain(4096, 100, kMpeg1Layer3, kMpeg1Layer3Size, 10);
    leading[40] = 0xFF;
    std::copy(bad.begin(), bad.end(), leading.begin() + 41);
    EXPECT_EQ(Identify(leading), "MP3") << int(bad[0]) << ' ' << int(bad[1]) << ' ' << int(bad[2]);
  }
  // Frames below 32 bytes (MPEG-2 Layer III, 8 kbit/s, 24000 Hz: 24 bytes) are not audio.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xF3, 0x14, 0x00}, 24, 170)), "");
  // Bytes between frames are skipped.
  EXPECT_EQ(Identify(FrameChain(4096, 0, kMpeg1Layer3, kMpeg1Layer3Size + 3, 9)), "MP3");
}

TEST(FileTypesMp3, Mpeg2AndLayerOneFrameSizes) {
  // MPEG-2 Layer III, 64 kbit/s, 22050 Hz: 576 samples a frame, 208 bytes.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xF3, 0x80, 0x00}, 208, 20)), "MP3");
  // MPEG-2.5 Layer III, 32 kbit/s, 11025 Hz: 208 bytes.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xE3, 0x40, 0x00}, 208, 20)), "MP3");
  // MPEG-1 Layer I, 384 kbit/s, 48000 Hz: (96 + 0) * 4 = 384 bytes; with padding 388.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xFF, 0xC4, 0x00}, 384, 11)), "MP3");
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xFF, 0xC6, 0x00}, 388, 11)), "MP3");
  // MPEG-1 Layer II, 160 kbit/s, 48000 Hz: 480 bytes.
  EXPECT_EQ(Identify(FrameChain(4096, 0, {0xFF, 0xFD, 0x94, 0x00}, 480, 9)), "MP3");
}

TEST(FileTypesMp3, CrcMatchesTheStandardCheckValue) {
  const std::string_view text = "123456789";
  const Buffer bytes(text.begin(), text.end());
  EXPECT_EQ(MpegAudioCrc16(bytes), 0xAEE7);  // CRC-16 0x8005, initial FFFF, not reflected
  const std::span<const uint8_t> all(bytes);
  EXPECT_EQ(MpegAudioCrc16(all.subspan(4), MpegAudioCrc16(all.first(4))), 0xAEE7);
}

// MPEG-1 Layer III stereo frames with a check word: CRC over header bytes 2-3 and the 32 bytes of
// side information after the word. `delta` is added to the correct CRC before storing it.
Buffer ProtectedChain(int delta, bool zeroWord = false) {
  Buffer b = FrameChain(4096, 0, {0xFF, 0xFA, 0x90, 0x00}, kMpeg1Layer3Size, 10);
  for (size_t at = 0; at + kMpeg1Layer3Size <= b.size(); at += kMpeg1Layer3Size) {
    for (size_t k = 0; k < 32; ++k) b[at + 6 + k] = uint8_t(0x11 * (k + 1) + at);
    const std::span<const uint8_t> frame(b.data() + at, kMpeg1Layer3Size);
    const uint16_t crc = MpegAudioCrc16(frame.subspan(6, 32), MpegAudioCrc16(frame.subspan(2, 2)));
    const uint16_t stored = zeroWord ? 0 : uint16_t(crc + delta);
    b[at + 4] = uint8_t(stored >> 8);
    b[at + 5] = uint8_t(stored);
  }
  return b;
}

TEST(FileTypesMp3, ProtectedFrames) {
  EXPECT_EQ(Identify(ProtectedChain(0)), "MP3");
  EXPECT_EQ(Identify(ProtectedChain(8)), "MP3");
  EXPECT_EQ(Identify(ProtectedChain(-8)), "MP3");
  EXPECT_EQ(Identify(ProtectedChain(9)), "");
  EXPECT_EQ(Identify(ProtectedChain(-9)), "");
  EXPECT_EQ(Identify(ProtectedChain(0x100)), "");
  EXPECT_EQ(Identify(ProtectedChain(0, true)), "MP3");
  // Side information changed after the CRC was taken.
  Buffer changed = ProtectedChain(0);
  changed[3 * kMpeg1Layer3Size + 20] ^= 0x40;
  EXPECT_EQ(Identify(changed), "");
  // Without the protection request the same bytes are plain side information.
  Buffer unprotected = ProtectedChain(0x100);
  for (size_t at = 0; at < unprotected.size(); at += kMpeg1Layer3Size) unprotected[at + 1] = 0xFB;
  EXPECT_EQ(Identify(unprotected), "MP3");
}

// --- real files ---------------------------------------------------------------------------------

Buffer ReadSample(const std::string& name) {
  const auto path =
      std::filesystem::path(SALVEX_FIXTURES_DIR).parent_path() / "filetypes" / "samples" / name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return Buffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileTypesSamples, FilesMadeByRealTools) {
  const std::pair<const char*, const char*> samples[] = {
      {"sample-jpg.bin", "JPG"}, {"sample-png.bin", "PNG"}, {"sample-gif.bin", "GIF"},
      {"sample-bmp.bin", "BMP"}, {"sample-tif.bin", "TIF"}, {"sample-wav.bin", "WAV"},
      {"sample-zip.bin", "ZIP"}, {"sample-tar.bin", "TAR"}, {"sample-pdf.bin", "PDF"},
      // Clusters from inside lame-encoded streams: CRC-protected MPEG-1 and 22050 Hz MPEG-2.
      {"sample-mp3-mpeg1-crc-cluster2.bin", "MP3"}, {"sample-mp3-mpeg2-cluster2.bin", "MP3"},
  };
  for (const auto& [file, type] : samples) {
    const Buffer b = ReadSample(file);
    ASSERT_FALSE(b.empty()) << file;
    EXPECT_EQ(Identify(b), type) << file;
  }
  // A flipped bit in the side information of the fifth whole frame fails its real CRC, and the four
  // whole frames after it are too few.
  Buffer damaged = ReadSample("sample-mp3-mpeg1-crc-cluster2.bin");
  ASSERT_EQ(damaged.size(), 4096u);
  const std::string_view text(reinterpret_cast<const char*>(damaged.data()), damaged.size());
  size_t header = text.find("\xFF\xFA"sv);
  for (int frame = 0; frame < 4 && header != std::string_view::npos; ++frame)
    header = text.find("\xFF\xFA"sv, header + 1);
  ASSERT_LT(header, 2500u);
  damaged[header + 10] ^= 0x01;
  EXPECT_EQ(Identify(damaged), "");
}

TEST(FileTypesRobustness, RandomBuffersOfAnySize) {
  std::mt19937 random(42);
  for (size_t size = 0; size <= 700; ++size) {
    Buffer b(size);
    for (auto& byte : b) byte = uint8_t(random());
    Identify(b);
  }
  // Sync-rich data exercises header decoding across the buffer end.
  for (const size_t size : {5u, 6u, 31u, 32u, 33u, 511u, 512u, 4095u, 4096u, 65536u}) {
    Buffer b(size);
    for (auto& byte : b) byte = uint8_t(random() | 0xE0);
    Identify(b);
  }
}

TEST(FileTypesMft, FileRecordSignature) {
  EXPECT_TRUE(IsMFTRecord(Make(1024, 0, "FILE0\0\3\0"sv)));
  EXPECT_TRUE(IsMFTRecord(Make(4, 0, "FILE")));
  EXPECT_FALSE(IsMFTRecord(Make(3, 0, "FIL")));
  EXPECT_FALSE(IsMFTRecord(Buffer{}));
  EXPECT_FALSE(IsMFTRecord(Make(1024, 0, "BAAD")));
  EXPECT_FALSE(IsMFTRecord(Make(1024, 0, "file")));
  EXPECT_FALSE(IsMFTRecord(Make(1024, 1, "FILE")));
}

}  // namespace
}  // namespace salvex
