#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/Format.h"
#include "common/StringTable.h"

namespace salvex {
namespace {

// Every offset that windows and run-time messages look up.
std::vector<int> UsedOffsets() {
  const std::pair<int, int> ranges[] = {
      {1, 15},    {50, 119},  {140, 150}, {200, 206}, {230, 242}, {300, 325},
      {360, 368}, {400, 416}, {420, 422}, {430, 435}, {450, 451}, {460, 467},
      {480, 487}, {500, 504}, {550, 562}, {600, 611}, {660, 668}, {700, 756}};
  std::vector<int> offsets;
  for (auto [first, last] : ranges) {
    for (int o = first; o <= last; ++o) offsets.push_back(o);
  }
  return offsets;
}

// The specifiers of a text as written ("%02u", "%s"), "%%" excluded.
std::vector<std::string> Specifiers(const std::string& text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < text.size() && std::string("-0123456789.").find(text[j]) != std::string::npos) ++j;
    out.push_back(text.substr(i, j - i + 1));
    i = j;
  }
  return out;
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
    if (n == 9 || n > s.size() - i - 1) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

// LanguageBase is process-wide; tests that change it put it back.
class LanguageScope {
 public:
  explicit LanguageScope(int base) : saved_(LanguageBase) { LanguageBase = base; }
  ~LanguageScope() { LanguageBase = saved_; }

