// The run-kept cluster set against a plain set of numbers, over random single and range inserts
// that touch, overlap and swallow runs.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "common/ClusterSet.h"

namespace salvex::test {
namespace {

TEST(ClusterSet, RangesAndSinglesAgreeWithAPlainSet) {
  std::mt19937 rng(21);
  for (int round = 0; round < 50; ++round) {
    TClusterSet runs;
    std::set<uint32_t> plain;
    for (int op = 0; op < 40; ++op) {
      const uint32_t first = 2 + rng() % 200;
      const uint32_t length = rng() % 3 == 0 ? 1 : 1 + rng() % 30;
      uint32_t met = 0;
      for (uint32_t n = first; n < first + length && met == 0; ++n)
        if (plain.count(n)) met = n;
      if (length == 1) {
        EXPECT_EQ(runs.Insert(first), met == 0) << first;
      } else {
        EXPECT_EQ(runs.InsertRange(first, uint64_t(first) + length), met) << first << "+" << length;
      }
      for (uint32_t n = first; n < first + length; ++n) plain.insert(n);
      const uint32_t probe = 2 + rng() % 240, span = 1 + rng() % 20;
      auto it = plain.lower_bound(probe);
      EXPECT_EQ(runs.FirstIn(probe, uint64_t(probe) + span), it != plain.end() && *it < probe + span ? *it : 0u);
    }
    size_t runsSeen = 0;
    uint64_t lastEnd = 0;
    runs.ForEachRun([&](uint32_t from, uint64_t end) {
      EXPECT_GT(from, lastEnd) << "runs that touch are one run";
      lastEnd = end;
      ++runsSeen;
    });
    EXPECT_EQ(runsSeen, runs.Runs());
    for (uint32_t n = 0; n < 260; ++n) EXPECT_EQ(runs.Contains(n), plain.count(n) == 1) << n;
  }
}

}  // namespace
}  // namespace salvex::test
