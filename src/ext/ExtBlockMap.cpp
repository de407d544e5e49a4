#include "ext/ExtBlockMap.h"

#include <algorithm>
#include <set>

#include "common/ByteReader.h"
#include "common/Format.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

constexpr uint16_t kExtentMagic = 0xF30A;
// The kernel builds at most five levels; deeper claims are damage.
constexpr uint16_t kMaxDepth = 5;
// Tree and indirect blocks read for one file: beyond this a damaged map is only costing time.
constexpr size_t kMaxTreeBlocks = size_t(1) << 20;

struct Walker {
  const TExtSuperblock& sb;
  const TExtBlockReader& read;
  uint64_t limit;
  TExtMap map;
  std::set<uint64_t> seen;

  void Note(const std::string& why) {
    if (map.Problem.empty()) map.Problem = why;
  }
  // Reads a tree block once per file; a second visit is a loop.
  bool Fetch(uint64_t block, std::vector<uint8_t>& out) {
    if (block == 0 || block >= sb.BlocksCount) {
      Note(TextF(txt::ExtMapBlockOutside, {std::to_string(block)}));
      return false;
    }
    if (!seen.insert(block).second) {
      Note(TextF(txt::ExtMapBlockTwice, {std::to_string(block)}));
      return false;
    }
    if (seen.size() > kMaxTreeBlocks) {
      Note(TextF(txt::ExtMapTooLarge));
      return false;
    }
    map.TreeBlocks.push_back(block);
    if (!read(block, out) || out.size() != sb.BlockSize) {
      Note(TextF(txt::ExtMapBlockUnreadable, {std::to_string(block)}));
      return false;
    }
    return true;
  }
  void Add(uint64_t logical, uint64_t physical, uint64_t count, bool unwritten) {
    if (count == 0 || logical >= limit) return;
    count = std::min(count, limit - logical);
    if (physical == 0 || physical >= sb.BlocksCount || count > sb.BlocksCount - physical) {
      Note(TextF(txt::ExtExtentPastVolume, {std::to_string(physical), std::to_string(count)}));
      return;
    }
    map.Runs.push_back({logical, physical, count, unwritten});
  }

  void Extents(std::span<const uint8_t> node, int expectDepth) {
    ByteReader r(node);
    if (r.U16(0) != kExtentMagic) {
      Note(TextF(txt::ExtExtentNoHeader));
      return;
    }
    const uint16_t entries = r.U16(2), max = r.U16(4), depth = r.U16(6);
    if (entries > max || 12 + size_t(max) * 12 > node.size() || depth > kMaxDepth ||
        (expectDepth >= 0 && depth != expectDepth)) {
      Note(TextF(txt::ExtExtentHeaderInvalid));
      return;
    }
    for (uint16_t i = 0; i < entries; ++i) {
      const size_t e = 12 + size_t(i) * 12;
      if (depth == 0) {
        uint16_t len = r.U16(e + 4);
        const bool unwritten = len > 32768;
        if (unwritten) len -= 32768;
        Add(r.U32(e), r.U32(e + 8) | (uint64_t(r.U16(e + 6)) << 32), len, unwritten);
      } else {
        const uint64_t child = r.U32(e + 4) | (uint64_t(r.U16(e + 8)) << 32);
        std::vector<uint8_t> block;
        if (Fetch(child, block)) Extents(block, depth - 1);
      }
    }
  }

  // Maps `count` pointers of an indirect block (or the inode's) at `level` levels above data.
  void Pointers(std::span<const uint8_t> table, int level, uint64_t firstLogical, uint64_t perPointer) {
    ByteReader r(table);
    const uint64_t n = table.size() / 4;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t logical = firstLogical + i * perPointer;
      if (logical >= limit) return;
      const uint32_t p = r.U32(i * 4);
      if (p == 0) continue;
      if (level == 0) {
        if (!map.Runs.empty() && map.Runs.back().Physical + map.Runs.back().Count == p &&
            map.Runs.back().Logical + map.Runs.back().Count == logical && p < sb.BlocksCount)
          ++map.Runs.back().Count;
        else
          Add(logical, p, 1, false);
        continue;
      }
      std::vector<uint8_t> block;
      if (Fetch(p, block)) Pointers(block, level - 1, logical, perPointer / (sb.BlockSize / 4));
    }
  }
};

void SortAndDropOverlaps(TExtMap& map) {
  std::stable_sort(map.Runs.begin(), map.Runs.end(),
                   [](const TExtRun& a, const TExtRun& b) { return a.Logical < b.Logical; });
  std::vector<TExtRun> kept;
  for (const TExtRun& run : map.Runs) {
    if (!kept.empty() && run.Logical < kept.back().Logical + kept.back().Count) {
      if (map.Problem.empty()) map.Problem = TextF(txt::ExtExtentsOverlap);
      continue;
    }
    kept.push_back(run);
  }
  map.Runs = std::move(kept);
}

}  // namespace

TExtMap MapExtentTree(const uint8_t (&root)[60], const TExtSuperblock& sb, const TExtBlockReader& read,
                      uint64_t blockLimit) {
  Walker w{sb, read, blockLimit, {}, {}};
  w.Extents({root, 60}, -1);
  SortAndDropOverlaps(w.map);
  return std::move(w.map);
}

TExtMap MapBlockPointers(const uint8_t (&root)[60], const TExtSuperblock& sb, const TExtBlockReader& read,
                         uint64_t blockLimit) {
  Walker w{sb, read, blockLimit, {}, {}};
  const uint64_t per = sb.BlockSize / 4;
  w.Pointers({root, 48}, 0, 0, 1);
  ByteReader r(root, 60);
  uint64_t first = 12, span = per;
  for (int level = 1; level <= 3 && first < blockLimit; ++level) {
    if (const uint32_t p = r.U32(44 + level * 4)) {
      std::vector<uint8_t> block;
      if (w.Fetch(p, block)) w.Pointers(block, level - 1, first, span / per);
    }
    first += span;
    span *= per;
  }
  SortAndDropOverlaps(w.map);
  return std::move(w.map);
}

bool ExtentRootHasEntries(const uint8_t (&root)[60]) {
  ByteReader r(root, 60);
  return r.U16(0) == kExtentMagic && r.U16(2) > 0;
}

bool BlockPointersSet(const uint8_t (&root)[60]) {
  return std::any_of(root, root + 60, [](uint8_t b) { return b != 0; });
}

}  // namespace salvex