 private:
  int saved_;
};

TEST(StringTable, LanguagesInDialogOrder) {
  const std::vector<std::pair<std::string, int>> expected = {
      {"simplified", 19000}, {"Danish", 21000},  {"English", 1000}, {"Estonian", 9000},
      {"French", 5000},      {"German", 3000},   {"Italian", 7000}, {"Russian", 17000},
      {"Spanish", 13000},    {"Swedish", 11000}};
  const auto& languages = Languages();
  ASSERT_EQ(languages.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(languages[i].Name, expected[i].first) << i;
    EXPECT_EQ(languages[i].Base, expected[i].second) << i;
  }
  EXPECT_EQ(languages[2].Stem, "en");
  EXPECT_EQ(languages[5].Stem, "de");
}

TEST(StringTable, EveryLanguageHasEveryOffsetAndACredit) {
  for (const LanguageInfo& language : Languages()) {
    EXPECT_FALSE(LoadTextAt(language.Base - 1).empty()) << language.Name << " credit";
    for (int offset : UsedOffsets()) {
      const std::string text = LoadTextAt(language.Base + offset);
      EXPECT_FALSE(text.empty()) << language.Name << " offset " << offset;
      EXPECT_TRUE(IsValidUtf8(text)) << language.Name << " offset " << offset;
    }
  }
}

TEST(StringTable, TranslationsKeepTheSpecifiersOfEnglish) {
  for (const LanguageInfo& language : Languages()) {
    for (int offset : UsedOffsets()) {
      const std::string english = LoadTextAt(1000 + offset);
      const std::string text = LoadTextAt(language.Base + offset);
      EXPECT_EQ(Specifiers(text), Specifiers(english))
          << language.Name << " offset " << offset << ": \"" << text << "\"";
    }
  }
}

TEST(StringTable, AcceleratorsSurviveTranslation) {
  // A caption with one accelerator in English needs exactly one in every language, on a
  // character that can be typed (not a blank, not the end).
  for (const LanguageInfo& language : Languages()) {
    for (int offset : UsedOffsets()) {
      const std::string english = LoadTextAt(1000 + offset);
      if (std::count(english.begin(), english.end(), '&') != 1) continue;
      const std::string text = LoadTextAt(language.Base + offset);
      ASSERT_EQ(std::count(text.begin(), text.end(), '&'), 1) << language.Name << " " << offset;
      const size_t at = text.find('&');
      ASSERT_LT(at + 1, text.size()) << language.Name << " " << offset;
      EXPECT_NE(text[at + 1], ' ') << language.Name << " " << offset;
    }
  }
}

TEST(StringTable, TranslationsAreNotCopiesOfEnglish) {
  const std::vector<int> offsets = UsedOffsets();
  for (const LanguageInfo& language : Languages()) {
    if (language.Base == 1000) continue;
    size_t same = 0;
    for (int offset : offsets) {
      if (LoadTextAt(language.Base + offset) == LoadTextAt(1000 + offset)) ++same;
    }
    // Short technical words ("OK", "Cluster", "FAT:") may coincide; sentences must not.
    EXPECT_LT(same * 5, offsets.size()) << language.Name << ": " << same << " entries equal";
  }
}

TEST(StringTable, TextsThatOtherPartsUseByName) {
  LanguageScope english(1000);
  EXPECT_EQ(LoadText(739), "Root");
  EXPECT_EQ(LoadText(740), "Deleted");
  EXPECT_EQ(LoadText(741), "Lost");
  EXPECT_EQ(LoadText(742), "Searched");
  EXPECT_EQ(LoadText(755), "NONAME");
  EXPECT_EQ(LoadText(748), "floppy disk #%d");
  EXPECT_EQ(LoadText(752), "unknown disk #%d");
  EXPECT_EQ(LoadText(753), "Windows drive %s:");
  EXPECT_EQ(LoadText(754), "%s   on %s");
  EXPECT_EQ(TextF(421, {3}), "Remaining time: 3 minute(s)");
  EXPECT_EQ(TextF(744, {17, 100000}), "Physical sector 17 of 100000");
  // Escapes in the files become real line breaks.
  EXPECT_EQ(LoadText(325).find("\\n"), std::string::npos);
  EXPECT_NE(LoadText(325).find("!\n\nDo"), std::string::npos);

  LanguageScope german(3000);
  EXPECT_EQ(LoadText(739), "Wurzel");
  EXPECT_EQ(LoadText(740), "Gelöscht");
  EXPECT_EQ(LoadText(755), "KEINNAME");
  EXPECT_EQ(TextF(422, {59}), "Verbleibende Zeit: 59 Sekunde(n)");
  EXPECT_EQ(TextF(712, {"fixed disk #1", 5, 1024}),
            "Kann Quelldatei nicht lesen! (device: fixed disk #1, cluster: 5, size: 1024)");
}

TEST(StringTable, AbsentEntriesAreEmpty) {
  LanguageScope english(1000);
  EXPECT_EQ(LoadText(0), "");      // identifier 1000 lies between the credit and offset 1
  EXPECT_EQ(LoadText(16), "");     // gap after the welcome dialog
  EXPECT_EQ(LoadText(990), "");
  EXPECT_EQ(LoadText(-5000), "");
  EXPECT_EQ(LoadTextAt(0), "");
  EXPECT_EQ(LoadTextAt(65536), "");
  LanguageScope unknown(50000);
  EXPECT_EQ(LoadText(1), "");
}

TEST(ParseStringFile, DirectivesEscapesAndMalformedLines) {
  const std::string text =
      "# comment\r\n"
      "@base 2000\r\n"
      "@name  Test \r\n"
      "@credit by me\n"
      "1\tline\\none\\ttab\\\\slash\\q\r\n"
      "2\t  leading blanks kept\n"
      "x3\tnot a number\n"
      "4 no tab\n"
      "99999\ttoo large\n"
      "5\ttrailing backslash\\\n"
      "6\t\n";
  auto content = ParseStringFile(text);
  ASSERT_TRUE(content.has_value());
  EXPECT_EQ(content->Base, 2000);
  EXPECT_EQ(content->Name, "Test");
  EXPECT_EQ(content->Credit, "by me");
  EXPECT_EQ(content->Entries.at(1), "line\none\ttab\\slash\\q");
  EXPECT_EQ(content->Entries.at(2), "  leading blanks kept");
  EXPECT_EQ(content->Entries.at(5), "trailing backslash\\");
  EXPECT_EQ(content->Entries.at(6), "");
  EXPECT_EQ(content->Entries.size(), 4u);
}

TEST(ParseStringFile, NoUsableBase) {
  EXPECT_FALSE(ParseStringFile("1\tone\n").has_value());
  EXPECT_FALSE(ParseStringFile("@base\n1\tone\n").has_value());
  EXPECT_FALSE(ParseStringFile("@base 0\n").has_value());
  EXPECT_FALSE(ParseStringFile("@base -3\n").has_value());
  EXPECT_FALSE(ParseStringFile("@base 12a\n").has_value());
  EXPECT_FALSE(ParseStringFile("").has_value());
  EXPECT_TRUE(ParseStringFile("\xEF\xBB\xBF@base 7\n").has_value());
}

TEST(Format, Specifiers) {
  EXPECT_EQ(Format("%02u.%02u.%02u %02u:%02u", {3u, 7u, 1998u, 9u, 5u}), "03.07.1998 09:05");
  EXPECT_EQ(Format("%d|%D|%u|%x|%X", {-12, 34, 56u, 255, 255}), "-12|34|56|ff|FF");
  EXPECT_EQ(Format("%f MB", {48.828125}), "48.83 MB");
  EXPECT_EQ(Format("%f GB", {2.0}), "2.00 GB");
  EXPECT_EQ(Format("%.1f|%.0f|%.3f", {2.25, 2.5, 1.0}), "2.2|2|1.000");
  EXPECT_EQ(Format("100%% of %s", {"disk"}), "100% of disk");
  EXPECT_EQ(Format("[%5d][%-5d][%05d]", {42, 42, -42}), "[   42][42   ][-0042]");
  EXPECT_EQ(Format("%8xh:", {0x1A2Bu}), "    1a2bh:");
  EXPECT_EQ(Format("%d", {int64_t{-9000000000}}), "-9000000000");
  EXPECT_EQ(Format("%u", {uint64_t{18000000000000000000u}}), "18000000000000000000");
}

TEST(Format, TextArguments) {
  const std::string owned = "Gelöscht";
  const std::string_view view = "Größe";
  EXPECT_EQ(Format("%s/%s/%s", {owned, view, std::string("临时")}), "Gelöscht/Größe/临时");
  // Widths count characters, so a UTF-8 name lines up like an ASCII one.
  EXPECT_EQ(Format("[%-6s][%6s]", {"Größe", "根目录"}), "[Größe ][   根目录]");
  // A precision never cuts a character in half.
  EXPECT_EQ(Format("%.2s", {"根目录"}), "根目");
  EXPECT_EQ(Format("[%s]", {static_cast<const char*>(nullptr)}), "[]");
}

TEST(Format, MissingAndMismatchedArguments) {
  EXPECT_EQ(Format("%s and %d", {}), "%s and %d");
  EXPECT_EQ(Format("Sector %d of %d", {5}), "Sector 5 of %d");
  EXPECT_EQ(Format("%02u", {}), "%02u");
  EXPECT_EQ(Format("ends with %", {1}), "ends with %");
  EXPECT_EQ(Format("%q %d", {7}), "%q 7");
  EXPECT_EQ(Format("%d", {"text"}), "text");
  EXPECT_EQ(Format("%s|%s", {12, 1.5}), "12|1.50");
  EXPECT_EQ(Format("%d|%f", {2.6, 3}), "3|3.00");
  // %u and %x show a negative value as its two's complement in the argument's own width.
  EXPECT_EQ(Format("%u|%x", {-1, int16_t{-1}}), "4294967295|ffff");
  EXPECT_EQ(Format("%d", {1, 2, 3}), "1");
  EXPECT_EQ(Format("%999999999d|", {1}).size(), 257u);  // width capped
}

TEST(Format, TextFUsesTheCurrentLanguage) {
  LanguageScope french(5000);
  EXPECT_EQ(TextF(706, {"C:\\DOCS"}), "Contenu de 'C:\\DOCS'");
  EXPECT_EQ(TextF(990, {1}), "");
}

}  // namespace
}  // namespace salvex
