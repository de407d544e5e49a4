// GNU ddrescue mapfiles: what is read, what is refused, and what is written back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/RescueMap.h"

namespace salvex::test {
namespace {

struct MapCase {
  const char* name;
  const char* text;
  const char* error;  // nullptr: parses
  const char* blocks;  // "pos size status;..." as parsed and merged
  const char* current;  // "pos status pass"
};

std::string Describe(const TRescueMap& map) {
  std::string out;
  for (const TRescueBlock& b : map.Blocks())
    out += std::to_string(b.Pos) + " " + std::to_string(b.Size) + " " + b.Status + ";";
  return out;
}

TEST(RescueMap, ParsesWhatDdrescueWritesAndRefusesWhatItWouldNot) {
  const MapCase cases[] = {
      {"ddrescue 1.27",
       "# Mapfile. Created by GNU ddrescue version 1.27\n# Command line: ddrescue -r3 /dev/sdb a.img a.map\n"
       "# Start time:   2024-01-01 10:00:00\n# current_pos  current_status  current_pass\n"
       "0x00100000     *               1\n#      pos        size  status\n"
       "0x00000000  0x00100000  +\n0x00100000  0x00000200  -\n0x00100200  0x00001E00  /\n"
       "0x00102000  0x00001000  *\n0x00103000  0x00EFD000  ?\n",
       nullptr, "0 1048576 +;1048576 512 -;1049088 7680 /;1056768 4096 *;1060864 15716352 ?;", "1048576 * 1"},
      {"old map without a pass, decimal numbers, no comments", "0 +\n0 4096 +\n4096 512 -\n", nullptr,
       "0 4096 +;4096 512 -;", "0 + 1"},
      {"neighbours of one status are merged", "0x0 ? 2\n0x0 0x200 +\n0x200 0x200 +\n0x400 0x200 ?\n", nullptr,
       "0 1024 +;1024 512 ?;", "0 ? 2"},
      {"trailing comments and blank lines", "\n0x0 + # done\n\n0x0 0x400 + # all\n", nullptr, "0 1024 +;", "0 + 1"},
      {"empty", "", "not a mapfile", nullptr, nullptr},
      {"only comments", "# nothing\n", "not a mapfile", nullptr, nullptr},
      {"gap between blocks", "0 ?\n0 512 +\n1024 512 +\n", "line 3: block at 1024 does not follow", nullptr, nullptr},
      {"overlap", "0 ?\n0 1024 +\n512 512 -\n", "line 3: block at 512 does not follow", nullptr, nullptr},
      {"unknown block status", "0 ?\n0 512 x\n", "line 2: expected 'pos size status'", nullptr, nullptr},
      {"negative size", "0 ?\n0 -512 +\n", "line 2: expected", nullptr, nullptr},
      {"zero size", "0 ?\n0 0 +\n", "line 2: block size 0", nullptr, nullptr},
      {"size past 2^64", "0 ?\n0x10 0xFFFFFFFFFFFFFFFF +\n", "line 2: block at 16 does not follow", nullptr, nullptr},
      {"garbage status line", "hello world\n", "line 1: expected 'current_pos", nullptr, nullptr},
      {"unknown phase", "0 Q\n", "line 1: unknown current status 'Q'", nullptr, nullptr},
      {"number with junk", "0 ?\n0x200z 512 +\n", "line 2: expected", nullptr, nullptr},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRescueMap map;
    std::string why;
    const bool ok = TRescueMap::Parse(c.text, map, why);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_NE(why.find(c.error), std::string::npos) << why;
      continue;
    }
    ASSERT_TRUE(ok) << why;
    EXPECT_EQ(Describe(map), c.blocks);
    EXPECT_EQ(std::to_string(map.CurrentPos) + " " + map.CurrentStatus + " " + std::to_string(map.CurrentPass),
              c.current);
    // What we write reads back as the same map.
    TRescueMap again;
    ASSERT_TRUE(TRescueMap::Parse(map.Format({"round trip"}), again, why)) << why;
    EXPECT_EQ(Describe(again), c.blocks);
    EXPECT_EQ(again.CurrentStatus, map.CurrentStatus);
  }
}

TEST(RescueMap, SettingRangesSplitsAndMergesAsTheBytesSay) {
  TRescueMap map(10000);
  map.Set(1000, 1000, RescueFinished);
  map.Set(3000, 500, RescueBadSector);
  map.Set(2000, 1000, RescueFinished);  // joins the first finished block
  map.Set(9000, 5000, RescueNonScraped);  // clamped to the map
  EXPECT_EQ(Describe(map), "0 1000 ?;1000 2000 +;3000 500 -;3500 5500 ?;9000 1000 /;");
  map.Set(0, 10000, RescueFinished);
  EXPECT_EQ(Describe(map), "0 10000 +;");
  map.Set(4096, 512, RescueBadSector);
  ASSERT_EQ(map.Unrescued(4000, 200).size(), 1u);
  EXPECT_EQ(map.Unrescued(4000, 200)[0].Pos, 4096u);
  EXPECT_EQ(map.Unrescued(4000, 200)[0].Size, 104u);
  EXPECT_TRUE(map.Unrescued(0, 4096).empty());
  EXPECT_TRUE(map.Unrescued(4608, 100).empty());
  EXPECT_EQ(map.Total(RescueBadSector), 512u);
  map.Resize(4200);
  EXPECT_EQ(Describe(map), "0 4096 +;4096 104 -;");
}

}  // namespace
}  // namespace salvex::test
