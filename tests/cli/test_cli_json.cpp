// Every command's --json output and every --report file follow docs/salvex-cli.schema.json, with the
// same keys for FAT and NTFS volumes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/SchemaCheck.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

struct JsonCase {
  const char* Name;
  const char* Image;
  std::vector<std::string> Args;  // after the command and image; "@TO" is a fresh target folder
  const char* ListKey;            // the key that must hold at least one element
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.Name; }

class CliJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(CliJson, OutputFollowsTheSchema) {
  const JsonCase& c = GetParam();
  char tmpl[] = "/tmp/salvex-cli-json-XXXXXX";
  const fs::path target = mkdtemp(tmpl);
  const fs::path report = target / "report.json";
  std::vector<std::string> argv{SALVEX_CLI_PATH};
  bool saving = false;
  for (const std::string& a : c.Args) {
    if (a == "@TO") {
      argv.push_back((target / "out").string());
      saving = true;
    } else if (a == "@IMAGE") {
      argv.push_back(UnpackedImage(c.Image).string());
    } else {
      argv.push_back(a);
    }
  }
  argv.push_back("--json");
  if (saving) {
    argv.push_back("--report");
    argv.push_back(report.string());
  }
  const CommandResult r = RunCommand(argv);
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const auto doc = nlohmann::json::parse(r.Out);
  const auto violations = SchemaViolations(CliSchema(), doc);
  EXPECT_TRUE(violations.empty()) << ::testing::PrintToString(violations);
  const std::string key = c.ListKey;
  const auto& list = key == "files" ? doc["report"]["files"] : doc[key];
  ASSERT_TRUE(list.is_array()) << r.Out;
  EXPECT_FALSE(list.empty()) << r.Out;
  if (saving) {
    // The report file is the same document.
    std::ifstream in(report);
    const auto written = nlohmann::json::parse(in);
    EXPECT_EQ(written, doc);
  }
  std::error_code ec;
  fs::remove_all(target, ec);
}

const JsonCase kCases[] = {
    {"devices", "demo.img.gz", {"devices", "@IMAGE"}, "devices"},
    {"partitions", "mbr-extended.img.gz", {"partitions", "@IMAGE"}, "partitions"},
    {"volumes", "demo.img.gz", {"volumes", "@IMAGE"}, "volumes"},
    {"lost_drives", "lost-mbr-zeroed.img.gz", {"lost-drives", "@IMAGE"}, "volumes"},
    {"ls_fat", "fat16.img.gz", {"ls", "@IMAGE", "-r"}, "items"},
    {"ls_fat_deleted", "fat16.img.gz", {"ls", "@IMAGE", "--deleted", "-r"}, "items"},
    {"ls_ntfs", "ntfs.img.gz", {"ls", "@IMAGE", "-r"}, "items"},
    {"ls_ntfs_deleted", "ntfs.img.gz", {"ls", "@IMAGE", "--tree", "deleted", "-r"}, "items"},
    {"find", "demo.img.gz", {"find", "@IMAGE", "--volume", "1", "*"}, "items"},
    {"lost_data", "fat16-quickformat.img.gz", {"lost-data", "@IMAGE"}, "items"},
    {"lost_data_save", "fat16-quickformat.img.gz", {"lost-data", "@IMAGE", "--to", "@TO"}, "files"},
    {"save_fat", "fat16.img.gz", {"save", "@IMAGE", "--to", "@TO", "/"}, "files"},
    {"save_ntfs", "ntfs.img.gz", {"save", "@IMAGE", "--to", "@TO", "/"}, "files"},
    {"undelete_fat", "demo.img.gz", {"undelete", "@IMAGE", "--to", "@TO"}, "files"},
    {"undelete_ntfs", "demo.img.gz", {"undelete", "@IMAGE", "--volume", "1", "--to", "@TO"}, "files"},
};

INSTANTIATE_TEST_SUITE_P(Commands, CliJson, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.Name); });

TEST(CliJsonSchema, TheCheckerRejectsWhatTheSchemaForbids) {
  const nlohmann::json good = {{"command", "volumes"}, {"volumes", nlohmann::json::array()}};
  EXPECT_TRUE(SchemaViolations(CliSchema(), good).empty());
  const nlohmann::json item = {{"fs", "FAT16"}, {"volume", 0}, {"tree", "root"}, {"path", "a"}, {"name", "a"},
                               {"type", "file"}, {"size", 3}, {"modified", "2021-03-06T05:09:00Z"}, {"inode", 5},
                               {"inode_kind", "cluster"}, {"state", "live"}, {"condition", nullptr},
                               {"attributes", 32}};
  EXPECT_TRUE(SchemaViolations(CliSchema(), {{"command", "ls"}, {"items", {item}}}).empty());
  auto bad = item;
  bad["size"] = "3";          // a number as text
  bad["modified"] = "06.03.2021";  // not ISO 8601
  bad["extra"] = true;        // a key outside the schema
  bad.erase("state");
  EXPECT_EQ(SchemaViolations(CliSchema(), {{"command", "ls"}, {"items", {bad}}}).size(), 4u);
  EXPECT_EQ(SchemaViolations(CliSchema(), {{"command", "rm"}}).size(), 1u);
}

}  // namespace
}  // namespace salvex::test
