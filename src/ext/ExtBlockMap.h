#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ext/ExtStructures.h"

namespace salvex {

// Consecutive blocks of a file: `Count` blocks from logical block `Logical` lie at `Physical`.
// Unwritten extents read as zeros; blocks no run covers are holes.
struct TExtRun {
  uint64_t Logical = 0;
  uint64_t Physical = 0;
  uint64_t Count = 0;
  bool Unwritten = false;
};

struct TExtMap {
  std::vector<TExtRun> Runs;  // in logical order, not overlapping
  std::string Problem;        // not empty: part of the map was unusable (why)
  std::vector<uint64_t> TreeBlocks;  // the index, leaf and indirect blocks that were read
};

// Reads one block of the volume (a tree or indirect block) into `out`; false when it cannot. The
// journal reader passes older copies of the blocks here.
using TExtBlockReader = std::function<bool(uint64_t block, std::vector<uint8_t>& out)>;

// The runs of a file whose inode keeps an extent tree in its block area. Trees of any depth are
// walked; a block met twice, a depth that does not fall by one per level, extents past the volume
// or overlapping ones are left out and named in Problem. Only blocks below `blockLimit` are mapped.
TExtMap MapExtentTree(const uint8_t (&root)[60], const TExtSuperblock& sb, const TExtBlockReader& read,
                      uint64_t blockLimit);
// The runs of a file with a classic block map: 12 direct pointers, then single, double and
// triple indirect blocks, up to `blockLimit` logical blocks. Zero pointers are holes.
TExtMap MapBlockPointers(const uint8_t (&root)[60], const TExtSuperblock& sb, const TExtBlockReader& read,
                         uint64_t blockLimit);
// Whether the block area holds an extent header with at least one entry.
bool ExtentRootHasEntries(const uint8_t (&root)[60]);
// Whether a block map has any pointer set.
bool BlockPointersSet(const uint8_t (&root)[60]);

}  // namespace salvex
