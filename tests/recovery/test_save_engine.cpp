#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <fstream>

#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "recovery/Browse.h"
#include "recovery/FileFinisher.h"
#include "recovery/SaveEngine.h"
#include "support/Fixtures.h"
#include "support/Save.h"
#include "support/Volumes.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

// A file whose bytes come from memory; it can end early or hand out zero-filled sectors.
struct TMemFile : TCustomFile {
  std::string Bytes;
  size_t FailAfter = SIZE_MAX;  // the stream fails after delivering this many bytes
  uint64_t ZeroSectors = 0;
  TFileMeta FileMeta;

  struct Stream : TDataStream {
    const TMemFile& f;
    size_t pos = 0;
    explicit Stream(const TMemFile& file) : f(file) { ZeroFilledSectors = file.ZeroSectors; }
    uint64_t Size() const override { return f.Bytes.size(); }
    size_t Read(uint8_t* buffer, size_t count) override {
      const size_t end = std::min({f.Bytes.size(), f.FailAfter, pos + count});
      if (end <= pos) {
        if (pos < f.Bytes.size()) Failure = "the chain ends early";
        return 0;
      }
      std::memcpy(buffer, f.Bytes.data() + pos, end - pos);
      const size_t n = end - pos;
      pos = end;
      return n;
    }
  };
  std::unique_ptr<TDataStream> OpenData(const TReadChoice&) override { return std::make_unique<Stream>(*this); }
  TFileMeta Meta() const override { return FileMeta; }
  std::unique_ptr<TItem> Clone() const override { return std::make_unique<TMemFile>(*this); }
  bool Rename(const std::string& n) override { return !(Name = n).empty(); }
  std::string GetPath(const TCustomDirectory*) const override { return ""; }
};

struct TMemDir : TCustomDirectory {
  TMemDir() { Children.emplace(); }
  TMemFile& File(const std::string& name, const std::string& bytes) {
    auto f = std::make_unique<TMemFile>();
    f->Name = name;
    f->Bytes = bytes;
    f->Size = bytes.size();
    f->Parent = this;
    return *Adopt(std::move(f));
  }
  TMemDir& Dir(const std::string& name) {
    auto d = std::make_unique<TMemDir>();
    d->Name = name;
    d->Parent = this;
    return *Adopt(std::move(d));
  }
  std::unique_ptr<TItem> Clone() const override { return nullptr; }
  std::string GetPath(const TCustomDirectory*) const override { return ""; }
  bool Rename(const std::string&) override { return false; }
  void LoadListing(bool) override {}
  bool MayHaveSubfolders(bool) override { return false; }
  TListRow ListRow(const TItem&) const override { return {}; }
  TSortKey SortKey(const TItem&, bool) const override { return {}; }
  bool Search(const std::function<bool(TItem&)>&, bool) override { return true; }
};

