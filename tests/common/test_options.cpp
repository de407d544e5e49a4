#include <gtest/gtest.h>

#include "common/Options.h"

namespace salvex {
namespace {

TEST(Options, DefaultsOfAFirstRun) {
  const TOptions o;
  EXPECT_TRUE(o.UseINT13);
  EXPECT_TRUE(o.UseINT13EXT);
  EXPECT_TRUE(o.UseINT25);
  EXPECT_TRUE(o.EnableWinErrorMsg);
  EXPECT_TRUE(o.EnableCache);
  EXPECT_EQ(o.FileListFontName, "");
  EXPECT_EQ(o.FileListFontSize, 0);
  EXPECT_EQ(o.LostDefaultSize, 1474560u);
  EXPECT_EQ(o.DeletedCharAnsi, "_");
  EXPECT_EQ(o.DeletedCharMultibyte, "__");
  EXPECT_FALSE(o.DeletedUseMultiByte);
  EXPECT_TRUE(o.FindLostFiles);
  EXPECT_EQ(o.DebugLevel, 3);
}

TEST(Options, OneProcessWideObject) {
  TOptions& a = Options();
  EXPECT_EQ(&a, &Options());
  const TOptions saved = a;
  a.DeletedCharAnsi = "#";
  EXPECT_EQ(DisplayName("\xE5OO"), "#OO");
  a = saved;
  EXPECT_EQ(DisplayName("\xE5OO"), "_OO");
}

TEST(DisplayName, ReplacesTheFirstMarkerOnly) {
  TOptions o;
  EXPECT_EQ(DisplayName("\xE5" "ILE.TXT", o), "_ILE.TXT");
  // 0xE5 is also the letter a-ring in Windows-1252; it is replaced wherever it comes first.
  EXPECT_EQ(DisplayName("SK\xE5L.DOC", o), "SK_L.DOC");
  EXPECT_EQ(DisplayName("\xE5" "A\xE5" "B\xE5", o), "_A\xE5" "B\xE5");
  EXPECT_EQ(DisplayName("PLAIN.TXT", o), "PLAIN.TXT");
  EXPECT_EQ(DisplayName("", o), "");
  // A UTF-8 "a-ring" is C3 A5, not E5: it must stay untouched.
  EXPECT_EQ(DisplayName("\xC3\xA5", o), "\xC3\xA5");
}

TEST(DisplayName, MultibyteOptionAndEmbeddedZero) {
  TOptions o;
  o.DeletedUseMultiByte = true;
  EXPECT_EQ(DisplayName("\xE5" "ILE", o), "__ILE");
  o.DeletedCharMultibyte = "~";
  EXPECT_EQ(DisplayName("A\xE5", o), "A~");
  // The name is taken with its length, so bytes after a NUL still count.
  const std::string withNul("A\0\xE5", 3);
  EXPECT_EQ(DisplayName(withNul, o), std::string("A\0~", 3));
}

}  // namespace
}  // namespace salvex
