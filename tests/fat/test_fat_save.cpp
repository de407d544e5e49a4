#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <algorithm>

#include "common/FakeHost.h"
#include "common/Unicode.h"
#include "devices/StatusDialog.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "recovery/Browse.h"
#include "recovery/Wrappers.h"
#include "fat/FatImage.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// A folder's listing as the desktop shows it, folders first, then by name; rows are selected.
struct SelectList {
  TCustomDirectory* src = nullptr;
  std::vector<TItem*> items;
  std::vector<size_t> rows;
  void Show(TCustomDirectory& folder, bool deleted) {
    src = &folder;
    folder.LoadListing(deleted);
    items.clear();
    for (auto& c : *folder.Children) items.push_back(c.get());
    auto isFolder = [](const TItem* i) { return dynamic_cast<const TCustomDirectory*>(i) != nullptr; };
    std::stable_sort(items.begin(), items.end(), [&](const TItem* a, const TItem* b) {
      if (isFolder(a) != isFolder(b)) return isFolder(a);
      return CompareNamesNoCase(folder.SortKey(*a, false).Name, folder.SortKey(*b, false).Name) < 0;
    });
    // The desktop's list orders the folder's own children, so that a row number names a child.
    TChildren sorted;
    for (TItem* item : items)
      for (auto& c : *folder.Children)
        if (c.get() == item) sorted.push_back(std::move(c));
    *folder.Children = std::move(sorted);
  }
  std::vector<TItem*> Selected() const {
    std::vector<TItem*> out;
    for (size_t r : rows)
      if (r < items.size()) out.push_back(items[r]);
    return out;
  }
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct FatSaveTest : ::testing::Test {
  FatImage img{FatGeometry{}};
  MountedFat m;
  FakeHost host;
  ScopedHost scope{host};
  TStatusDialog status;
  fs::path target;
  SelectList list;

  FatSaveTest() {
    char tmpl[] = "/tmp/salvex-fatsave-XXXXXX";
    target = mkdtemp(tmpl);
    host.targetGiven = true;
    host.targetFolder = target.string();
    // DOCS/ with NOTE.TXT (read-only, dated), and a deleted file in the root.
    img.MakeDirCluster(5, 0);
    img.Chain({5});
    img.AddToDir(0, FatImage::Record("DOCS       ", 0x10, 5, 0));
    img.AddToDir(0, FatImage::Record("HELLO   TXT", 0x20, 6, 5, 0x5132, 0x6021));
    img.AddToDir(0, FatImage::Record("\xE5" "ONE    TXT", 0x20, 8, 4));
    img.AddToDir(0, FatImage::Record("EMPTY   DAT", 0x20, 0, 0, 0, 0));
    img.AddToDir(5, FatImage::Record("NOTE    TXT", 0x21, 7, 3));
    img.Chain({6});
    img.Chain({7});
    std::memcpy(img.Cluster(6), "hello", 5);
    std::memcpy(img.Cluster(7), "abc", 3);
    std::memcpy(img.Cluster(8), "gone", 4);
  }
  ~FatSaveTest() override {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(target, ec)) fs::permissions(e.path(), fs::perms::owner_all, ec);
    fs::remove_all(target, ec);
  }
  TFATDirectory& Open(bool deleted) {
    m.Mount(img.bytes);
    m.drive->Progress = &status;
    TFATDirectory* r = deleted ? m.drive->DeletedRoot() : m.drive->Root();
    list.Show(*r, deleted);
    host.deletedSelected = deleted;
    return *r;
  }
  // Rows of the root in name order: DOCS, EMPTY.DAT, HELLO.TXT (and _ONE.TXT in the deleted view).
  void Select(std::vector<size_t> rows) { list.rows = std::move(rows); }
};

