// Saving again into a folder that holds an earlier save, and the words of argument errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

using CliRerun = TempFolderTest;

// reused-exfat: of its six deleted files three are whole and three have clusters that other files
// hold now (saved, and counted partial). A file this run cannot save whole is never a success,
// whatever the overwrite policy keeps under its name.
TEST_F(CliRerun, AFileNotWholeIsNeverASuccessWhateverThePolicyKeeps) {
  const std::string image = UnpackedImage("reused-exfat.img.gz").string();
  // fat16 cut short: Frag/A.bin's data runs past the end, so it is kept as A.bin.partial.
  const fs::path cut = dir / "cut.img";
  {
    std::ifstream in(UnpackedImage("fat16.img.gz"), std::ios::binary);
    std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
    bytes.resize(390 * 512);
    std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  struct TRun {
    std::vector<std::string> Args;  // the target folder is added
    std::string Summary;
    int Exit;
  };
  struct TCase {
    const char* Name;
    std::map<std::string, std::string> Before;  // in the target before the first run
    std::vector<TRun> Runs;
    bool Replaced = false;  // the runs replace what was there before
  };
  const std::string kept = "the file already there under this name was kept";
  const std::vector<TCase> cases = {
      {"rerun",
       {},
       {{{"undelete", image}, "saved: 3 files, 61440 bytes, 0 skipped (existing kept), 3 partial, 0 failed", 1},
        {{"undelete", image}, "saved: 0 files, 0 bytes, 3 skipped (existing kept), 0 partial, 3 failed", 1},
        {{"undelete", image, "--overwrite", "all"},
         "saved: 3 files, 61440 bytes, 0 skipped (existing kept), 3 partial, 0 failed", 1}}},
      {"whole files only",
       {},
       {{{"undelete", image, "--mask", "intact.bin"}, "saved: 1 files, 8192 bytes, 0 skipped (existing kept), 0 partial, 0 failed", 0},
        {{"undelete", image, "--mask", "intact.bin"}, "saved: 0 files, 0 bytes, 1 skipped (existing kept), 0 partial, 0 failed", 0}}},
      {"whole copy there",
       {{"Old/frag-taken.bin", "a whole copy"}},
       {{{"undelete", image}, "saved: 3 files, 49152 bytes, 0 skipped (existing kept), 2 partial, 1 failed", 1}}},
      {"save by path",
       {},
       {{{"save", image, "--deleted", "/Old/contig-taken.bin"},
         "saved: 0 files, 12288 bytes, 0 skipped (existing kept), 1 partial, 0 failed", 1},
        {{"save", image, "--deleted", "/Old/contig-taken.bin"},
         "saved: 0 files, 0 bytes, 0 skipped (existing kept), 0 partial, 1 failed", 1}}},
      {"earlier partial kept",
       {{"A.bin.partial", "an earlier copy"}},
       {{{"save", cut.string(), "/Frag/A.bin"}, "saved: 0 files, 0 bytes, 0 skipped (existing kept), 0 partial, 1 failed", 1}}},
      {"earlier partial replaced",
       {{"A.bin.partial", "an earlier copy"}},
       {{{"save", cut.string(), "/Frag/A.bin", "--overwrite", "all"},
         "saved: 0 files, 0 bytes, 0 skipped (existing kept), 1 partial, 0 failed", 1}},
       true},
  };
  for (const TCase& c : cases) {
    const fs::path out = dir / c.Name;
    for (const auto& [path, text] : c.Before) {
      fs::create_directories((out / path).parent_path());
      std::ofstream(out / path, std::ios::binary) << text;
    }
    for (size_t i = 0; i < c.Runs.size(); ++i) {
      std::vector<std::string> args = c.Runs[i].Args;
      args.insert(args.end(), {"--to", out.string(), "--quiet"});
      const CommandResult r = Cli(args);
      EXPECT_EQ(Lines(r.Out), std::vector<std::string>{c.Runs[i].Summary}) << c.Name << " run " << i << ": " << r.Err;
      EXPECT_EQ(r.ExitCode, c.Runs[i].Exit) << c.Name << " run " << i << ": " << r.Err;
      // A failure for a kept file says why, and that the file there is not this save's copy.
      const bool keptAndFailed = c.Runs[i].Summary.find(" 0 failed") == std::string::npos;
      EXPECT_EQ(r.Err.find(kept) != std::string::npos, keptAndFailed) << c.Name << " run " << i << ": " << r.Err;
    }
    for (const auto& [path, text] : c.Before) EXPECT_EQ(Slurp(out / path) == text, !c.Replaced) << c.Name;
  }
}

TEST_F(CliRerun, ArgumentErrorsSayWhatTheWordIs) {
  const std::string image = UnpackedImage("reused-exfat.img.gz").string();
  const std::string to = (dir / "out").string();
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;  // the whole line on stderr
  };
  const std::vector<TCase> cases = {
      {{"undelete", image, "-o", to},
       "salvex-cli undelete: unknown option '-o'; did you mean --to? (salvex-cli undelete --help)"},
      {{"undelete", image, to},
       "salvex-cli undelete: one IMAGE is expected; '" + to +
           "' is a second one; a target folder goes after --to (salvex-cli undelete --help)"},
      {{"save", image, "-to", to, "/"}, "salvex-cli save: unknown option '-to'; did you mean --to? (salvex-cli save --help)"},
      {{"undelete", image, "--to", to, "--overwirte", "all"},
       "salvex-cli undelete: unknown option '--overwirte'; did you mean --overwrite? (salvex-cli undelete --help)"},
      {{"ls", image, "--volum", "0"}, "salvex-cli ls: unknown option '--volum'; did you mean --volume? (salvex-cli ls --help)"},
      {{"ls", image, "--to", to}, "salvex-cli ls: unknown option '--to' (salvex-cli ls --help)"},
      {{"cat", image, "a", "b"},
       "salvex-cli cat: one IMAGE and one PATH are expected; 'b' is one too many (salvex-cli cat --help)"},
      // Errors the parser already words well stay its own.
      {{"ls", image, "--volume", "x"}, "salvex-cli ls: --volume: 'x' is not a volume index (0, 1, ... as 'salvex-cli volumes' lists them) (salvex-cli ls --help)"},
  };
  for (const TCase& c : cases) {
    const CommandResult r = Cli(c.Args);
    EXPECT_EQ(r.ExitCode, 2) << c.Says;
    EXPECT_EQ(Lines(r.Err), std::vector<std::string>{c.Says});
  }
  EXPECT_FALSE(fs::exists(to));
}

}  // namespace
}  // namespace salvex::test
