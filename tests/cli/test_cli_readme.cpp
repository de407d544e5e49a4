// Runs every command of the README's command-line section on the demo image, so that the README
// cannot go stale: each must succeed, and --json output must follow the schema.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/SchemaCheck.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> ReadmeCommands() {
  std::ifstream in(SALVEX_SOURCE_DIR "/README.md");
  std::vector<std::string> commands;
  bool section = false, code = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) section = line == "## The command line";
    if (!section) continue;
    if (line.rfind("```", 0) == 0) {
      code = !code;
      continue;
    }
    if (code && line.rfind("build/salvex-cli ", 0) == 0) {
      // The comment after the command is for the reader.
      const auto comment = line.find("  # ");
      commands.push_back(comment == std::string::npos ? line : line.substr(0, comment));
    }
  }
  return commands;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

TEST(CliReadme, EveryCommandRuns) {
  const auto commands = ReadmeCommands();
  ASSERT_GE(commands.size(), 8u);
  char tmpl[] = "/tmp/salvex-cli-readme-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  const std::string image = UnpackedImage("demo.img.gz").string();
  for (std::string command : commands) {
    const std::string shown = command;
    ReplaceAll(command, "build/salvex-cli", SALVEX_CLI_PATH);
    ReplaceAll(command, "build/demo.img", image);
    const CommandResult r = RunCommand({"/bin/sh", "-c", "cd '" + dir.string() + "' && " + command});
    EXPECT_EQ(r.ExitCode, 0) << shown << "\n" << r.Err;
    if (command.find("--json") != std::string::npos) {
      const auto violations = SchemaViolations(CliSchema(), nlohmann::json::parse(r.Out));
      EXPECT_TRUE(violations.empty()) << shown << ::testing::PrintToString(violations);
    }
  }
  EXPECT_TRUE(fs::exists(dir / "out" / "Invitation.txt"));
  EXPECT_GT(fs::file_size(dir / "Old-Plan.txt"), 0u);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace salvex::test
