#include <gtest/gtest.h>

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Helpers.h"

namespace salvex::test {
namespace {

TEST(ShortenPath, KeepsShortPathsAndCutsAfterTheFirstComponent) {
  EXPECT_EQ(ShortenPath("C:\\a\\b.txt", 30), "C:\\a\\b.txt");
  EXPECT_EQ(ShortenPath("C:\\Documents\\Letters\\2024\\march.txt", 21), "C:\\...\\2024\\march.txt");
  EXPECT_EQ(ShortenPath("C:\\Documents\\Letters\\2024\\march.txt", 20), "C:\\...\\march.txt");
  // Nothing fits: the last proposal is taken.
  EXPECT_EQ(ShortenPath("C:\\aaaa\\bbbb\\a-very-long-file-name.txt", 15), "C:\\...\\a-very-long-file-name.txt");
  EXPECT_EQ(ShortenPath("averyveryverylongname", 5), "averyveryverylongname");
  EXPECT_EQ(ShortenPath("C:\\onlyone-very-long-name", 10), "C:\\onlyone-very-long-name");
}

TEST(DosDateTimeText, DecodesTheBitFields) {
  // 24 Dec 2023 = day 24, month 12, year 43; 17:05
  uint16_t date = uint16_t((43 << 9) | (12 << 5) | 24);
  uint16_t time = uint16_t((17 << 11) | (5 << 5));
  EXPECT_EQ(DosDateTimeText(date, time), "24.12.2023 17:05");
  EXPECT_EQ(DosDateTimeText(0, 0), "00.00.1980 00:00");
}

TEST(MatchMask, WildcardsAndCase) {
  struct Case {
    const char* text;
    const char* mask;
    bool match;
  } cases[] = {
      {"", "", true},          {"a", "", false},          {"", "*", true},
      {"NOTE.TXT", "*NOTE*.TXT", true}, {"mynotes.txt", "*NOTE*.TXT", true}, {"note.doc", "*NOTE*.TXT", false},
      {"abc", "a?c", true},    {"ac", "a?c", false},      {"abc", "ab", false},
      {"abc", "*c", true},     {"abcabc", "*b*c", true},  {"abcd", "*b*c", false},
      {"Größe.dat", "*.DAT", true}, {"x", "**", true},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchMask(c.text, c.mask), c.match) << c.text << " ~ " << c.mask;
  EXPECT_TRUE(MatchMask("Ελληνικά.txt", "????????.TXT"));  // one '?' per character, not per byte
  EXPECT_TRUE(MatchMask("ÄPFEL.txt", "äpf*"));
  EXPECT_FALSE(MatchMask("abc", "ABC", '?', true));
  EXPECT_TRUE(MatchMask("abc", "abc", '?', true));
}

TEST(MatchMask, HostileMasksStayFast) {
  std::string text(255, 'a');
  std::string mask;
  for (int i = 0; i < 60; ++i) mask += "*a";
  mask += "b";
  EXPECT_FALSE(MatchMask(text, mask));  // exponential backtracking would not return
}

TEST(ByteBitmap, LeastSignificantBitFirst) {
  ByteBitmap b(20);
  b.Set(0);
  b.Set(9);
  b.Set(25);  // out of range: ignored
  EXPECT_EQ(b.Bytes()[0], 0x01);
  EXPECT_EQ(b.Bytes()[1], 0x02);
  EXPECT_TRUE(b.Get(9));
  EXPECT_FALSE(b.Get(25));
  b.Set(9, false);
  EXPECT_FALSE(b.Get(9));
}

TEST(ByteReader, OutOfRangeReadsYieldZeroAndFlag) {
  uint8_t bytes[] = {1, 2, 3, 4, 5};
  ByteReader r(bytes, sizeof bytes);
  EXPECT_EQ(r.U32(0), 0x04030201u);
  EXPECT_FALSE(r.Failed());
  EXPECT_EQ(r.U32(2), 0u);
  EXPECT_TRUE(r.Failed());
  EXPECT_FALSE(r.Has(SIZE_MAX, 2));  // no overflow in the check
  EXPECT_EQ(ByteReader(bytes, 5).SN(3, 2), int64_t(0x0504));
  uint8_t neg[] = {0xFF, 0xFE};
  EXPECT_EQ(ByteReader(neg, 2).SN(0, 2), -257);
  EXPECT_EQ(ByteReader(neg, 2).SN(1, 1), -2);
}

TEST(BootSectorTests, NtfsFatAndNeither) {
  std::vector<uint8_t> s(512, 0);
  s[0] = 0xEB;
  s[510] = 0x55;
  s[511] = 0xAA;
  PutU16(&s[11], 4096);
  EXPECT_TRUE(IsFATBootSector(s));
  EXPECT_FALSE(IsNTFSBootSector(s));
  memcpy(&s[3], "NTFS    ", 8);
  EXPECT_TRUE(IsNTFSBootSector(s));
  PutU16(&s[11], 256);
  EXPECT_FALSE(IsNTFSBootSector(s));
  EXPECT_FALSE(IsFATBootSector(s));
  EXPECT_FALSE(IsFATBootSector(std::span<const uint8_t>(s.data(), 100)));
}

}  // namespace
}  // namespace salvex::test