TEST_F(FatSaveTest, SavesFilesAndFoldersWithTimeAndReadOnlyBit) {
  Open(false);
  Select({0, 1, 2});
  const TSaveReport report = SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(ReadFile(target / "HELLO.TXT"), "hello");
  EXPECT_EQ(ReadFile(target / "DOCS" / "NOTE.TXT"), "abc");
  EXPECT_TRUE(fs::exists(target / "EMPTY.DAT"));
  EXPECT_EQ(fs::file_size(target / "EMPTY.DAT"), 0u);
  struct stat st {};
  ASSERT_EQ(stat((target / "DOCS" / "NOTE.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_EQ(stat((target / "HELLO.TXT").c_str(), &st), 0);
  std::tm tm{};
  time_t mtime = st.st_mtime;
  localtime_r(&mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2020);
  EXPECT_EQ(tm.tm_mon + 1, 9);
  EXPECT_EQ(tm.tm_mday, 18);
  EXPECT_EQ(tm.tm_hour, 12);
  EXPECT_EQ(tm.tm_min, 1);
  EXPECT_EQ(tm.tm_sec, 2);
  // A zero DOS time leaves the time of writing.
  ASSERT_EQ(stat((target / "EMPTY.DAT").c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, time(nullptr) - 600);
  EXPECT_EQ(report.Files, 3u);
  EXPECT_EQ(report.Bytes, 8u);
  EXPECT_TRUE(report.Failures.empty());
  // Nothing but the saved entries is left in the target (no temporary files).
  size_t entries = 0;
  for (auto& e : fs::recursive_directory_iterator(target)) entries += e.path().filename().string()[0] != '.';
  EXPECT_EQ(entries, 4u);
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(FatSaveTest, DeletedViewPreselectsNoFat) {
  img.SetFAT(8, 0);  // the deleted file's chain is gone
  Open(true);
  Select({1});  // DOCS, _ONE.TXT
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(ReadFile(target / "_ONE.TXT"), "gone");
}

// A chain cut after its first cluster while the size still claims 24 clusters: only the bytes on
// the disk are kept, under ".partial", and the save says why.
TEST_F(FatSaveTest, ChainCutShortIsKeptAsPartialWithTheReason) {
  std::vector<uint32_t> chain;
  for (uint32_t c = 20; c < 44; ++c) {
    chain.push_back(c);
    std::memset(img.Cluster(c), 'a' + int(c % 26), img.ClusterBytes());
  }
  img.Chain(chain);
  img.SetFAT(21, img.EndMark());
  img.AddToDir(0, FatImage::Record("CUT     BIN", 0x20, 20, uint32_t(24 * img.ClusterBytes())));
  auto& root = Open(false);
  for (size_t i = 0; i < root.Children->size(); ++i)
    if (auto* f = dynamic_cast<TCustomFile*>(root.Children->at(i).get()); f && f->Name == "CUT.BIN") Select({i});
  ASSERT_EQ(list.rows.size(), 1u);
  const TSaveReport report = SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_FALSE(fs::exists(target / "CUT.BIN"));
  ASSERT_TRUE(fs::exists(target / "CUT.BIN.partial"));
  const std::string kept = ReadFile(target / "CUT.BIN.partial");
  EXPECT_EQ(kept, std::string(img.ClusterBytes(), 'a' + 20 % 26) + std::string(img.ClusterBytes(), 'a' + 21 % 26));
  ASSERT_EQ(report.Failures.size(), 1u);
  EXPECT_EQ(report.Failures[0].Error.Kind, TErrorKind::Corrupt);
  EXPECT_EQ(report.Files, 0u);
}

TEST_F(FatSaveTest, ReplacingAskYesNoAll) {
  Open(false);
  Select({1, 2});
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  std::ofstream(target / "HELLO.TXT") << "changed";
  std::ofstream(target / "EMPTY.DAT") << "changed";
  host.answers = {TMsgResult::No, TMsgResult::No};
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].buttons, TMsgButtons::YesNoAll);
  EXPECT_NE(host.messages[0].text.find("already contains a file named"), std::string::npos);
  EXPECT_EQ(ReadFile(target / "HELLO.TXT"), "changed");
  host.messages.clear();
  host.answers = {TMsgResult::All};  // the first answer covers the rest of this save
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(ReadFile(target / "HELLO.TXT"), "hello");
  EXPECT_EQ(fs::file_size(target / "EMPTY.DAT"), 0u);
}

TEST_F(FatSaveTest, NoToAnExistingFolderEndsTheWholeSave) {
  Open(false);
  fs::create_directory(target / "DOCS");
  Select({0, 2});
  host.answers = {TMsgResult::No};
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].text.find("already contains a folder named 'DOCS'"), std::string::npos);
  EXPECT_FALSE(fs::exists(target / "DOCS" / "NOTE.TXT"));
  EXPECT_FALSE(fs::exists(target / "HELLO.TXT"));
}

TEST_F(FatSaveTest, YesToAFolderOverwritesItsFilesWithoutAsking) {
  Open(false);
  fs::create_directory(target / "DOCS");
  std::ofstream(target / "DOCS" / "NOTE.TXT") << "old";
  Select({0});
  host.answers = {TMsgResult::Yes};
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(ReadFile(target / "DOCS" / "NOTE.TXT"), "abc");
}

TEST_F(FatSaveTest, NamesThatWouldLeaveTheTargetAreMadeSafe) {
  EXPECT_EQ(SafeSaveName(".."), "_..");
  EXPECT_EQ(SafeSaveName("."), "_.");
  EXPECT_EQ(SafeSaveName(""), "_");
  EXPECT_EQ(SafeSaveName("a/b"), "a_b");
  EXPECT_EQ(SafeSaveName(std::string("a\0b", 3)), "a_b");
  // A folder entry named ".." lands inside the target.
  img.MakeDirCluster(9, 0);
  img.Chain({9});
  img.AddToDir(9, FatImage::Record("X       TXT", 0x20, 6, 5));
  img.AddToDir(0, FatImage::Record("..        ", 0x10, 9, 0));
  img.AddToDir(0, FatImage::Record("A/B     TXT", 0x20, 6, 5));
  auto& root = Open(false);
  std::vector<size_t> all;
  for (size_t i = 0; i < root.Children->size(); ++i) all.push_back(i);
  Select(all);
  SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_TRUE(fs::exists(target / "A_B.TXT"));
  EXPECT_FALSE(fs::exists(target.parent_path() / "X.TXT"));
}

TEST_F(FatSaveTest, SymbolicLinkInTheTargetIsNotWrittenThrough) {
  Open(false);
  fs::path outside = target.string() + "-outside";
  fs::create_directory(outside);
  fs::create_symlink(outside / "victim", target / "HELLO.TXT");
  fs::create_directory_symlink(outside, target / "DOCS");
  // A hard link to a file outside: replacing must not change the file it shares.
  std::ofstream(outside / "shared") << "outside";
  fs::create_hard_link(outside / "shared", target / "EMPTY.DAT");
  Select({0, 1, 2});
  // Replace both files; the folder is never entered through the link, it takes the next name.
  host.answers = {TMsgResult::Yes, TMsgResult::Yes};
  const TSaveReport report = SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_FALSE(fs::exists(outside / "victim"));
  EXPECT_FALSE(fs::exists(outside / "NOTE.TXT"));
  EXPECT_EQ(ReadFile(outside / "shared"), "outside");
  EXPECT_TRUE(report.Failures.empty());
  EXPECT_EQ(ReadFile(target / "DOCS (2)" / "NOTE.TXT"), "abc");
  ASSERT_EQ(report.Renamed.size(), 1u);
  // The link in place of the file was replaced by the file itself.
  EXPECT_FALSE(fs::is_symlink(target / "HELLO.TXT"));
  EXPECT_EQ(ReadFile(target / "HELLO.TXT"), "hello");
  fs::remove_all(outside);
}

TEST_F(FatSaveTest, CancelStopsAfterTheCurrentFile) {
  Open(false);
  Select({0, 1, 2});
  struct CancelHost : FakeHost {
    TStatusDialog* status = nullptr;
    void ProcessMessages() override {
      if (status) status->Cancel();
    }
  } cancelling;
  cancelling.targetGiven = true;
  cancelling.targetFolder = target.string();
  cancelling.status = &status;
  ScopedHost inner(cancelling);
  EXPECT_TRUE(SaveSelectedTo(*m.drive, list.src, list.Selected()).Cancelled);
  EXPECT_FALSE(fs::exists(target / "HELLO.TXT"));
}

// Deleted twins (both shown "_ONE.TXT") both arrive; a folder whose sectors cannot be read is a
// failure of that folder, named and counted, not an empty folder that saved "without failures".
TEST_F(FatSaveTest, DeletedTwinsBothArriveAndAnUnreadableFolderFails) {
  img.AddToDir(0, FatImage::Record("\xE5" "ONE    TXT", 0x20, 9, 5));
  std::memcpy(img.Cluster(9), "again", 5);
  Open(true);
  Select({1, 2});  // DOCS, _ONE.TXT, _ONE.TXT
  TSaveReport report = SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(ReadFile(target / "_ONE.TXT"), "gone");
  EXPECT_EQ(ReadFile(target / "_ONE (2).TXT"), "again");
  EXPECT_EQ(report.Files, 2u);
  EXPECT_TRUE(report.Ok());

  m.fake.io.images["/img/fat"].badSectors.insert(img.FirstDataSector() + 3);  // DOCS, cluster 5
  Open(false);
  Select({0});
  report = SaveSelectedTo(*m.drive, list.src, list.Selected());
  EXPECT_EQ(report.FailedFolders, 1u);
  ASSERT_EQ(report.Failures.size(), 1u);
  EXPECT_EQ(report.Failures[0].Error.Kind, TErrorKind::ReadError);
  EXPECT_EQ(report.Failures[0].Error.What, "DOCS");
  EXPECT_FALSE(report.Ok());
  EXPECT_EQ(host.messages.size(), 1u);  // the program says so
  // Listing it says so as well, once per read.
  m.drive->Root()->Children.reset();
  std::optional<TError> unreadable;
  auto found = ResolvePath(*m.drive, TTreeKind::Root, "DOCS");
  ASSERT_TRUE(found) << found.Error().Text();
  auto* docs = dynamic_cast<TCustomDirectory*>(found.Value());
  ASSERT_NE(docs, nullptr);
  docs->Children.reset();
  EXPECT_TRUE(ListFolder(*docs, &unreadable).empty());
  ASSERT_TRUE(unreadable.has_value());
  EXPECT_NE(unreadable->Why.find("could not be read"), std::string::npos) << unreadable->Why;
}

}  // namespace
}  // namespace salvex::test
