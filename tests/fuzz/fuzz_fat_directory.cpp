// Directory reading with long names: the input fills the FATs, the root directory and the data
// clusters of a small FAT16 volume. Both trees are walked to the bottom through every list and
// tree call of the main window; every walk must end and every row must name a child.
#include "fuzz/FuzzFat.h"

namespace {

size_t Visit(salvex::TFATDirectory& dir, bool deleted, fuzzfat::NullTree& tree, size_t depth) {
  using namespace salvex;
  if (depth > 300) __builtin_trap();  // deeper than any walk is allowed to go
  fuzzfat::AllRows list;
  list.Show(dir, deleted);
  if (!dir.Children || list.count != dir.Children->size()) __builtin_trap();
  (void)tree;
  size_t items = list.count;
  for (size_t i = 0; i < list.count; ++i) {
    TItem* object = list.Item(i);
    if (object != (*dir.Children)[i].get()) __builtin_trap();
    if (auto* sub = dynamic_cast<TFATDirectory*>(object)) {
      sub->HasChildDirs(deleted);
      sub->GetPath(nullptr);
      items += Visit(*sub, deleted, tree, depth + 1);
    }
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  auto& io = fuzzfat::Io();
  io.images["/fuzz"].bytes = fuzzfat::VolumeWith(data, size);
  fuzzfat::Volume v;
  if (!v.mounted) __builtin_trap();  // the boot sector is fixed and valid
  fuzzfat::NullTree tree;
  tree.Show(v.drive);
  Visit(*v.drive.Root(), false, tree, 0);
  Visit(*v.drive.DeletedRoot(), true, tree, 0);
  size_t seen = 0;
  v.drive.DeletedRoot()->Search([&](TItem&) { return ++seen < 1000000; }, true, true, true);
  return 0;
}
