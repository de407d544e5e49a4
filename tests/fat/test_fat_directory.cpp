#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/FakeHost.h"
#include "common/Options.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FatImage.h"
#include "filetypes/FileEnd.h"
#include "recovery/Wrappers.h"

namespace salvex::test {
namespace {

std::vector<std::string> Names(TFATDirectory& dir) {
  std::vector<std::string> out;
  for (auto& c : *dir.Children) {
    if (auto* f = dynamic_cast<TFATFile*>(c.get())) out.push_back(DisplayName(f->Name));
    if (auto* d = dynamic_cast<TFATDirectory*>(c.get())) out.push_back(DisplayName(d->Name) + "/");
  }
  return out;
}

struct FatDirTest : ::testing::Test {
  FatImage img{FatGeometry{}};
  MountedFat m;
  FakeHost host;
  ScopedHost scope{host};
  TOptions saved = Options();
  ~FatDirTest() override { Options() = saved; }

  TFATDirectory& Root(bool deleted) {
    if (!m.drive) {
      img.SetFAT(2, 0xFFF);  // keeps the FAT in use
      m.Mount(img.bytes);
    }
    TFATDirectory* r = deleted ? m.drive->DeletedRoot() : m.drive->Root();
    r->ReadChildren(deleted, true);
    return *r;
  }
};

TEST_F(FatDirTest, DeletedShortNameShowsTheConfiguredCharacter) {
  img.AddToDir(0, FatImage::Record("\xE5" "BC     TXT", 0x20, 0, 0));
  EXPECT_EQ(Names(Root(true)), (std::vector<std::string>{"_BC.TXT"}));
  Options().DeletedUseMultiByte = true;
  EXPECT_EQ(Names(Root(true)), (std::vector<std::string>{"__BC.TXT"}));
}

TEST_F(FatDirTest, LeadingByte05StandsForE5AndIsNotDeleted) {
  img.AddToDir(0, FatImage::Record("\x05" "BC     TXT", 0x20, 0, 0));
  TFATDirectory& root = Root(false);
  ASSERT_EQ(root.Children->size(), 1u);
  auto* f = dynamic_cast<TFATFile*>((*root.Children)[0].get());
  EXPECT_EQ(f->Name, "ÕBC.TXT");  // OEM code page 850's 0xE5
  EXPECT_EQ(f->Flags, 0);
}

TEST_F(FatDirTest, DeletedViewListsLiveFoldersAndOnlyDeletedFiles) {
  img.MakeDirCluster(5, 0);
  img.SetFAT(5, 0xFFF);
  img.AddToDir(0, FatImage::Record("LIVEDIR    ", 0x10, 5, 0));
  img.AddToDir(0, FatImage::Record("LIVE    TXT", 0x20, 6, 10));
  img.AddToDir(0, FatImage::Record("\xE5" "ONE    TXT", 0x20, 7, 10));
  img.AddToDir(0, FatImage::Record("VOLUME     ", 0x08, 0, 0));
  EXPECT_EQ(Names(Root(false)), (std::vector<std::string>{"LIVEDIR/", "LIVE.TXT"}));
  EXPECT_EQ(Names(Root(true)), (std::vector<std::string>{"LIVEDIR/", "_ONE.TXT"}));
}

TEST_F(FatDirTest, TheDeletedFolderSearchesInItsOwnViewThroughTheCommonSlot) {
  img.MakeDirCluster(5, 0);
  img.SetFAT(5, 0xFFF);
  img.AddToDir(0, FatImage::Record("LIVEDIR    ", 0x10, 5, 0));
  img.AddToDir(0, FatImage::Record("LIVE    TXT", 0x20, 6, 10));
  img.AddToDir(0, FatImage::Record("\xE5" "ONE    TXT", 0x20, 7, 10));
  img.AddToDir(5, FatImage::Record("\xE5" "TWO    TXT", 0x20, 8, 10));
  img.AddToDir(5, FatImage::Record("INNER   TXT", 0x20, 9, 10));
  Root(false);
  auto names = [](TCustomDirectory& folder) {
    std::vector<std::string> out;
    folder.Search(
        [&](TItem& i) {
          if (auto* f = dynamic_cast<TFATFile*>(&i)) out.push_back(DisplayName(f->Name));
          if (auto* d = dynamic_cast<TFATDirectory*>(&i)) out.push_back(DisplayName(d->Name) + "/");
          return true;
        },
        true);
    return out;
  };
  EXPECT_EQ(names(*m.drive->DeletedFolder), (std::vector<std::string>{"LIVEDIR/", "_TWO.TXT", "_ONE.TXT"}));
  EXPECT_EQ(names(*m.drive->RootFolder), (std::vector<std::string>{"LIVEDIR/", "INNER.TXT", "LIVE.TXT"}));
}

TEST_F(FatDirTest, DeletedFolderNeedsItsDotEntries) {
  img.MakeDirCluster(5, 0);
  img.AddToDir(0, FatImage::Record("\xE5" "KEPT      ", 0x10, 5, 0));
  img.AddToDir(0, FatImage::Record("\xE5" "GONE      ", 0x10, 6, 0));  // cluster 6 holds no "." / ".."
  EXPECT_EQ(Names(Root(true)), (std::vector<std::string>{"_KEPT/"}));
}

TEST_F(FatDirTest, ConditionComesFromTheFirstFatCopy) {
  img.SetFAT(9, 0xFFF, 0);  // in use in FAT 1 only
  img.AddToDir(0, FatImage::Record("\xE5" "FREE   TXT", 0x20, 8, 10));
  img.AddToDir(0, FatImage::Record("\xE5" "USED   TXT", 0x20, 9, 10));
  img.AddToDir(0, FatImage::Record("\xE5" "ZERO   TXT", 0x20, 0, 0));
  img.AddToDir(0, FatImage::Record("\xE5" "FAR    TXT", 0x20, 60000, 10));
  TFATDirectory& root = Root(true);
  m.drive->FATCopy = 2;  // the condition ignores the FAT chosen for reading
  root.ReadChildren(true, true);
  std::vector<int> conditions;
  for (auto& c : *root.Children) conditions.push_back(dynamic_cast<TFATFile*>(c.get())->Condition);
  // An empty file (first cluster 0) has nothing that could have been overwritten.
  EXPECT_EQ(conditions, (std::vector<int>{1, 2, 1, 2}));
  EXPECT_EQ(FATConditionText(ItemDeleted, 1), "good");
  EXPECT_EQ(FATConditionText(ItemDeleted, 2), "poor");
  EXPECT_EQ(FATConditionText(0, 0), "");
}

TEST_F(FatDirTest, LongNamesOf13And14CharactersComeOutWhole) {
  img.AddLongEntry(0, "abcdefghij.tx", "ABCDEF~1TX ", 0x20, 0, 0);
  img.AddLongEntry(0, "abcdefghij.txt", "ABCDEF~1TXT", 0x20, 0, 0);
  EXPECT_EQ(Names(Root(false)), (std::vector<std::string>{"abcdefghij.tx", "abcdefghij.txt"}));
}

TEST_F(FatDirTest, DeletedLongNameIsKept) {
  auto records = FatImage::LongName("Deleted-Report.txt", FatImage::Checksum("DELETE~1TXT"));
  for (auto& r : records) {
    r[0] = 0xE5;
    img.AddToDir(0, r);
  }
  img.AddToDir(0, FatImage::Record("\xE5" "ELETE~1TXT", 0x20, 0, 0));
  EXPECT_EQ(Names(Root(true)), (std::vector<std::string>{"Deleted-Report.txt"}));
  EXPECT_TRUE(Names(Root(false)).empty());
}

TEST_F(FatDirTest, ChecksumChangeEndsTheRun) {
  auto first = FatImage::LongName("abcdefghijklmnopqrstuvwxyz", 0x11);  // two records
  first[1][13] = 0x22;  // the second record belongs to another run
  for (auto& r : first) img.AddToDir(0, r);
  img.AddToDir(0, FatImage::Record("SHORT   TXT", 0x20, 0, 0));
  // The run ends at the foreign record, which is a long-name record and so not listed; the short
  // record after it lists under its own name.
  EXPECT_EQ(Names(Root(false)), (std::vector<std::string>{"SHORT.TXT"}));
}

TEST_F(FatDirTest, EighteenRecordNameIsAttached) {
  std::string longName(230, 'x');  // 18 records
  img.AddLongEntry(0, longName, "XXXXXX~1   ", 0x20, 0, 0);
  std::string fits(221, 'y');  // 17 records
  img.AddLongEntry(0, fits, "YYYYYY~1   ", 0x20, 0, 0);
  EXPECT_EQ(Names(Root(false)), (std::vector<std::string>{longName, fits}));
}

TEST_F(FatDirTest, LongNameBeforeTheEndMarkAddsNothing) {
  for (auto& r : FatImage::LongName("orphan-long-name", 0x33)) img.AddToDir(0, r);
  EXPECT_TRUE(Names(Root(false)).empty());
  EXPECT_TRUE(Names(Root(true)).empty());
}

// A walk enters each folder cluster once: a folder entry reaching an ancestor's cluster, or one
// another folder entry reached first, is listed once, poor and empty, so that the walk stays
// proportional to the real tree.
TEST(FatFolderLoops, EachFolderClusterIsEnteredOnce) {
  struct Case {
    const char* what;
    std::function<void(FatImage&)> build;
    size_t visited;
    std::vector<std::string> loops;  // names of the folders listed as loops
  } cases[] = {
      {"back to an ancestor",
       [](FatImage& img) {  // A / B / C / A', where A' points back to B's cluster
         img.MakeDirCluster(5, 0);
         img.MakeDirCluster(6, 5);
         img.MakeDirCluster(7, 6);
         for (uint32_t c : {5u, 6u, 7u}) img.Chain({c});
         img.AddToDir(0, FatImage::Record("A          ", 0x10, 5, 0));
         img.AddToDir(5, FatImage::Record("B          ", 0x10, 6, 0));
         img.AddToDir(6, FatImage::Record("C          ", 0x10, 7, 0));
         img.AddToDir(7, FatImage::Record("A          ", 0x10, 6, 0));
         img.AddToDir(7, FatImage::Record("FILE    TXT", 0x20, 0, 0));
       },
       5, {"A"}},
      {"two folders share a cluster",
       [](FatImage& img) {
         img.MakeDirCluster(5, 0);
         img.Chain({5});
         img.AddToDir(0, FatImage::Record("D1         ", 0x10, 5, 0));
         img.AddToDir(0, FatImage::Record("D2         ", 0x10, 5, 0));
         img.AddToDir(5, FatImage::Record("FILE    TXT", 0x20, 0, 0));
       },
       3, {"D2"}},
      {"pairs of cross-linked folders, 12 levels deep (4096 paths before)",
       [](FatImage& img) {
         img.AddToDir(0, FatImage::Record("L0         ", 0x10, 5, 0));
         for (uint32_t k = 0; k <= 12; ++k) {
           img.MakeDirCluster(5 + k, k == 0 ? 0 : 4 + k);
           img.Chain({5 + k});
         }
         for (uint32_t k = 0; k < 12; ++k) {
           img.AddToDir(5 + k, FatImage::Record("X          ", 0x10, 6 + k, 0));
           img.AddToDir(5 + k, FatImage::Record("Y          ", 0x10, 6 + k, 0));
         }
         img.AddToDir(17, FatImage::Record("FILE    TXT", 0x20, 0, 0));
       },
       26, std::vector<std::string>(12, "Y")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FatImage img{FatGeometry{}};
    img.SetFAT(2, 0xFFF);
    c.build(img);
    for (bool deleted : {false, true}) {
      MountedFat m;
      m.Mount(img.bytes);
      TFATDirectory& root = deleted ? *m.drive->DeletedRoot() : *m.drive->Root();
      size_t visited = 0;
      std::vector<std::string> loops;
      EXPECT_TRUE(root.Search(
          [&](TItem& item) {
            if (auto* d = dynamic_cast<TFATDirectory*>(&item); d && d->Loop) {
              loops.push_back(d->Name);
              EXPECT_EQ(d->Condition, 2);
              EXPECT_NE(d->Meta().Warning.find("another folder's"), std::string::npos);
            }
            return ++visited < 100000;
          },
          deleted, true, false));
      EXPECT_EQ(visited, c.visited);
      EXPECT_EQ(loops, c.loops);
    }
  }
}

TEST_F(FatDirTest, LoopingDirectoryChainEndsWhereItComesBack) {
  img.MakeDirCluster(5, 0);
  img.SetFAT(5, 5);  // the folder's chain points at itself
  img.AddToDir(0, FatImage::Record("LOOP       ", 0x10, 5, 0));
  for (int i = 0; i < 14; ++i)  // a full cluster: no end mark stops the reader
    img.AddToDir(5, FatImage::Record("F" + std::string(1, char('A' + i)) + "      TXT", 0x20, 0, 0));
  TFATDirectory& root = Root(false);
  auto* loop = dynamic_cast<TFATDirectory*>((*root.Children)[0].get());
  loop->ReadChildren(false, false);
  EXPECT_EQ(loop->Children->size(), 14u);
}

// A cluster reached by two live chains (or twice by one) makes every such file poor, with a
// warning naming the cluster; a chain of its own stays unmarked.
TEST_F(FatDirTest, CrossLinkedAndLoopingChainsMarkTheirFilesPoor) {
  img.Chain({10, 11, 12});
  img.Chain({20, 11});  // joins A's chain
  img.Chain({30});
  img.SetFAT(40, 41);
  img.SetFAT(41, 40);  // back to its start
  img.Chain({50, 51});
  img.AddToDir(0, FatImage::Record("A       TXT", 0x20, 10, 3000));
  img.AddToDir(0, FatImage::Record("B       TXT", 0x20, 20, 2000));
  img.AddToDir(0, FatImage::Record("C       TXT", 0x20, 30, 500));
  img.AddToDir(0, FatImage::Record("D       TXT", 0x20, 40, 4000));
  img.AddToDir(0, FatImage::Record("E       TXT", 0x20, 50, 1000));
  img.AddToDir(0, FatImage::Record("F       TXT", 0x20, 51, 10));  // starts inside E's chain
  img.MakeDirCluster(60, 0);
  img.Chain({60});
  img.AddToDir(0, FatImage::Record("SUB        ", 0x10, 60, 0));
  img.Chain({70, 60});  // runs into the folder's first cluster
  img.AddToDir(0, FatImage::Record("G       TXT", 0x20, 70, 1000));
  TFATDirectory& root = Root(false);
  struct Want {
    const char* name;
    uint32_t shared;
  } want[] = {{"A.TXT", 11}, {"B.TXT", 11}, {"C.TXT", 0}, {"D.TXT", 40}, {"E.TXT", 51}, {"F.TXT", 51}, {"G.TXT", 60}};
  std::vector<TFATFile*> files;
  for (auto& child : *root.Children)
    if (auto* f = dynamic_cast<TFATFile*>(child.get())) files.push_back(f);
  ASSERT_EQ(files.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    auto* f = files[i];
    ASSERT_NE(f, nullptr);
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(f->Name, want[i].name);
    EXPECT_EQ(f->SharedCluster, want[i].shared);
    EXPECT_EQ(f->Condition, want[i].shared ? 2 : 0);
    EXPECT_EQ(f->Meta().Warning.empty(), want[i].shared == 0);
  }
}

// A deleted file is read as The Sleuth Kit reads it: its first cluster, then the free clusters
// after it, stepping over clusters of live files; a span that crossed some is poor and says so.
TEST_F(FatDirTest, DeletedFileSkipsClustersOfLiveFilesAndIsPoorWhenItCrossesThem) {
  for (uint32_t c = 10; c < 30; ++c) std::memset(img.Cluster(c), int(c), img.ClusterBytes());
  img.Chain({11});      // a live file inside the first deleted file's span
  img.Chain({13, 14});  // and a two-cluster one
  img.AddToDir(0, FatImage::Record("LIVE1   BIN", 0x20, 11, 512));
  img.AddToDir(0, FatImage::Record("LIVE2   BIN", 0x20, 13, 1024));
  img.AddToDir(0, FatImage::Record("\xE5" "ROSS   BIN", 0x20, 10, 4 * 512 - 100));
  img.AddToDir(0, FatImage::Record("\xE5" "LEAR   BIN", 0x20, 20, 3 * 512));
  TFATDirectory& root = Root(true);
  ASSERT_EQ(root.Children->size(), 2u);
  struct Want {
    uint64_t crossed;
    uint8_t condition;
    std::vector<uint8_t> clusters;  // the clusters read, by their fill byte
  } want[] = {{3, 2, {10, 12, 15, 16}}, {0, 1, {20, 21, 22}}};
  for (size_t i = 0; i < 2; ++i) {
    auto* f = dynamic_cast<TFATFile*>((*root.Children)[i].get());
    ASSERT_NE(f, nullptr);
    SCOPED_TRACE(f->Name);
    EXPECT_EQ(f->CrossedClusters, want[i].crossed);
    EXPECT_EQ(f->Condition, want[i].condition);
    EXPECT_EQ(f->Meta().Warning.empty(), want[i].crossed == 0);
    auto data = f->OpenData({});
    std::vector<uint8_t> bytes(f->Size);
    ASSERT_EQ(data->Read(bytes.data(), bytes.size()), bytes.size());
    for (size_t k = 0; k < want[i].clusters.size(); ++k) EXPECT_EQ(bytes[k * 512], want[i].clusters[k]) << k;
  }
}

// A PNG whose chunk CRCs hold: the bytes of a deleted one read without a chain are checked
// against them, so a cluster that is not the file's fails the save instead of passing as good.
std::vector<uint8_t> SmallPng(size_t dataBytes) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
    for (int k = 3; k >= 0; --k) png.push_back(uint8_t(data.size() >> (8 * k)));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    const uint32_t crc = Crc32(body);
    for (int k = 3; k >= 0; --k) png.push_back(uint8_t(crc >> (8 * k)));
  };
  chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0});
  std::vector<uint8_t> data(dataBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + 7);
  chunk("IDAT", data);
  chunk("IEND", {});
  return png;
}

