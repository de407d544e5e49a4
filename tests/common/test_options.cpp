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
  EXPECT_EQ(o.ShortNameCodePage, "CP850");
  EXPECT_EQ(o.DebugLevel, 3);
}

TEST(Options, OneProcessWideObject) {
  TOptions& a = Options();
  EXPECT_EQ(&a, &Options());
  const TOptions saved = a;
  a.DeletedCharAnsi = "#";
  EXPECT_EQ(DisplayName("åOO"), "#OO");
  a = saved;
  EXPECT_EQ(DisplayName("åOO"), "_OO");
}

// Names are UTF-8; a FAT short name keeps its deleted-entry marker 0xE5 as "å" (U+00E5).
TEST(DisplayName, ReplacesTheFirstMarkerOnly) {
  TOptions o;
  EXPECT_EQ(DisplayName("åILE.TXT", o), "_ILE.TXT");
  // The marker is also the letter a-ring; it is replaced wherever it comes first.
  EXPECT_EQ(DisplayName("SKåL.DOC", o), "SK_L.DOC");
  EXPECT_EQ(DisplayName("åAåBå", o), "_AåBå");
  EXPECT_EQ(DisplayName("PLAIN.TXT", o), "PLAIN.TXT");
  EXPECT_EQ(DisplayName("", o), "");
  // Other characters, whatever bytes they share with it, stay untouched.
  EXPECT_EQ(DisplayName("ÅÕѥ", o), "ÅÕѥ");
}

TEST(DisplayName, MultibyteOptionAndEmbeddedZero) {
  TOptions o;
  o.DeletedUseMultiByte = true;
  EXPECT_EQ(DisplayName("åILE", o), "__ILE");
  o.DeletedCharMultibyte = "~";
  EXPECT_EQ(DisplayName("Aå", o), "A~");
  // The name is taken with its length, so bytes after a NUL still count.
  const std::string withNul("A\0\xC3\xA5", 4);
  EXPECT_EQ(DisplayName(withNul, o), std::string("A\0~", 3));
}

}  // namespace
}  // namespace salvex
