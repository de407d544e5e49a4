// The read-ahead of the searches: chunks come to the consumer in order with their prescan, whatever
// the number of threads; the look-ahead past the range is zeros; a chunk not wanted or not read is
// handed over unread; what a read throws comes in its place, after every chunk before it.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/ScanPipeline.h"

namespace salvex::test {
namespace {

TEST(ScanPipeline, ChunksComeInOrderWithTheirLooksWhateverTheThreads) {
  // Block n holds the byte n % 251; blocks 40..47 cannot be read; blocks 60..63 are not wanted.
  for (unsigned threads : {1u, 2u, 7u}) {
    std::mutex device;
    TScanPipeline<uint32_t>::TSetup setup;
    setup.First = 3;
    setup.Last = 100;
    setup.BlockBytes = 4;
    setup.ChunkBlocks = 8;
    setup.Lookahead = 2;
    setup.Limit = 101;  // one block exists after the range
    setup.Threads = threads;
    setup.Read = [](uint64_t first, uint32_t count, uint8_t* out) {
      for (uint32_t k = 0; k < count; ++k) std::fill_n(out + 4 * k, 4, uint8_t((first + k) % 251));
      return first + count <= 40 || first >= 48;
    };
    setup.Wanted = [](uint64_t first, uint32_t) { return first != 59; };
    setup.Prescan = [](TScanChunk<uint32_t>& c) {
      for (uint32_t k = 0; k < c.Blocks; ++k) c.Looks.push_back(c.Bytes[4 * k] * 2u);
    };
    TScanPipeline<uint32_t> pipeline(device, std::move(setup));
    uint64_t expected = 3;
    while (TScanChunk<uint32_t>* c = pipeline.Next()) {
      ASSERT_EQ(c->First, expected) << threads;
      const bool readable = (c->First + c->Blocks + 2 <= 40 || c->First >= 48) && c->First != 59;
      ASSERT_EQ(c->Read, readable) << c->First;
      if (c->Read) {
        ASSERT_EQ(c->Looks.size(), c->Blocks);
        for (uint32_t k = 0; k < c->Blocks; ++k) EXPECT_EQ(c->Looks[k], 2u * ((c->First + k) % 251));
        // The look-ahead: the device's next blocks while they exist, zeros after.
        for (uint32_t k = c->Blocks; k < c->Blocks + 2u; ++k)
          EXPECT_EQ(c->Bytes[4 * k], c->First + k <= 100 ? uint8_t((c->First + k) % 251) : 0) << c->First + k;
      }
      expected += c->Blocks;
    }
    EXPECT_EQ(expected, 101u);
  }
}

TEST(ScanPipeline, AReadThatThrowsReachesTheConsumerInItsPlace) {
  std::mutex device;
  TScanPipeline<int>::TSetup setup;
  setup.First = 0;
  setup.Last = 999;
  setup.ChunkBlocks = 10;
  setup.Threads = 3;
  setup.Read = [](uint64_t first, uint32_t, uint8_t*) {
    if (first == 500) throw std::runtime_error("device went away");
    return true;
  };
  TScanPipeline<int> pipeline(device, std::move(setup));
  uint64_t seen = 0;
  try {
    while (TScanChunk<int>* c = pipeline.Next()) seen = c->First + c->Blocks;
    ADD_FAILURE() << "the failure was not handed on";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "device went away");
  }
  EXPECT_EQ(seen, 500u);
}

}  // namespace
}  // namespace salvex::test
