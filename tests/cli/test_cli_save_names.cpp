// Saving as a user runs it: deleted twins on real FAT and exFAT volumes all arrive under their own
// names, an unreadable folder fails the command, a report that cannot be written is said first.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/Cli.h"
#include "cli/SchemaCheck.h"
#include "fat/FatImage.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    files[fs::relative(e.path(), root).string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

using CliSaveNames = TempFolderTest;

TEST_F(CliSaveNames, DeletedTwinsAllArriveUnderTheirOwnNamesAndARerunKeepsThem) {
  struct TCase {
    const char* image;
    std::map<std::string, std::string> files;
  };
  const std::vector<TCase> cases = {
      {"save-names-fat.img.gz",
       {{"_ONE.TXT", "AONE 1\n"}, {"_ONE (2).TXT", "BONE 2\n"}, {"_OCS/_OTE.TXT", "NOTE 3\n"}, {"_OCS (2)", "YOCS 4\n"}}},
      {"save-names-exfat.img.gz",
       {{"Work/report.doc", "report.doc 1\n"}, {"Work/report (2).doc", "report.doc 2\n"},
        {"Work/report (3).doc", "report.doc 3\n"}}},
  };
  for (const TCase& c : cases) {
    const fs::path out = dir / c.image;  // does not exist before the save
    const std::string image = UnpackedImage(c.image).string();
    CommandResult r = Cli({"undelete", image, "--to", out.string(), "--json"});
    ASSERT_EQ(r.ExitCode, 0) << c.image << ": " << r.Err;
    EXPECT_EQ(Tree(out), c.files) << c.image;
    const nlohmann::json doc = nlohmann::json::parse(r.Out);
    EXPECT_EQ(SchemaViolations(CliSchema(), doc), std::vector<std::string>{}) << c.image;
    EXPECT_EQ(doc["report"]["saved"], c.files.size()) << c.image;
    EXPECT_EQ(doc["report"]["skipped"], 0) << c.image;
    size_t renamed = 0;
    for (const auto& f : doc["report"]["files"]) renamed += f.contains("renamed");
    EXPECT_EQ(renamed, 2u) << c.image;
    // Again into the same folder: every name is there from before, the policy decides for each.
    for (const char* policy : {"all", "none"}) {
      r = Cli({"undelete", image, "--to", out.string(), "--overwrite", policy});
      EXPECT_EQ(r.ExitCode, 0) << c.image << " " << policy << ": " << r.Err;
      EXPECT_EQ(Tree(out), c.files) << c.image << " " << policy;
      const std::string skipped = std::string(policy) == "all" ? " 0 skipped" : " " + std::to_string(c.files.size()) + " skipped";
      EXPECT_NE(r.Out.find(skipped), std::string::npos) << r.Out;
    }
  }
}

TEST_F(CliSaveNames, AReportThatCannotBeWrittenIsSaidBeforeTheSearch) {
  const std::string image = UnpackedImage("save-names-fat.img.gz").string();
  const CommandResult r = Cli({"lost-data", image, "--to", (dir / "out").string(), "--report",
                              (dir / "missing" / "r.json").string()});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find("cannot write the report"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "");  // nothing listed: the search did not run
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(Cli({"lost-data", image, "--report", (dir / "r.json").string()}).ExitCode, 2);
}

// salvex-cli run in this process over an in-memory image whose folder DOCS cannot be read.
struct InProcess : TempFolderTest {
  FatImage img{FatGeometry{}};
  ScopedFakeIO fake;

  InProcess() {
    img.MakeDirCluster(5, 0);
    img.Chain({5});
    img.AddToDir(0, FatImage::Record("DOCS       ", 0x10, 5, 0));
    img.AddToDir(0, FatImage::Record("HELLO   TXT", 0x20, 6, 5));
    img.AddToDir(5, FatImage::Record("NOTE    TXT", 0x20, 7, 3));
    img.Chain({6});
    img.Chain({7});
    std::memcpy(img.Cluster(6), "hello", 5);
    fake.io.images["/img/fat"].bytes = img.bytes;
    fake.io.images["/img/fat"].badSectors.insert(img.FirstDataSector() + 3);  // DOCS, cluster 5
  }

  CommandResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), "salvex-cli");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    CommandResult r;
    std::fflush(stdout);
    const fs::path out = dir / "stdout", err = dir / "stderr";
    const int savedOut = ::dup(1), savedErr = ::dup(2);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    r.ExitCode = cli::RunCli(int(argv.size()), argv.data());
    std::fflush(stdout);
    std::cout.flush();
    std::cerr.flush();
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    for (int fd : {o, e, savedOut, savedErr}) ::close(fd);
    auto slurp = [](const fs::path& p) {
      std::ifstream in(p);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    r.Out = slurp(out);
    r.Err = slurp(err);
    return r;
  }
};

TEST_F(InProcess, AnUnreadableFolderFailsLsAndSaveAndIsNamed) {
  CommandResult r = Run({"ls", "/img/fat", "--as", "drive", "-r", "-q"});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_NE(r.Err.find("DOCS: the folder could not be read"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("HELLO.TXT"), std::string::npos) << r.Out;

  const fs::path out = dir / "out";
  r = Run({"save", "/img/fat", "--as", "drive", "/", "--to", out.string(), "--json", "-q"});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  const nlohmann::json doc = nlohmann::json::parse(r.Out);
  EXPECT_EQ(SchemaViolations(CliSchema(), doc), std::vector<std::string>{});
  EXPECT_EQ(doc["report"]["failed_folders"], 1);
  EXPECT_EQ(doc["report"]["saved"], 1);
  ASSERT_EQ(doc["report"]["other_failures"].size(), 1u);
  EXPECT_EQ(doc["report"]["other_failures"][0]["what"], "DOCS");
  EXPECT_EQ(doc["report"]["other_failures"][0]["kind"], "read-error");

  r = Run({"save", "/img/fat", "--as", "drive", "/", "--to", (dir / "text").string(), "-q"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Out.find("0 failed, 1 folder(s) unreadable"), std::string::npos) << r.Out;
}

}  // namespace
}  // namespace salvex::test
