#pragma once
// salvex-cli run as a user runs it, and tests whose files go into a folder of their own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/Fixtures.h"

namespace salvex::test {

inline CommandResult Cli(std::vector<std::string> args) {
  args.insert(args.begin(), SALVEX_CLI_PATH);
  return RunCommand(args);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A fresh folder below /tmp for the test's files, removed with everything in it afterwards.
struct TempFolderTest : ::testing::Test {
  std::filesystem::path dir;
  TempFolderTest() {
    char tmpl[] = "/tmp/salvex-test-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~TempFolderTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace salvex::test
