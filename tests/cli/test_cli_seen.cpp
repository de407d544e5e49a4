// What users ran into on the command line, one case each: paths that find prints and save takes,
// cat, reasons in errors, skipped counts, target folders, usage errors, progress, report, body file.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "cli/CliHost.h"
#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct CliSeen : TempFolderTest {
  static std::string Demo() { return UnpackedImage("demo.img.gz").string(); }
  static std::string Fat16() { return UnpackedImage("fat16.img.gz").string(); }
};

TEST_F(CliSeen, FindPrintsPathsThatSaveAndCatTake) {
  auto manifest = ReadManifest(FixturePath("demo-fat-manifest.txt"));
  auto r = Cli({"find", Demo(), "old-plan*"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  ASSERT_EQ(Lines(r.Out).size(), 1u) << r.Out;
  const auto line = Lines(r.Out)[0];
  const auto tab1 = line.find('\t'), tab2 = line.rfind('\t');
  const std::string tree = line.substr(0, tab1), path = line.substr(tab1 + 1, tab2 - tab1 - 1);
  EXPECT_EQ(tree, "deleted");
  EXPECT_EQ(path, "Projects/Budget/Old-Plan.txt");
  auto save = Cli({"save", Demo(), "--tree", tree, "--to", dir.string(), path});
  ASSERT_EQ(save.ExitCode, 0) << save.Err;
  EXPECT_EQ(Sha256OfFile(dir / "Old-Plan.txt"), manifest["/Projects/Budget/Old-Plan.txt"].Sha256);
  // cat writes the same bytes; the path may use '\' and any letter case.
  auto cat = Cli({"cat", Demo(), "--deleted", "PROJECTS\\budget\\old-plan.TXT"});
  ASSERT_EQ(cat.ExitCode, 0) << cat.Err;
  EXPECT_EQ(Sha256OfBytes(cat.Out), manifest["/Projects/Budget/Old-Plan.txt"].Sha256);
  auto live = Cli({"cat", Demo(), "letters/invitation.txt"});
  EXPECT_EQ(Sha256OfBytes(live.Out), manifest["/Letters/Invitation.txt"].Sha256);
  auto folder = Cli({"cat", Demo(), "Letters"});
  EXPECT_EQ(folder.ExitCode, 1);
  EXPECT_NE(folder.Err.find("is a folder"), std::string::npos) << folder.Err;
}

TEST_F(CliSeen, CatReadsALostFileByThePathLsGives) {
  const std::string image = UnpackedImage("fat16-quickformat.img.gz").string();
  auto manifest = ReadManifest(FixturePath("fat16-quickformat-manifest.txt"));
  auto ls = Cli({"ls", image, "--tree", "lost", "-r", "--json"});
  ASSERT_EQ(ls.ExitCode, 0) << ls.Err;
  size_t compared = 0;
  const auto doc = nlohmann::json::parse(ls.Out);
  for (const auto& item : doc["items"]) {
    if (item["type"] != "file" || item["path"].get<std::string>().find('/') == std::string::npos) continue;
    EXPECT_EQ(item["state"], "lost");
    auto cat = Cli({"cat", image, "--tree", "lost", item["path"]});
    ASSERT_EQ(cat.ExitCode, 0) << cat.Err;
    bool known = false;
    for (const auto& [path, e] : manifest) known = known || (e.State == "lost" && e.Sha256 == Sha256OfBytes(cat.Out));
    EXPECT_TRUE(known) << item["path"];
    if (++compared == 3) break;
  }
  EXPECT_EQ(compared, 3u);
}

TEST_F(CliSeen, SaveTakesTheReadmesBackslashPathInAnyCase) {
  auto manifest = ReadManifest(FixturePath("fat16-manifest.txt"));
  auto r = Cli({"save", Fat16(), "--to", dir.string(), "docs\\LEVEL2\\Report.txt"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(Sha256OfFile(dir / "report.txt"), manifest["/Docs/Level2/report.txt"].Sha256);
}

TEST_F(CliSeen, TargetErrorsSayWhyAndNothingIsCreatedInVain) {
  std::ofstream(dir / "afile") << "x";
  auto file = Cli({"save", Fat16(), "--to", (dir / "afile" / "sub").string(), "readme.txt"});
  EXPECT_EQ(file.ExitCode, 1);
  EXPECT_NE(file.Err.find("is a file, not a folder"), std::string::npos) << file.Err;
  // A path that does not resolve creates no target folder.
  auto missing = Cli({"save", Fat16(), "--to", (dir / "new").string(), "no-such-file"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Err.find("no such file or folder"), std::string::npos) << missing.Err;
  EXPECT_FALSE(fs::exists(dir / "new"));
  // A mask that matches nothing: said so, exit 0, no folder.
  auto none = Cli({"undelete", Fat16(), "--to", (dir / "new" / "deeper").string(), "--mask", "*.nothing"});
  EXPECT_EQ(none.ExitCode, 0) << none.Err;
  EXPECT_NE(none.Err.find("no deleted file matches '*.nothing'"), std::string::npos) << none.Err;
  EXPECT_FALSE(fs::exists(dir / "new"));
  // A re-run keeps what is there and counts it as skipped; the two it cannot save whole still fail.
  auto first = Cli({"undelete", Fat16(), "--to", (dir / "u").string()});
  ASSERT_EQ(first.ExitCode, 1) << first.Err;  // two deleted files lost their first cluster to later ones
  auto again = Cli({"undelete", Fat16(), "--to", (dir / "u").string()});
  EXPECT_EQ(again.ExitCode, 1) << again.Err;
  EXPECT_NE(again.Out.find("saved: 0 files, 0 bytes, "), std::string::npos) << again.Out;
  EXPECT_EQ(again.Out.find(" 0 skipped"), std::string::npos) << again.Out;
  EXPECT_NE(again.Err.find("--overwrite all replaces them"), std::string::npos) << again.Err;
  // A read-only target folder: the system's reason and what to try.
  if (geteuid() != 0) {
    fs::create_directory(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    auto ro = Cli({"save", Fat16(), "--to", (dir / "ro").string(), "readme.txt"});
    EXPECT_EQ(ro.ExitCode, 1);
    EXPECT_NE(ro.Err.find("Permission denied"), std::string::npos) << ro.Err;
    EXPECT_NE(ro.Err.find("choose a --to folder"), std::string::npos) << ro.Err;
    fs::permissions(dir / "ro", fs::perms::owner_all);
  }
}

// A target that fills up leaves out each file it has no room for, names each one, and keeps the
// files that fit, later smaller ones included; nothing is kept in part and no temporary file stays.
// Needs a small tmpfs, so it runs where mounting works.
TEST_F(CliSeen, AFullTargetLeavesOutWhatDoesNotFitAndNamesEachFile) {
  const fs::path small = dir / "small";
  fs::create_directory(small);
  if (RunCommand({"mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", small.string()}).ExitCode != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  auto r = Cli({"save", UnpackedImage("ntfs.img.gz").string(), "--quiet", "--to", (small / "out").string(), "/"});
  std::vector<std::string> tempFiles, partial;
  size_t saved = 0;
  for (auto& e : fs::recursive_directory_iterator(small)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".salvex-", 0) == 0) tempFiles.push_back(name);
    if (e.path().extension() == ".partial") partial.push_back(name);
    saved += e.is_regular_file();
  }
  RunCommand({"umount", small.string()});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  size_t said = 0;
  for (size_t at = r.Err.find("No space left on device"); at != std::string::npos;
       at = r.Err.find("No space left on device", at + 1))
    ++said;
  EXPECT_GT(said, 1u) << r.Err;
  EXPECT_NE(r.Out.find(" " + std::to_string(said) + " failed"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("saved: " + std::to_string(saved) + " files"), std::string::npos) << r.Out;
  EXPECT_GT(saved, 0u);
  // What to do is said once, not with every file.
  EXPECT_EQ(r.Err.find("free some space"), r.Err.rfind("free some space")) << r.Err;
  EXPECT_TRUE(partial.empty()) << partial.front();
  EXPECT_TRUE(tempFiles.empty()) << tempFiles.front();
}

TEST_F(CliSeen, UsageErrorsExit2AndNameTheProblem) {
  struct Case {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::vector<Case> cases = {
      {{"ls", Fat16(), "--volume", "-1"}, "'-1' is not a volume index"},
      {{"ls", Fat16(), "--volume", "x"}, "'x' is not a volume index"},
      {{"frobnicate", Fat16()}, "unknown command 'frobnicate'"},
      {{}, "a command is required"},
      {{"lost-data", Fat16(), "--fat", "0"}, "--fat"},
      {{"lost-drives", Fat16(), "--first", "-5"}, "'-5' is not a sector number"},
      {{"lost-drives", Fat16(), "--on-read-error", "skip"}, "'skip' is not abort, ignore or retry=N"},
      {{"save", Fat16(), "--to", "x", "--fat", "2", "--tree", "nowhere", "/"}, "--tree takes root, deleted or lost"},
      {{"save", UnpackedImage("ntfs.img.gz").string(), "--to", "x", "--fat", "1", "/"}, "FAT volumes only"},
  };
  for (const Case& c : cases) {
    auto r = Cli(c.Args);
    EXPECT_EQ(r.ExitCode, 2) << ::testing::PrintToString(c.Args) << r.Err;
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
    EXPECT_LE(Lines(r.Err).size(), 2u) << r.Err;
  }
  EXPECT_FALSE(fs::exists("x"));
}

TEST_F(CliSeen, HelpShowsOnlyWhatACommandUsesWithAnExample) {
  auto find = Cli({"find", "--help"});
  EXPECT_EQ(find.Out.find("(2x)"), std::string::npos) << find.Out;
  EXPECT_NE(find.Out.find("MASK"), std::string::npos) << find.Out;
  auto ls = Cli({"ls", "--help"});
  EXPECT_EQ(ls.Out.find("--allow-examined-device"), std::string::npos);
  EXPECT_EQ(ls.Out.find("--to"), std::string::npos);
  for (const char* command : {"devices", "partitions", "volumes", "lost-drives", "ls", "cat", "find", "lost-data", "save",
                              "undelete", "mount"}) {
    auto help = Cli({command, "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Out.find("Example:\n  salvex-cli " + std::string(command)), std::string::npos) << help.Out;
  }
  // --volume defaults to 0 everywhere.
  EXPECT_EQ(Cli({"ls", Fat16()}).ExitCode, 0);
  EXPECT_EQ(Cli({"find", Fat16(), "*.txt"}).ExitCode, 0);
}

TEST_F(CliSeen, BashCompletionOffersWhatEachCommandTakes) {
  for (const char* command : {"devices", "partitions", "volumes", "lost-drives", "ls", "cat", "find", "lost-data", "save",
                              "undelete", "mount"}) {
    const std::string script = "source '" SALVEX_SOURCE_DIR "/docs/salvex-cli.bash'; COMP_WORDS=(salvex-cli " +
                               std::string(command) + " img --); COMP_CWORD=3; _salvex_cli; echo \"${COMPREPLY[@]}\"";
    auto offered = RunCommand({"bash", "-c", script});
    ASSERT_EQ(offered.ExitCode, 0) << offered.Err;
    const auto help = Cli({command, "--help"}).Out;
    std::istringstream words(offered.Out);
    size_t count = 0;
    for (std::string option; words >> option; ++count)
      EXPECT_NE(help.find(option), std::string::npos) << command << " does not take " << option;
    EXPECT_GT(count, 2u) << command;
  }
}

TEST_F(CliSeen, ReportHoldsEachFilesHashAndFailure) {
  auto manifest = ReadManifest(FixturePath("demo-fat-manifest.txt"));
  const auto report = dir / "report.json";
  auto r = Cli({"undelete", Demo(), "--to", (dir / "out").string(), "--report", report.string()});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  std::ifstream in(report);
  const auto doc = nlohmann::json::parse(in);
  size_t checked = 0;
  for (const auto& f : doc["report"]["files"]) {
    EXPECT_EQ(f["status"], "saved");
    EXPECT_EQ(f["sha256"], Sha256OfFile(f["saved_as"].get<std::string>()));
    for (const auto& [path, e] : manifest)
      if (e.Sha256 == f["sha256"]) {
        EXPECT_EQ(e.State, "deleted") << path;
        EXPECT_EQ(f["size"], e.Size);
        ++checked;
      }
  }
  EXPECT_EQ(checked, 3u) << doc.dump(1);
  // A second run into the same folder reports the files as skipped, with no hash.
  auto again = Cli({"undelete", Demo(), "--to", (dir / "out").string(), "--report", report.string()});
  std::ifstream in2(report);
  const auto doc2 = nlohmann::json::parse(in2);
  EXPECT_EQ(doc2["report"]["skipped"], 3);
  for (const auto& f : doc2["report"]["files"]) {
    EXPECT_EQ(f["status"], "skipped");
    EXPECT_TRUE(f["sha256"].is_null());
  }
}

TEST_F(CliSeen, BodyFileIsReadByMactime) {
  if (!HaveTool("mactime")) GTEST_SKIP() << "mactime (sleuthkit) is not installed";
  auto body = Cli({"ls", Demo(), "--bodyfile"});
  ASSERT_EQ(body.ExitCode, 0) << body.Err;
  const auto file = dir / "body.txt";
  std::ofstream(file) << body.Out;
  auto timeline = RunCommand({"mactime", "-b", file.string(), "-d", "-z", "UTC"});
  ASSERT_EQ(timeline.ExitCode, 0) << timeline.Err;
  EXPECT_NE(timeline.Out.find("/Letters/Invitation.txt"), std::string::npos) << timeline.Out;
  EXPECT_NE(timeline.Out.find("Old-Plan.txt (deleted)"), std::string::npos) << timeline.Out;
  EXPECT_NE(timeline.Out.find(",1400,m..."), std::string::npos) << timeline.Out;
}

TEST_F(CliSeen, DevicesShowPathsAndVolumesSuggestLostDrives) {
  auto devices = Cli({"devices", Demo()});
  EXPECT_NE(devices.Out.find(Demo()), std::string::npos) << devices.Out;
  auto volumes = Cli({"volumes", UnpackedImage("lost-mbr-zeroed.img.gz").string()});
  EXPECT_EQ(volumes.ExitCode, 0);
  EXPECT_NE(volumes.Err.find("'salvex-cli lost-drives'"), std::string::npos) << volumes.Err;
}

TEST_F(CliSeen, ACompressedImageIsNamedAsSuch) {
  auto r = Cli({"volumes", FixturePath("fat12.img.gz").string()});
  EXPECT_NE(r.Err.find("is a compressed file, not a disk image: unpack it first (gzip -dk)"), std::string::npos) << r.Err;
  EXPECT_EQ(Cli({"volumes", Fat16()}).Err.find("compressed"), std::string::npos);
}

TEST_F(CliSeen, NoProgressWhenStderrIsNoTerminal) {
  auto r = Cli({"lost-data", UnpackedImage("fat16-quickformat.img.gz").string()});
  ASSERT_EQ(r.ExitCode, 0);
  EXPECT_EQ(r.Err.find('\r'), std::string::npos);
  EXPECT_EQ(r.Err.find('%'), std::string::npos);
}

// Ctrl-C cancels the command's work the next time it looks (saving then keeps what it saved and
// prints its summary); the handler is gone after one signal, so a second one ends the program.
TEST(CliInterrupt, CtrlCCancelsTheWorkOnceAndASecondIsLeftToTheSystem) {
  salvex::cli::TCliHost host;
  salvex::TStatusDialog status;
  host.Status = &status;
  salvex::cli::CatchInterrupts();
  host.ProcessMessages();
  EXPECT_FALSE(status.Cancelled);
  raise(SIGINT);
  host.ProcessMessages();
  EXPECT_TRUE(status.Cancelled);
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  salvex::cli::CatchInterrupts();  // leaves no interruption behind for other tests in this process
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

TEST(CliProgressLine, BarPercentRateAndTimeLeftFitTheWidth) {
  using salvex::cli::ProgressLine;
  EXPECT_EQ(ProgressLine(42, 12.5e6, "B", 95, "Saving", 80), "[########............]  42%  12.5 MB/s  1:35 left  Saving");
  EXPECT_EQ(ProgressLine(100, 2500, "sectors", 0, "", 80), "[####################] 100%  2.5k sectors/s  0:00 left");
  EXPECT_EQ(ProgressLine(-1, -1, "B", -1, "Reading", 80), "Reading");
  EXPECT_EQ(ProgressLine(5, -1, "B", 7300, "", 80), "[#...................]   5%  2:01:40 left");
  // Cut on a character, not inside one.
  EXPECT_EQ(ProgressLine(-1, -1, "B", -1, "Größe", 3), "Grö");
}

}  // namespace
}  // namespace salvex::test