TEST(FatDeletedFormatEnd, DeletedFileWhoseFormatDoesNotEndInItFails) {
  const std::vector<uint8_t> png = SmallPng(3000);  // 7 clusters of 512 bytes
  struct Case {
    const char* what;
    bool liveInSpan;  // cluster 42 belongs to a live file now
    bool overwritten; // cluster 42 holds other bytes but is free
    bool fails;
  } cases[] = {
      {"intact", false, false, false},
      {"a cluster taken by a live file is skipped", true, false, false},
      {"a free cluster overwritten", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FatImage img{FatGeometry{}};
    img.SetFAT(2, 0xFFF);
    // With a live file in the span the PNG went around it, as a file written after it would not.
    const uint32_t after = c.liveInSpan ? 43 : 42;
    std::memcpy(img.Cluster(40), png.data(), 1024);
    std::memcpy(img.Cluster(after), png.data() + 1024, png.size() - 1024);
    if (c.liveInSpan) {
      std::memset(img.Cluster(42), 0x55, 512);
      img.Chain({42});
      img.AddToDir(0, FatImage::Record("LIVE    BIN", 0x20, 42, 512));
    }
    if (c.overwritten) std::memset(img.Cluster(43), 0x55, 512);
    img.AddToDir(0, FatImage::Record("\xE5" "MAGE   PNG", 0x20, 40, uint32_t(png.size())));
    MountedFat m;
    m.Mount(img.bytes);
    TFATDirectory& root = *m.drive->DeletedRoot();
    root.ReadChildren(true, true);
    ASSERT_EQ(root.Children->size(), 1u);
    auto* f = dynamic_cast<TFATFile*>((*root.Children)[0].get());
    auto data = f->OpenData({});
    std::vector<uint8_t> bytes(png.size());
    size_t got = 0;
    while (size_t n = data->Read(bytes.data() + got, bytes.size() - got)) got += n;
    EXPECT_EQ(got, png.size());
    EXPECT_EQ(!data->Failure.empty(), c.fails) << data->Failure;
    if (c.fails) {
      EXPECT_NE(data->Failure.find("PNG"), std::string::npos);
    } else {
      EXPECT_EQ(bytes, png);
    }
  }
}

TEST_F(FatDirTest, PathsAndRowsAsTheListShowsThem) {
  img.MakeDirCluster(5, 0);
  img.Chain({5});
  img.AddToDir(0, FatImage::Record("DOCS       ", 0x10, 5, 0, 0x5132, 0x6000));
  img.AddToDir(5, FatImage::Record("\xE5" "OTE    TXT", 0x20, 11, 1234, 0x5132, 0x6021));
  TFATDirectory& root = Root(true);
  auto* docs = dynamic_cast<TFATDirectory*>((*root.Children)[0].get());
  docs->ReadChildren(true, true);
  auto* note = dynamic_cast<TFATFile*>((*docs->Children)[0].get());
  EXPECT_EQ(docs->GetPath(nullptr), "Deleted\\DOCS");
  EXPECT_EQ(docs->GetPath(&root), "DOCS");
  EXPECT_EQ(docs->GetPath(docs), "");
  EXPECT_EQ(note->GetPath(&root), "DOCS");
  EXPECT_EQ(note->GetPath(docs), "");
  const TListRow row = docs->ListRow(*note);
  EXPECT_EQ(row.Caption, "_OTE.TXT");
  EXPECT_EQ(row.Icon, TRowIcon::DeletedFile);
  EXPECT_EQ(row.Cells, (std::vector<std::string>{"1234", "18.09.2020 12:01", "11", "good", "TXT File"}));
}

TEST_F(FatDirTest, DatesCompareByDateAndTime) {
  // Same day, different times; and days whose text begins alike in another year.
  img.AddToDir(0, FatImage::Record("LATE    TXT", 0x20, 0, 0, 0x5132, 0x9000));
  img.AddToDir(0, FatImage::Record("EARLY   TXT", 0x20, 0, 0, 0x5132, 0x3000));
  img.AddToDir(0, FatImage::Record("OLD     TXT", 0x20, 0, 0, 0x3132, 0x9000));
  TFATDirectory& root = Root(false);
  ASSERT_EQ(root.Children->size(), 3u);
  std::vector<TItem*> items;
  for (auto& c : *root.Children) items.push_back(c.get());
  std::stable_sort(items.begin(), items.end(),
                   [&](TItem* a, TItem* b) { return root.SortKey(*a, false).Stamp < root.SortKey(*b, false).Stamp; });
  std::vector<std::string> names;
  for (TItem* item : items) names.push_back(root.ListRow(*item).Caption);
  EXPECT_EQ(names, (std::vector<std::string>{"OLD.TXT", "EARLY.TXT", "LATE.TXT"}));
}

TEST_F(FatDirTest, AFileFoundAsAnMftRecordSortsByWhatItsRowShows) {
  TFATDirectory lost;
  TMFTFile file;
  file.Name = "REPORT.TXT";
  file.Size = 42;
  file.FirstCluster = 7;
  file.Date = 0x5132;
  file.Time = 0x6021;
  const TSortKey key = lost.SortKey(file, true);
  const TListRow row = lost.ListRow(file);
  EXPECT_EQ(key.Name, row.Caption);
  EXPECT_EQ(std::to_string(key.Size), row.Cells[0]);
  EXPECT_EQ(key.Stamp, 0x51326021u);
  EXPECT_EQ(std::to_string(key.Number), row.Cells[2]);
  EXPECT_EQ(key.Condition, 2);  // its row says poor
  EXPECT_EQ(key.Type, row.Cells[4]);
}

TEST_F(FatDirTest, TreeNodesForFoldersWithExpanders) {
  img.MakeDirCluster(5, 0);
  img.MakeDirCluster(6, 5);
  img.Chain({5});
  img.Chain({6});
  img.AddToDir(0, FatImage::Record("PARENT     ", 0x10, 5, 0));
  img.AddToDir(0, FatImage::Record("FILE    TXT", 0x20, 0, 0));
  img.AddToDir(5, FatImage::Record("CHILD      ", 0x10, 6, 0));
  Root(false);
  m.drive->Root()->Children.reset();
  // The top folders tell whether they hold folders without reading them.
  EXPECT_TRUE(m.drive->TopMayHaveSubfolders(TTreeKind::Root));
  EXPECT_FALSE(m.drive->Root()->Children);
  EXPECT_FALSE(m.drive->TopMayHaveSubfolders(TTreeKind::Lost));
  m.drive->Root()->LoadListing(false);
  ASSERT_TRUE(m.drive->Root()->Children);
  std::vector<TCustomDirectory*> folders;
  for (auto& c : *m.drive->Root()->Children)
    if (auto* d = dynamic_cast<TCustomDirectory*>(c.get())) folders.push_back(d);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0]->TreeName(), "PARENT");
  EXPECT_TRUE(folders[0]->MayHaveSubfolders(false));
  EXPECT_FALSE(folders[0]->Children);
}

TEST_F(FatDirTest, FindFilesCopiesMatchesIntoTheSearchFolder) {
  img.AddToDir(0, FatImage::Record("REPORT  TXT", 0x20, 0, 0));
  img.AddToDir(0, FatImage::Record("\xE5" "EPORT2 TXT", 0x20, 0, 0));
  img.AddToDir(0, FatImage::Record("OTHER   BIN", 0x20, 0, 0));
  Root(false);
  host.find.mask = "*EPORT*";
  ASSERT_TRUE(FindFiles(*m.drive));
  EXPECT_EQ(host.find.hits, (std::vector<std::string>{"_EPORT2.TXT", "REPORT.TXT"}));
  auto* results = static_cast<TFATDirectory*>(m.drive->SearchFolder.get());
  ASSERT_EQ(results->Children->size(), 2u);
  EXPECT_EQ(dynamic_cast<TFATFile*>((*results->Children)[0].get())->Parent, results);
  ASSERT_TRUE(FindFiles(*m.drive));  // a second search replaces the first one's results
  EXPECT_EQ(results->Children->size(), 2u);
}

}  // namespace
}  // namespace salvex::test
