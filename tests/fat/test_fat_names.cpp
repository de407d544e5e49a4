// Long names through UTF-16 without loss, short names through the OEM code page, and the order of
// names of every script (the names fixture itself is compared with fls in test_fat_oracle).
#include <gtest/gtest.h>

#include <algorithm>

#include "common/FakeHost.h"
#include "common/Options.h"
#include "common/Unicode.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FatImage.h"

namespace salvex::test {
namespace {

struct FatNames : ::testing::Test {
  FatImage img{FatGeometry{}};
  MountedFat m;
  FakeHost host;
  ScopedHost scope{host};

  std::vector<std::string> RootNames() {
    img.SetFAT(2, 0xFFF);
    m.Mount(img.bytes);
    TFATDirectory& root = *m.drive->Root();
    root.ReadChildren(false, false);
    std::vector<std::string> out;
    for (auto& c : *root.Children)
      if (auto* f = dynamic_cast<TFATFile*>(c.get())) out.push_back(f->Name);
    return out;
  }
};

TEST_F(FatNames, LongNamesKeepAstralCharactersAndTagUnpairedSurrogates) {
  img.AddLongEntry(0, std::u16string(u"\U0001F600-\U00020000.txt"), "EMOJI~1 TXT", 0x20, 0, 0);
  img.AddLongEntry(0, std::u16string{u'x', char16_t(0xD800), u'.', u't', u'x', u't'}, "X~1     TXT", 0x20, 0, 0);
  img.AddLongEntry(0, std::u16string{u'x', char16_t(0xDC01), u'.', u't', u'x', u't'}, "X~2     TXT", 0x20, 0, 0);
  img.AddLongEntry(0, std::u16string(u"Ελληνικά.txt"), "ELLHNI~1TXT", 0x20, 0, 0);
  // Two lossy names stay apart: each is tagged with the index of its short record in the folder.
  EXPECT_EQ(RootNames(), (std::vector<std::string>{"\xF0\x9F\x98\x80-\xF0\xA0\x80\x80.txt",
                                                   "x\xEF\xBF\xBD (entry 3).txt", "x\xEF\xBF\xBD (entry 5).txt",
                                                   "Ελληνικά.txt"}));
}

// Names up to the longest FAT allows (255 characters in 20 records) are listed whole, and the
// entry after each is read as usual.
TEST_F(FatNames, LongestNamesAreListedInFull) {
  std::vector<std::string> names;
  const char* shorts[] = {"A~1        ", "B~1        ", "C~1        ", "D~1        "};
  size_t k = 0;
  for (size_t length : {221u, 222u, 247u, 255u}) {
    std::string name(length - 4, char('a' + k));
    name += ".txt";
    img.AddLongEntry(0, name, shorts[k++], 0x20, 0, 0);
    names.push_back(name);
  }
  img.AddToDir(0, FatImage::Record("LAST    TXT", 0x20, 0, 0));
  names.push_back("LAST.TXT");
  EXPECT_EQ(RootNames(), names);
}

TEST_F(FatNames, ShortNamesDecodeFromTheConfiguredOEMCodePage) {
  TOptions saved = Options();
  img.AddToDir(0, FatImage::Record("\x8EPFEL   TXT", 0x20, 0, 0));
  img.AddToDir(0, FatImage::Record("\x05" "BC     TXT", 0x20, 0, 0));  // 0x05 stands for the OEM byte 0xE5
  EXPECT_EQ(RootNames(), (std::vector<std::string>{"ÄPFEL.TXT", "ÕBC.TXT"}));
  Options().ShortNameCodePage = "CP437";
  m.drive->Root()->ReadChildren(false, false);
  auto* f = dynamic_cast<TFATFile*>((*m.drive->Root()->Children)[1].get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Name, "σBC.TXT");
  Options() = saved;
}

// Only the raw first byte 0xE5 marks a deleted entry; live names that decode to "å" (CP850 0x86)
// or start with 0x05 (standing for 0xE5, "Õ" in CP850) keep their first letter when shown.
TEST_F(FatNames, DeletedMarkerIsTheRawByteNotTheDecodedLetter) {
  struct Case {
    const char* record;
    bool deleted;
    const char* shown;
  } cases[] = {
      {"\x86" "BC     TXT", false, "åBC.TXT"},
      {"\x05" "BC     TXT", false, "ÕBC.TXT"},
      {"SK\x86L    DOC", false, "SKåL.DOC"},
      {"\xE5" "BC     TXT", true, "_BC.TXT"},
  };
  for (const Case& c : cases) img.AddToDir(0, FatImage::Record(c.record, 0x20, 0, 0));
  img.SetFAT(2, 0xFFF);
  m.Mount(img.bytes);
  TFATDirectory& root = *m.drive->Root();
  root.ReadChildren(true, false);
  ASSERT_EQ(root.Children->size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto* f = dynamic_cast<TFATFile*>((*root.Children)[i].get());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(bool(f->Flags & ItemDeleted), cases[i].deleted) << cases[i].shown;
    EXPECT_EQ(DisplayName(f->Name), cases[i].shown);
  }
}

TEST_F(FatNames, FolderListSortsWithoutCaseOnCodePoints) {
  const std::u16string names[] = {u"Äpfel2.txt", u"Ωμέγα-b", u"äpfel.txt", u"Zebra.txt", u"ωμέγα-a"};
  int i = 0;
  for (const auto& n : names) img.AddLongEntry(0, n, "NAME" + std::to_string(i++) + "   TXT", 0x20, 0, 0);
  (void)RootNames();
  TFATDirectory& root = *m.drive->Root();
  std::vector<TItem*> items;
  for (auto& c : *root.Children) items.push_back(c.get());
  EXPECT_FALSE(m.drive->ListOrder().AsciiFold);
  std::stable_sort(items.begin(), items.end(), [&](TItem* a, TItem* b) {
    return CompareNamesNoCase(root.SortKey(*a, false).Name, root.SortKey(*b, false).Name) < 0;
  });
  std::vector<std::string> sorted;
  for (auto* item : items) sorted.push_back(static_cast<TFATFile*>(item)->Name);
  // Code-point order after folding: Latin before Greek, "ä" and "Ä" together.
  EXPECT_EQ(sorted, (std::vector<std::string>{"Zebra.txt", "äpfel.txt", "Äpfel2.txt", "ωμέγα-a", "Ωμέγα-b"}));
}

}  // namespace
}  // namespace salvex::test