struct SaveEngine : ::testing::Test {
  fs::path target;
  TMemDir top;
  SaveEngine() {
    char tmpl[] = "/tmp/salvex-engine-XXXXXX";
    target = mkdtemp(tmpl);
  }
  ~SaveEngine() override { fs::remove_all(target); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (auto& e : fs::recursive_directory_iterator(target)) names.push_back(fs::relative(e.path(), target).string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SaveEngine, IncompleteFilesNeverLookCompleteAndAreNotCounted) {
  top.File("whole.txt", "all of it");
  top.File("cut.bin", std::string(5000, 'x')).FailAfter = 1000;
  top.File("holes.bin", "zeros inside").ZeroSectors = 2;
  const TSaveReport r = SaveInto(ChildrenOf(top), target);
  EXPECT_EQ(r.Files, 1u);
  ASSERT_EQ(r.Failures.size(), 2u);
  EXPECT_EQ(r.Failures[0].Error.Kind, TErrorKind::Corrupt);
  EXPECT_NE(r.Failures[0].Error.Why.find("ends early"), std::string::npos);
  EXPECT_EQ(r.Failures[1].Error.Kind, TErrorKind::ReadError);
  EXPECT_NE(r.Failures[1].Error.Why.find("2 sector(s)"), std::string::npos);
  // The cut file is kept under a name that says so; the zero-filled one is whole and keeps its name.
  EXPECT_EQ(Entries(), (std::vector<std::string>{"cut.bin.partial", "holes.bin", "whole.txt"}));
  EXPECT_EQ(fs::file_size(target / "cut.bin.partial"), 1000u);
  EXPECT_EQ(r.Partial.size(), 1u);
  EXPECT_FALSE(r.Ok());

  // Each file hears of its own outcome and failures, in order, whether it was finished on the
  // second thread or (when its bytes are watched) right away.
  for (const bool watched : {false, true}) {
    TSaveOptions options;
    options.Target = (target / (watched ? "watched" : "plain")).string();
    fs::create_directory(options.Target);
    std::vector<std::tuple<std::string, TSavedFile::TOutcome, size_t>> told;
    options.OnFile = [&](const TSavedFile& f) { told.emplace_back(f.File->Name, f.Outcome, f.Errors.size()); };
    if (watched) options.OnBytes = [](const TCustomFile&, const uint8_t*, size_t) {};
    struct : TSaveQuestions {
      TAnswer ReplaceFile(const std::string&) override { return TAnswer::No; }
      TAnswer EnterFolder(const std::string&) override { return TAnswer::No; }
    } questions;
    SaveItems(ChildrenOf(top), options, questions, nullptr);
    using O = TSavedFile::TOutcome;
    EXPECT_EQ(told, (std::vector<std::tuple<std::string, O, size_t>>{
                        {"whole.txt", O::Saved, 0}, {"cut.bin", O::Partial, 1}, {"holes.bin", O::Partial, 1}}))
        << watched;
  }
}

// A poor file's row gives the reason its save fails with, even when the file system also has a doubt.
TEST_F(SaveEngine, ARowGivesTheReasonItsSaveFailsWith) {
  TMemFile& f = top.File("taken.bin", "another file's bytes");
  f.Condition = 2;
  f.FileMeta.Warning = "its span crosses 2 cluster(s) of live files";
  f.FileMeta.Damage = "its first cluster 9 belongs to another file now";
  const TSaveReport r = SaveInto(ChildrenOf(top), target);
  ASSERT_EQ(r.Failures.size(), 1u);
  EXPECT_NE(r.Failures[0].Error.Why.find(f.FileMeta.Damage), std::string::npos) << r.Failures[0].Error.Why;
  EXPECT_EQ(RowOf(f).ConditionWhy, f.FileMeta.Damage);
}

// Turns CAP_DAC_READ_SEARCH off or back on for this process; without it, older kernels do not
// link a file by its descriptor. False when the process does not have it at all.
bool SetSearchRight(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0 || !(data[0].permitted & (1u << CAP_DAC_READ_SEARCH))) return false;
  data[0].effective = on ? data[0].effective | (1u << CAP_DAC_READ_SEARCH) : data[0].effective & ~(1u << CAP_DAC_READ_SEARCH);
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Files made without a name and named when finished, and files made under a temporary name and
// renamed (by choice, or because the process may not link a file by its descriptor), end alike:
// whole ones under their names with their times and read-only bit, a cut one as ".partial", one
// that was there replaced, twins numbered, nothing else left in the target.
TEST_F(SaveEngine, FilesMadeWithoutANameEndAsThoseMadeUnderATemporaryOne) {
  top.File("whole.txt", "all of it").FileMeta.Modified = timespec{1'000'000'000, 500};
  top.File("locked.txt", "read-only").FileMeta.ReadOnly = true;
  top.File("cut.bin", std::string(5000, 'x')).FailAfter = 1000;
  top.File("twin.txt", "first");
  top.File("twin.txt", "second");
  top.File("there.txt", "new");
  TMemDir& sub = top.Dir("Sub");
  sub.File("inner.txt", "inside");
  for (const std::string way : {"named", "anonymous", "not linkable"}) {
    SCOPED_TRACE(way);
    const fs::path out = target / way;
    fs::create_directory(out);
    std::ofstream(out / "there.txt") << "old";
    AllowAnonymousFiles(way != "named");
    const bool dropped = way == "not linkable" && SetSearchRight(false);
    const TSaveReport r = SaveInto(ChildrenOf(top), out);
    if (dropped) SetSearchRight(true);
    AllowAnonymousFiles(true);
    EXPECT_EQ(r.Files, 6u);
    EXPECT_EQ(r.Partial.size(), 1u);
    std::vector<std::string> entries;
    for (auto& e : fs::recursive_directory_iterator(out)) entries.push_back(fs::relative(e.path(), out).string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"Sub", "Sub/inner.txt", "cut.bin.partial", "locked.txt",
                                                 "there.txt", "twin (2).txt", "twin.txt", "whole.txt"}));
    EXPECT_EQ(Read(out / "there.txt"), "new");
    EXPECT_EQ(Read(out / "twin.txt") + Read(out / "twin (2).txt"), "firstsecond");
    EXPECT_EQ(fs::file_size(out / "cut.bin.partial"), 1000u);
    struct stat st {};
    ASSERT_EQ(::stat((out / "whole.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'000'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 500);
    ASSERT_EQ(::stat((out / "locked.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
  }
}

TEST_F(SaveEngine, WriteFailureIsReportedWithTheSystemsReason) {
  top.File("big.bin", std::string(200000, 'b'));
  top.File("small.txt", "fits");
  // A file size limit stands in for a full disk: write() fails with EFBIG instead of a signal.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 65536;
  setrlimit(RLIMIT_FSIZE, &small);
  const TSaveReport r = SaveInto(ChildrenOf(top), target);
  setrlimit(RLIMIT_FSIZE, &old);
  ASSERT_EQ(r.Failures.size(), 1u);
  EXPECT_EQ(r.Failures[0].Error.Kind, TErrorKind::TargetError);
  EXPECT_EQ(r.Failures[0].Error.Errno, EFBIG);
  EXPECT_EQ(r.Failures[0].Error.Text(), (target / "big.bin").string() + ": " + std::strerror(EFBIG));
  EXPECT_EQ(r.Files, 1u);
  EXPECT_FALSE(fs::exists(target / "big.bin"));
  EXPECT_EQ(Read(target / "small.txt"), "fits");
}

TEST_F(SaveEngine, FilterMakesOnlyFoldersThatReceiveFilesAndPoliciesKeepOrReplace) {
  TMemDir& a = top.Dir("A");
  a.File("keep.jpg", "jpeg");
  a.File("skip.txt", "text");
  top.Dir("Empty").File("other.txt", "x");
  TSaveOptions options;
  options.Target = target.string();
  options.Filter = [](const TCustomFile& f) { return f.Name.ends_with(".jpg"); };
  struct Never : TSaveQuestions {
    int asked = 0;
    TAnswer ReplaceFile(const std::string&) override { return ++asked, TAnswer::No; }
    TAnswer EnterFolder(const std::string&) override { return ++asked, TAnswer::No; }
  } questions;
  TSaveReport r = SaveItems(ChildrenOf(top), options, questions, nullptr);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"A", "A/keep.jpg"}));
  EXPECT_EQ(r.Files, 1u);
  // Again with "keep existing": nothing asked, the file counted as kept.
  options.Overwrite = TOverwritePolicy::None;
  std::ofstream(target / "A" / "keep.jpg") << "mine";
  r = SaveItems(ChildrenOf(top), options, questions, nullptr);
  EXPECT_EQ(questions.asked, 0);
  EXPECT_EQ(r.Skipped, 1u);
  EXPECT_EQ(Read(target / "A" / "keep.jpg"), "mine");
  options.Overwrite = TOverwritePolicy::All;
  r = SaveItems(ChildrenOf(top), options, questions, nullptr);
  EXPECT_EQ(Read(target / "A" / "keep.jpg"), "jpeg");
  EXPECT_TRUE(r.Ok());
}

// Items of one save that meet under one name (deleted twins, names made equal by the safe-name
// rule, a file and a folder) all arrive under numbered names, whatever the policy, in a fresh
// target and in one that was there; the policy only concerns the file that was there before.
TEST_F(SaveEngine, ItemsThatMeetGetNumberedNamesAndThePolicyOnlyConcernsWhatWasThere) {
  struct TCase {
    const char* label;
    std::vector<std::string> names;  // saved in this order; "dir:" makes a folder holding "inner"
    std::vector<std::string> saved;  // the target's entries afterwards (sorted), before anything was there
  };
  const std::vector<TCase> cases = {
      {"fat twins", {"_ONE.TXT", "_ONE.TXT"}, {"_ONE (2).TXT", "_ONE.TXT"}},
      {"exfat triplets", {"report.doc", "report.doc", "report.doc"}, {"report (2).doc", "report (3).doc", "report.doc"}},
      {"slash", {"a/b.txt", "a_b.txt"}, {"a_b (2).txt", "a_b.txt"}},
      {"escape", {"x\x1b.txt", "x_.txt"}, {"x_ (2).txt", "x_.txt"}},
      {"no extension", {"README", "README"}, {"README", "README (2)"}},
      {"file and folder", {"Docs", "dir:Docs"}, {"Docs", "Docs (2)", "Docs (2)/inner"}},
      {"folder twins", {"dir:Docs", "dir:Docs"}, {"Docs", "Docs (2)", "Docs (2)/inner", "Docs/inner"}},
  };
  struct Keep : TSaveQuestions {
    TAnswer ReplaceFile(const std::string&) override { return TAnswer::No; }
    TAnswer EnterFolder(const std::string&) override { return TAnswer::All; }
  } questions;
  int run = 0;
  for (const TCase& c : cases) {
    TMemDir items;
    for (size_t i = 0; i < c.names.size(); ++i) {
      if (c.names[i].starts_with("dir:"))
        items.Dir(c.names[i].substr(4)).File("inner", "in" + std::to_string(i));
      else
        items.File(c.names[i], "item" + std::to_string(i));
    }
    for (const TOverwritePolicy policy : {TOverwritePolicy::None, TOverwritePolicy::All, TOverwritePolicy::Ask}) {
      const fs::path to = target / std::to_string(run++);
      fs::create_directory(to);
      TSaveOptions options;
      options.Target = to.string();
      options.Overwrite = policy;
      const TSaveReport r = SaveItems(ChildrenOf(items), options, questions, nullptr);
      std::vector<std::string> entries;
      for (auto& e : fs::recursive_directory_iterator(to)) entries.push_back(fs::relative(e.path(), to).string());
      std::sort(entries.begin(), entries.end());
      EXPECT_EQ(entries, c.saved) << c.label;
      EXPECT_TRUE(r.Ok()) << c.label;
      EXPECT_EQ(r.Skipped, 0u) << c.label;
      EXPECT_EQ(r.Renamed.size(), c.names.size() - 1) << c.label;
      // Every item's bytes arrived, under one name each.
      std::multiset<std::string> contents;
      for (auto& e : fs::recursive_directory_iterator(to))
        if (e.is_regular_file()) contents.insert(Read(e.path()));
      EXPECT_EQ(contents.size(), c.names.size()) << c.label;
      EXPECT_EQ(std::set<std::string>(contents.begin(), contents.end()).size(), c.names.size()) << c.label;
    }
  }
  // A file that was there before is the policy's: kept with None (the twin still arrives under the
  // next name), replaced with All; a second save into the same target finds both names taken.
  TMemDir twins;
  twins.File("dup.txt", "one");
  twins.File("dup.txt", "two");
  for (const auto& [policy, first, skipped] : {std::tuple{TOverwritePolicy::None, "mine", 1u},
                                               std::tuple{TOverwritePolicy::All, "one", 0u}}) {
    const fs::path to = target / (policy == TOverwritePolicy::All ? "there-all" : "there-none");
    fs::create_directory(to);
    std::ofstream(to / "dup.txt") << "mine";
    TSaveOptions options;
    options.Target = to.string();
    options.Overwrite = policy;
    TSaveReport r = SaveItems(ChildrenOf(twins), options, questions, nullptr);
    EXPECT_EQ(Read(to / "dup.txt"), first);
    EXPECT_EQ(Read(to / "dup (2).txt"), "two");
    EXPECT_EQ(r.Skipped, skipped);
    r = SaveItems(ChildrenOf(twins), options, questions, nullptr);
    EXPECT_EQ(r.Skipped, policy == TOverwritePolicy::All ? 0u : 2u);
    EXPECT_EQ(r.Files, policy == TOverwritePolicy::All ? 2u : 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(to), {}), 2);
  }
}

// A name longer than the 255 bytes Linux takes is shortened, keeping its extension and the item's
// number, and said in the report; two such names that start alike stay apart.
TEST_F(SaveEngine, ANameTooLongForTheTargetIsShortenedAndListed) {
  std::string longStem;
  for (int i = 0; i < 255; ++i) longStem += "\xE6\x96\x87";  // three bytes each
  top.File(longStem + ".txt", "first").FileMeta.Location = {TLocation::TKind::Cluster, 1234};
  top.File(longStem + "x.txt", "second").FileMeta.Location = {TLocation::TKind::Cluster, 77};
  const TSaveReport r = SaveInto(ChildrenOf(top), target);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Files, 2u);
  ASSERT_EQ(r.Renamed.size(), 2u);
  EXPECT_NE(r.Renamed[0].find("longer than the 255 bytes"), std::string::npos) << r.Renamed[0];
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(target)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) {
    EXPECT_LE(name.size(), 255u);
    EXPECT_TRUE(name.ends_with(".txt")) << name;
    EXPECT_TRUE(name.starts_with("\xE6\x96\x87")) << name;
  }
  EXPECT_NE(names[0].find("~1234.txt"), std::string::npos) << names[0];
  EXPECT_NE(names[1].find("~77.txt"), std::string::npos) << names[1];
  EXPECT_EQ(FittedName("short.txt", 5), "short.txt");
  EXPECT_EQ(NumberedName(std::string(300, 'a') + ".doc", 2).size(), 255u);
}

// Bytes a stream offers as lying in a plain file are copied by the kernel; the engine reads the
// rest, also where the kernel copies less than offered (the file ends first).
TEST_F(SaveEngine, PlainExtentsAreCopiedAndTheRestIsRead) {
  struct TPlainFile : TMemFile {
    int Fd = -1;
    uint64_t PlainUpTo = 0;  // bytes [0, PlainUpTo) are offered as extents of Fd at their own offset
    struct Stream : TMemFile::Stream {
      const TPlainFile& p;
      explicit Stream(const TPlainFile& file) : TMemFile::Stream(file), p(file) {}
      bool PlainExtent(TPlainExtent& e) override {
        if (pos >= p.PlainUpTo) return false;
        e = {p.Fd, pos, std::min<uint64_t>(p.PlainUpTo - pos, 1000)};
        return true;
      }
      void Skip(uint64_t n) override { pos += n; }
    };
    std::unique_ptr<TDataStream> OpenData(const TReadChoice&) override { return std::make_unique<Stream>(*this); }
  };
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += char('a' + i % 26);
  const fs::path backing = target / ".backing";
  std::ofstream(backing, std::ios::binary) << bytes.substr(0, 3000);  // shorter than what is offered
  const int fd = ::open(backing.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  // Partly plain, plain past the backing file's end, and whole but longer than the backing file.
  for (const uint64_t upTo : {uint64_t(2500), uint64_t(4000), uint64_t(5000)}) {
    auto f = std::make_unique<TPlainFile>();
    f->Name = "plain-" + std::to_string(upTo);
    f->Bytes = bytes;
    f->Size = bytes.size();
    f->Fd = fd;
    f->PlainUpTo = upTo;
    f->Parent = &top;
    top.Adopt(std::move(f));
  }
  fs::create_directory(target / "out");
  const TSaveReport r = SaveInto(ChildrenOf(top), target / "out");
  ::close(fd);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Bytes, 15000u);
  EXPECT_EQ(Read(target / "out" / "plain-2500"), bytes);
  EXPECT_EQ(Read(target / "out" / "plain-4000"), bytes);
  EXPECT_EQ(Read(target / "out" / "plain-5000"), bytes);
}

TEST_F(SaveEngine, NamesKeepEveryCharacterAndStayInsideTheTarget) {
  // "å" is a letter here: only FAT names carry it as the deleted-entry marker.
  const std::vector<std::string> names = {"Ελληνικά.txt", "Кириллица.txt", "中文名字.txt", "中文文件.txt",
                                          "\xF0\x9F\x98\x80 smile.txt", "Smörgåsbord.txt",
                                          "..", "a/b", std::string("nul\0x", 5)};
  for (size_t i = 0; i < names.size(); ++i) top.File(names[i], std::to_string(i));
  top.File("x", "").FileMeta.ReadOnly = true;
  const TSaveReport r = SaveInto(ChildrenOf(top), target);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Files, names.size() + 1);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Read(target / names[i]), std::to_string(i)) << names[i];
  EXPECT_EQ(Read(target / "_.."), "6");
  EXPECT_EQ(Read(target / "a_b"), "7");
  EXPECT_EQ(Read(target / "nul_x"), "8");
  struct stat st {};
  ASSERT_EQ(stat((target / "x").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

// ':' stays where the target's file system takes it and becomes '_' elsewhere, said in the report;
// an NTFS stream's name is one such. A replaced ':' may meet another item's name.
TEST_F(SaveEngine, AColonIsKeptWhereTheTargetTakesItAndReplacedAndSaidWhereNot) {
  top.File("notes:2024.txt", "1");
  top.File("x_y", "2");
  top.File("x:y", "3");
  TMemDir& folder = top.Dir("a:b");
  folder.File("report.doc", "4");
  folder.File("report.doc:Zone.Identifier", "5");
  struct TCase {
    TColonRule rule;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> renamed;  // path: words of its note
  };
  const std::vector<TCase> cases = {
      {TColonRule::Keep,
       {{"notes:2024.txt", "1"}, {"x_y", "2"}, {"x:y", "3"}, {"a:b/report.doc", "4"}, {"a:b/report.doc:Zone.Identifier", "5"}},
       {}},
      {TColonRule::Replace,
       {{"notes_2024.txt", "1"}, {"x_y", "2"}, {"x_y (2)", "3"}, {"a_b/report.doc", "4"}, {"a_b/report.doc_Zone.Identifier", "5"}},
       {{"notes_2024.txt", "has ':'"},
        {"x_y (2)", "has ':', which the target's file system does not take; another item of this save has the name x_y"},
        {"a_b", "has ':'"},
        {"a_b/report.doc_Zone.Identifier", "has ':'"}}},
  };
  for (const TCase& c : cases) {
    const fs::path out = target / (c.rule == TColonRule::Keep ? "keep" : "replace");
    fs::create_directory(out);
    ForceColonRule(c.rule);
    const TSaveReport r = SaveInto(ChildrenOf(top), out);
    ForceColonRule(std::nullopt);
    EXPECT_TRUE(r.Ok());
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(out))
      if (e.is_regular_file()) files[fs::relative(e.path(), out).string()] = Read(e.path());
    EXPECT_EQ(files, c.files);
    ASSERT_EQ(r.Renamed.size(), c.renamed.size());
    for (const std::string& line : r.Renamed) {
      const std::string path = line.substr(out.string().size() + 1, line.find(": ") - out.string().size() - 1);
      ASSERT_TRUE(c.renamed.count(path)) << line;
      EXPECT_NE(line.find(c.renamed.at(path)), std::string::npos) << line;
    }
  }
  // Asked of the folder itself: a file system not on the list (procfs) refuses; tmpfs takes ':'.
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(proc, 0);
  EXPECT_EQ(ColonRuleOf(proc), TColonRule::Replace);
  ::close(proc);
  const fs::path mounted = target / "tmpfs";
  fs::create_directory(mounted);
  if (::mount("salvex-test", mounted.c_str(), "tmpfs", 0, "size=64k") == 0) {
    const int fd = ::open(mounted.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(ColonRuleOf(fd), TColonRule::Keep);
    ::close(fd);
    ::umount(mounted.c_str());
  }
}

// A target without room for a file leaves that file out, names it, and goes on with the files that
// fit; a read-only target ends the save at its first failure, said once. Small tmpfs mounts stand in
// for the full and the read-only disk (where this process may mount).
TEST_F(SaveEngine, AFullTargetLeavesOutWhatDoesNotFitAndAReadOnlyOneStopsOnce) {
  const fs::path full = target / "full", readOnly = target / "ro";
  fs::create_directory(full);
  fs::create_directory(readOnly);
  if (::mount("salvex-test", full.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    fs::path p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmountFull{full};
  ASSERT_EQ(::mount("salvex-test", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k"), 0) << std::strerror(errno);
  Unmount unmountReadOnly{readOnly};

  top.File("first.txt", "small one");
  top.File("huge.bin", std::string(600 * 1024, 'h'));
  top.Dir("Sub").File("second.txt", "small two");
  top.File("big.bin", std::string(180 * 1024, 'b'));
  top.File("bigger.bin", std::string(180 * 1024, 'c'));  // fits no more once big.bin is there
  top.File("third.txt", "small three");
  TSaveReport r = SaveInto(ChildrenOf(top), full);
  EXPECT_FALSE(r.Stopped);
  EXPECT_EQ(r.Files, 4u);
  ASSERT_EQ(r.Failures.size(), 2u);
  EXPECT_EQ(r.Failures[0].Path, (full / "huge.bin").string());
  EXPECT_EQ(r.Failures[1].Path, (full / "bigger.bin").string());
  for (const TSaveFailure& f : r.Failures) EXPECT_EQ(f.Error.Errno, ENOSPC);
  EXPECT_EQ(Read(full / "third.txt"), "small three");
  EXPECT_EQ(Read(full / "Sub" / "second.txt"), "small two");
  std::vector<std::string> left;
  for (auto& e : fs::recursive_directory_iterator(full)) left.push_back(fs::relative(e.path(), full).string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Sub", "Sub/second.txt", "big.bin", "first.txt", "third.txt"}));

  r = SaveInto(ChildrenOf(top), readOnly);
  EXPECT_TRUE(r.Stopped);
  ASSERT_EQ(r.Failures.size(), 1u);
  EXPECT_EQ(r.Failures[0].Error.Errno, EROFS);
  EXPECT_EQ(r.Files, 0u);
}

// Paths resolve as the file systems compare names; find walks Deleted, Lost and Root once each.
TEST(Browse, ResolveAndFindOnRealVolumes) {
  TDeviceList devices;
  TDriveList drives;
  TCustomDrive* fat = OpenImageVolume(UnpackedImage("fat16.img.gz"), 0, devices, drives);
  ASSERT_TRUE(fat && PrepareVolume(*fat, nullptr));
  for (const char* path : {"Docs/Level2", "docs\\LEVEL2", "/DOCS/level2/"}) {
    auto r = ResolvePath(*fat, TTreeKind::Root, path);
    ASSERT_TRUE(r) << path << ": " << r.Error().Text();
    EXPECT_EQ(RowOf(*r.Value()).Path, "Docs/Level2") << path;
  }
  auto missing = ResolvePath(*fat, TTreeKind::Root, "Docs/Nope/x");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.Error().Kind, TErrorKind::NotFound);
  EXPECT_EQ(missing.Error().What, "Docs/Nope");

  TDeviceList ntfsDevices;
  TDriveList ntfsDrives;
  TCustomDrive* ntfs = OpenImageVolume(UnpackedImage("ntfs.img.gz"), 0, ntfsDevices, ntfsDrives);
  ASSERT_TRUE(ntfs && PrepareVolume(*ntfs, nullptr));
  std::map<std::string, int> seen;
  for (const TItemRow& hit : FindItems(*ntfs, "*"))
    if (!hit.Folder) ++seen[(hit.Tree == TTreeKind::Deleted ? "D:" : "R:") + hit.Path];
  for (const auto& [path, count] : seen) EXPECT_EQ(count, 1) << path;
  EXPECT_EQ(seen.count("R:Docs/notes.txt"), 1u);
  EXPECT_EQ(seen.count("D:Root-Deleted.bin") + seen.count("D:Docs/Gone.txt"), 2u);
}

// A name search over millions of entries must not keep the volume's folders: only those that hold
// a hit stay read (the rows point into them), and a streaming search keeps none.
TEST(NameSearch, KeepsOnlyTheFoldersThatHoldHits) {
  TDeviceList devices;
  TDriveList drives;
  TCustomDrive* fat = OpenImageVolume(UnpackedImage("fat32.img.gz"), 0, devices, drives);
  ASSERT_TRUE(fat && PrepareVolume(*fat, nullptr));
  auto folder = [&](const char* path) {
    auto r = ResolvePath(*fat, TTreeKind::Root, path);
    return r ? dynamic_cast<TCustomDirectory*>(r.Value()) : nullptr;
  };
  TCustomDirectory* docs = folder("Docs");
  TCustomDirectory* frag = folder("Frag");
  ASSERT_TRUE(docs && frag && !docs->Children && !frag->Children);
  const std::vector<TItemRow> hits = FindItems(*fat, "notes.txt");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(ShownName(*hits[0].Item), "notes.txt");
  EXPECT_TRUE(docs->Children.has_value());
  EXPECT_FALSE(frag->Children.has_value());
  EXPECT_FALSE(folder("Docs/Level2")->Children.has_value());

  size_t streamed = 0;
  StreamItems(*fat, "*", [&](const TItemRow&) { return ++streamed > 0; });
  EXPECT_FALSE(frag->Children.has_value());
  EXPECT_EQ(streamed, FindItems(*fat, "*").size());
}

}  // namespace
}  // namespace salvex::test
