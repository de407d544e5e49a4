#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/FakeHost.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "recovery/Browse.h"
#include "recovery/Wrappers.h"
#include "support/Save.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"

namespace salvex {
namespace {

using test::NtfsImageBuilder;
namespace fs = std::filesystem;

constexpr uint64_t kOld = 130000000000000000ull;
constexpr uint64_t kNew = 131000000000000000ull;

std::vector<uint8_t> Key(uint64_t parent, const std::u16string& name, uint8_t ns, bool dir = false) {
  return NtfsImageBuilder::FileName(parent, name, ns, dir);
}

std::vector<std::string> Names(TCustomDirectory& d) {
  std::vector<std::string> out;
  if (!d.Children) return out;
  for (auto& c : *d.Children) {
    if (auto* f = dynamic_cast<TNTFSFile*>(c.get())) out.push_back(f->Name);
    if (auto* s = dynamic_cast<TNTFSDirectory*>(c.get())) out.push_back(s->Name + "/");
  }
  return out;
}

TNTFSDirectory* Child(TCustomDirectory& d, const std::string& name) {
  if (!d.Children) return nullptr;
  for (auto& c : *d.Children)
    if (auto* s = dynamic_cast<TNTFSDirectory*>(c.get()); s && s->Name == name) return s;
  return nullptr;
}

TEST(NtfsDirectory, ShowsEachNameOnceAndHidesSystemRecords) {
  NtfsImageBuilder b;
  b.AddFile(20, 5, u"LongFileName.txt", "long");
  b.AddFile(21, 5, u"SHORT.TXT", "short");
  b.AddFile(22, 5, u"posix-Name", "posix");
  b.AddDirectory(5, 5, u".",
                 {{20, Key(5, u"LONGFI~1.TXT", 2)},
                  {20, Key(5, u"LongFileName.txt", 1)},
                  {21, Key(5, u"SHORT.TXT", 3)},
                  {22, Key(5, u"posix-Name", 0)},
                  {3, Key(5, u"$Volume", 3)},
                  {5, Key(5, u".", 3, true)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  d.Root()->ReadChildren();
  EXPECT_EQ(Names(*d.Root()), (std::vector<std::string>{"LongFileName.txt", "SHORT.TXT", "posix-Name"}));
  // Sizes come from the records' data, not from the keys (which say 0 here).
  auto* f = dynamic_cast<TNTFSFile*>((*d.Root()->Children)[0].get());
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Size, 4u);
}

TEST(NtfsDirectory, AFolderThatContainsItsAncestorIsNotWalkedForever) {
  NtfsImageBuilder b;
  b.AddDirectory(20, 5, u"A", {{21, Key(20, u"B", 1, true)}});
  b.AddDirectory(21, 20, u"B", {{20, Key(21, u"A-again", 1, true)}, {21, Key(21, u"B-self", 1, true)}});
  b.AddDirectory(5, 5, u".", {{20, Key(5, u"A", 1, true)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  int visits = 0;
  EXPECT_TRUE(d.Root()->Search([&](TItem&) { return ++visits < 1000; }, true));
  EXPECT_EQ(visits, 2);  // A and B; B's links back to A and itself are left out
  EXPECT_FALSE(d.Root()->Children);  // read for the walk only
}

TEST(NtfsDeleted, RebuildsPathsWithPlaceholdersForReusedParents) {
  NtfsImageBuilder b;
  // A live folder with a deleted file: rebuilt under a copy of the folder's path.
  b.AddDirectory(20, 5, u"Docs", {});
  b.AddFile(21, 20, u"gone.txt", "old text", false, kOld);
  // Record 22 was the parent of record 23, but now holds a younger folder.
  b.AddDirectory(22, 5, u"NewFolder", {}, true, kNew);
  b.AddFile(23, 22, u"orphan.txt", "orphan", false, kOld);
  // Deleted files whose parents form a loop: 25 -> 26 -> 25.
  b.AddDirectory(25, 26, u"L1", {}, false, kOld);
  b.AddDirectory(26, 25, u"L2", {}, false, kOld);
  b.AddFile(27, 25, u"looped.txt", "loop", false, kOld);
  // A deleted file of the root.
  b.AddFile(28, 5, u"root-deleted.txt", "r", false, kOld);
  b.AddDirectory(5, 5, u".", {{20, Key(5, u"Docs", 1, true)}, {22, Key(5, u"NewFolder", 1, true)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  d.DeletedFolder->Children.emplace();
  d.FindDeleted(nullptr);
  TNTFSDirectory* deleted = d.Deleted();

  auto* docs = Child(*deleted, "Docs");
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->Flags, 0);  // a path folder: the folder itself still exists
  EXPECT_EQ(Names(*docs), std::vector<std::string>{"gone.txt"});
  auto* gone = dynamic_cast<TNTFSFile*>((*docs->Children)[0].get());
  EXPECT_EQ(gone->Flags, ItemDeleted);
  EXPECT_EQ(gone->Size, 8u);
  EXPECT_EQ(gone->Condition, 1);  // resident data is always good

  auto* placeholder = Child(*deleted, "MFT 22");
  ASSERT_TRUE(placeholder);
  EXPECT_EQ(placeholder->Flags, ItemDeleted);
  EXPECT_EQ(Names(*placeholder), std::vector<std::string>{"orphan.txt"});
  EXPECT_FALSE(Child(*deleted, "NewFolder"));

  // The loop ends; every deleted record appears exactly once somewhere in the tree.
  std::multiset<std::string> all;
  std::function<void(TNTFSDirectory&)> walk = [&](TNTFSDirectory& dir) {
    if (!dir.Children) return;
    for (auto& c : *dir.Children) {
      if (auto* f = dynamic_cast<TNTFSFile*>(c.get())) all.insert(f->Name);
      if (auto* s = dynamic_cast<TNTFSDirectory*>(c.get())) {
        all.insert(s->Name + "/");
        walk(*s);
      }
    }
  };
  walk(*deleted);
  EXPECT_EQ(all.count("looped.txt"), 1u);
  EXPECT_EQ(all.count("L1/"), 1u);
  EXPECT_EQ(all.count("L2/"), 1u);
  EXPECT_EQ(all.count("root-deleted.txt"), 1u);
  EXPECT_NE(std::find(Names(*deleted).begin(), Names(*deleted).end(), "root-deleted.txt"), Names(*deleted).end());

  // RebuildParent on its own, for a name whose parent chain loops, ends in Deleted.
  auto loopKey = Key(25, u"x", 1);
  EXPECT_NE(d.RebuildParent(ntfs::TFileNameView{loopKey}), nullptr);
}

TEST(NtfsDeleted, ConditionFollowsTheVolumeBitmapAndHolesReadAsZeros) {
  NtfsImageBuilder b;
  // Non-resident deleted files: one whose first cluster is free, one whose first cluster is in use.
  auto freeFile = NtfsImageBuilder::NewRecord(false, false);
  NtfsImageBuilder::AddResident(freeFile, 0x30, u"", NtfsImageBuilder::FileName(5, u"free.bin", 1, false));
  // Cluster 40, then a two-cluster hole, then cluster 41.
  NtfsImageBuilder::AddNonResident(freeFile, 0x80, u"", {0x11, 0x01, 40, 0x01, 0x02, 0x11, 0x01, 0x01}, 0, 3,
                                   3 * 4096 + 100);
  // Its stream's cluster went to another file: the stream is judged by its own clusters.
  NtfsImageBuilder::AddNonResident(freeFile, 0x80, u"reused", {0x11, 0x01, 42}, 0, 0, 10);
  b.Put(20, freeFile, false);
  auto usedFile = NtfsImageBuilder::NewRecord(false, false);
  NtfsImageBuilder::AddResident(usedFile, 0x30, u"", NtfsImageBuilder::FileName(5, u"used.bin", 1, false));
  NtfsImageBuilder::AddNonResident(usedFile, 0x80, u"", {0x11, 0x01, 42}, 0, 0, 10);
  b.Put(21, usedFile, false);
  b.SetCluster(42, true);
  auto image = b.Build();
  std::memset(image.data() + 40 * 4096, 'A', 4096);
  std::memset(image.data() + 41 * 4096, 'B', 4096);

  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  d.DeletedFolder->Children.emplace();
  d.FindDeleted(nullptr);
  auto& kids = *d.Deleted()->Children;
  ASSERT_EQ(kids.size(), 3u);
  auto* good = dynamic_cast<TNTFSFile*>(kids[0].get());
  auto* stream = dynamic_cast<TNTFSFile*>(kids[1].get());
  auto* poor = dynamic_cast<TNTFSFile*>(kids[2].get());
  ASSERT_TRUE(good && stream && poor);
  EXPECT_EQ(good->Condition, 1);
  EXPECT_EQ(poor->Condition, 2);
  EXPECT_EQ(stream->Name, "free.bin:reused");
  EXPECT_EQ(stream->Condition, 2);
  EXPECT_EQ(stream->ReusedClusters, 1u);
  EXPECT_EQ(good->Size, 3u * 4096 + 100);

  // Saved: the hole's two clusters are zeros, and exactly Size bytes are written.
  test::FakeHost host;
  ScopedHost scope(host);
  fs::path dir = fs::temp_directory_path() / ("ntfs-hole-" + std::to_string(getpid()));
  fs::create_directories(dir);
  EXPECT_TRUE(test::SaveInto({good}, dir).Ok());
  std::ifstream in(dir / "free.bin", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 3u * 4096 + 100);
  EXPECT_EQ(bytes[0], 'A');
  EXPECT_EQ(bytes[4096], 0);
  EXPECT_EQ(bytes[3 * 4096 - 1], 0);
  EXPECT_EQ(bytes[3 * 4096], 'B');
  fs::remove_all(dir);
}

TEST(NtfsFind, SearchesRootDeletedAndLostEachOnce) {
  NtfsImageBuilder b;
  b.AddFile(20, 5, u"live-report.txt", "live");
  b.AddFile(21, 5, u"gone-report.txt", "gone", false);
  b.AddDirectory(5, 5, u".", {{20, Key(5, u"live-report.txt", 1)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  test::FakeHost host;
  ScopedHost scope(host);
  host.find.mask = "*report*";
  // The Deleted folder has not been filled by a scan: the search must fill it, not read the root.
  ASSERT_FALSE(d.DeletedFolder->Children);
  ASSERT_TRUE(FindFiles(d));
  std::vector<std::string> hits = host.find.hits;
  std::sort(hits.begin(), hits.end());
  EXPECT_EQ(hits, (std::vector<std::string>{"gone-report.txt", "live-report.txt"}));
  ASSERT_TRUE(d.SearchFolder->Children);
  EXPECT_EQ(d.SearchFolder->Children->size(), 2u);
}

TEST(NtfsDeleted, TheDeletedTreeIsBuiltOnlyWhenADeletedItemIsAskedFor) {
  NtfsImageBuilder b;
  b.AddFile(20, 5, u"live-report.txt", "live");
  b.AddFile(21, 5, u"gone-report.txt", "gone", false);
  b.AddDirectory(5, 5, u".", {{20, Key(5, u"live-report.txt", 1)}});
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  ASSERT_TRUE(PrepareVolume(d, nullptr));
  // Listing and walking the live files leaves the walk over the free records undone.
  std::vector<std::string> live;
  for (const TItemRow& row : ListFolder(*d.RootFolder)) live.push_back(row.Name);
  EXPECT_EQ(live, (std::vector<std::string>{"live-report.txt"}));
  d.Root()->Search([](TItem&) { return true; }, true);
  EXPECT_FALSE(d.DeletedFolder->Children);
  std::vector<std::string> gone;
  for (const TItemRow& row : ListFolder(*d.DeletedFolder)) gone.push_back(row.Name);
  EXPECT_EQ(gone, (std::vector<std::string>{"gone-report.txt"}));
}

// A volume whose reads of cluster 50 fail with an exception, as a fault below the reader would.
class TThrowingNTFSdrive : public test::TMemNTFSdrive {
 public:
  using TMemNTFSdrive::TMemNTFSdrive;
  bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) override {
    if (sector <= 400 && 400 < sector + count) throw std::runtime_error("injected fault");
    return TMemNTFSdrive::ReadSectors(sector, count, showErrors, buffer);
  }
};

TEST(NtfsCorrupt, AStructureThatFailsIsCountedAndTheRestStaysListed) {
  NtfsImageBuilder b;
  // Records 20 (live) and 21 (deleted) keep their attribute list in cluster 50, which cannot be read.
  for (uint64_t n : {20, 21}) {
    auto r = NtfsImageBuilder::NewRecord(n == 20, false);
    NtfsImageBuilder::AddResident(r, 0x30, u"", NtfsImageBuilder::FileName(5, n == 20 ? u"listed.bin" : u"gone.bin", 1, false));
    NtfsImageBuilder::AddNonResident(r, 0x20, u"", {0x11, 0x01, 50}, 0, 0, 64);
    b.Put(n, r, n == 20);
  }
  b.AddFile(22, 5, u"plain.txt", "plain");
  b.AddFile(23, 5, u"gone-too.txt", "gone", false);
  b.AddDirectory(5, 5, u".", {{20, Key(5, u"listed.bin", 1)}, {22, Key(5, u"plain.txt", 1)}});
  auto image = b.Build();
  TThrowingNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true));
  EXPECT_EQ(d.CorruptStructures, 0u);
  d.Root()->ReadChildren();
  ASSERT_TRUE(d.Root()->Children);
  EXPECT_EQ(Names(*d.Root()), (std::vector<std::string>{"listed.bin", "plain.txt"}));
  EXPECT_EQ(d.CorruptStructures, 1u);
  d.DeletedFolder->Children.emplace();
  d.FindDeleted(nullptr);
  EXPECT_EQ(Names(*d.Deleted()), (std::vector<std::string>{"gone-too.txt"}));
  EXPECT_EQ(d.CorruptStructures, 2u);
}


}  // namespace
}  // namespace salvex
