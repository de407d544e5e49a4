#pragma once
// Shared by the ext fuzz targets: a walk of a tree that lists every folder and reads every file.
#include <cstdint>
#include <vector>

#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "fuzz/FuzzFat.h"

namespace fuzzext {

// Lists the folder as the file list does, adds its subfolders to the tree and reads a few
// megabytes of each file; the items met. Traps when a walk goes deeper than any may.
inline size_t Visit(salvex::TExtDirectory& dir, bool deleted, fuzzfat::NullTree& tree, size_t depth) {
  using namespace salvex;
  if (depth > 300) __builtin_trap();
  fuzzfat::AllRows list;
  list.Show(dir, deleted);
  if (!dir.Children || list.count != dir.Children->size()) __builtin_trap();
  (void)tree;
  size_t items = list.count;
  std::vector<uint8_t> buf(65536);
  for (size_t i = 0; i < list.count; ++i) {
    TItem* object = list.Item(i);
    if (auto* sub = dynamic_cast<TExtDirectory*>(object)) {
      items += Visit(*sub, deleted, tree, depth + 1);
    } else if (auto* f = dynamic_cast<TExtFile*>(object)) {
      f->Meta();
      auto data = f->OpenData({});
      // Sparse sizes may be huge; a few megabytes cover every path.
      for (uint64_t total = 0; data && total < (4u << 20);) {
        const size_t n = data->Read(buf.data(), buf.size());
        if (n == 0) break;
        total += n;
      }
    }
  }
  return items;
}

}  // namespace fuzzext
