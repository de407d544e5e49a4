#include <gtest/gtest.h>

#include "common/CodePage.h"
#include "common/Options.h"
#include "common/Unicode.h"

namespace salvex {
namespace {

TEST(Unicode, Utf16NamesKeepEveryCharacterAndMarkUnpairedSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
    bool lossy;
  };
  const Case cases[] = {
      {u"Ελληνικά.txt", "Ελληνικά.txt", false},
      {u"Кириллица", "Кириллица", false},
      {u"中文名字", "中文名字", false},
      {u"\U0001F600-\U00020000", "\xF0\x9F\x98\x80-\xF0\xA0\x80\x80", false},
      {std::u16string{u'a', char16_t(0xD800), u'b'}, "a\xEF\xBF\xBD" "b", true},
      {std::u16string{u'a', char16_t(0xDC00)}, "a\xEF\xBF\xBD", true},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD", true},
  };
  for (const auto& c : cases) {
    bool lossy = false;
    EXPECT_EQ(Utf16ToUtf8(c.in, &lossy), c.out);
    EXPECT_EQ(lossy, c.lossy) << c.out;
  }
  EXPECT_EQ(TaggedName("a\xEF\xBF\xBD.txt", "MFT 42"), "a\xEF\xBF\xBD (MFT 42).txt");
  EXPECT_EQ(TaggedName("noext", "entry 3"), "noext (entry 3)");
  EXPECT_EQ(TaggedName(".hidden", "entry 3"), ".hidden (entry 3)");
}

TEST(Unicode, ShortNamesDecodeFromTheOEMCodePage) {
  EXPECT_EQ(OemToUtf8("\x8EPFEL", "CP850"), "ÄPFEL");
  EXPECT_EQ(OemToUtf8("\x80", "CP437"), "Ç");
  EXPECT_EQ(OemToUtf8("ABC", "no-such-code-page"), "ABC");
}

TEST(Unicode, DisplayNameReplacesTheDeletedMarkByCodePoint) {
  TOptions o;
  EXPECT_EQ(DisplayName(std::string(kDeletedMarker) + "BC.TXT", o), "_BC.TXT");
  EXPECT_EQ(DisplayName("\xC3\xA5" "BC.TXT", o), "\xC3\xA5" "BC.TXT");
  EXPECT_EQ(DisplayName("Ελληνικά", o), "Ελληνικά");  // no byte of a multi-byte character is touched
  o.DeletedUseMultiByte = true;
  EXPECT_EQ(DisplayName(std::string(kDeletedMarker) + "BC.TXT", o), "__BC.TXT");
}

TEST(Unicode, NamesCompareWithoutCaseOnCodePoints) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"apple", "Banana", -1},  {"Äpfel", "äpfel", -1},      {"äpfel", "Äpfel", 1},
      {"Äpfel", "Zebra", 1},    {"Äpfel", "äpfelz", -1},     {"ΩΜΈΓΑ", "ωμέγαa", -1},
      {"Ωμέγα", "ωμέγα", -1},   {"Привет", "привет", -1},    {"ПРИВЕТ", "прибыль", 1},
      {"Ёж", "ёж", -1},         {"straße", "STRASSE", 1},    {"", "", 0},
      {"Łódź", "łódź", -1},     {"b", "Ä", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(CompareNamesNoCase(c.a, c.b), c.order) << c.a << " / " << c.b;
  // Lost items: numbers inside names compare by value, the rest as above.
  const Case natural[] = {
      {"cluster 1240", "cluster 12379", -1}, {"cluster 12441", "cluster 1240", 1}, {"cluster 9.JPG", "cluster 10.JPG", -1},
      {"cluster 007", "cluster 7", -1},      {"Cluster 5", "cluster 5", -1},       {"a2b10", "a2b9", 1},
      {"2026-05-01 12-30-05 x (cluster 9).JPG", "cluster 1.JPG", -1},             {"", "0", -1},
  };
  for (const auto& c : natural) EXPECT_EQ(CompareNamesNatural(c.a, c.b), c.order) << c.a << " / " << c.b;
  EXPECT_EQ(FoldCase(U'Ä'), U'ä');
  EXPECT_EQ(FoldCase(U'Σ'), U'σ');
  EXPECT_EQ(FoldCase(U'ς'), U'σ');
  EXPECT_EQ(FoldCase(U'Ж'), U'ж');
  EXPECT_EQ(FoldCase(U'Ё'), U'ё');
  EXPECT_EQ(FoldCase(U'×'), U'×');
}

}  // namespace
}  // namespace salvex
