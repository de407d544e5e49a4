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
  const std::string marked = std::string(kDeletedMarker) + "OO";
  EXPECT_EQ(DisplayName(marked), "#OO");
  a = saved;
  EXPECT_EQ(DisplayName(marked), "_OO");
}

// A FAT short name keeps its deleted-entry marker byte 0xE5 as kDeletedMarker; "å" is a letter.
TEST(DisplayName, ReplacesALeadingMarkerOnly) {
  TOptions o;
  const std::string m(kDeletedMarker);
  EXPECT_EQ(DisplayName(m + "ILE.TXT", o), "_ILE.TXT");
  EXPECT_EQ(DisplayName("åILE.TXT", o), "åILE.TXT");
  EXPECT_EQ(DisplayName("SKåL.DOC", o), "SKåL.DOC");
  EXPECT_EQ(DisplayName("A" + m + "B", o), "A" + m + "B");
  EXPECT_EQ(DisplayName("PLAIN.TXT", o), "PLAIN.TXT");
  EXPECT_EQ(DisplayName("", o), "");
  o.DeletedUseMultiByte = true;
  EXPECT_EQ(DisplayName(m + "ILE", o), "__ILE");
  o.DeletedCharMultibyte = "~";
  EXPECT_EQ(DisplayName(m + std::string("\0A", 2), o), std::string("~\0A", 3));
}

}  // namespace
}  // namespace salvex
