// Directory reading with long names: the input fills the FATs, the root directory and the data
// clusters of a small FAT16 volume. Both trees are walked to the bottom through every list and
// tree call of the main window; every walk must end and every row must name a child.
#include "fuzz/FuzzFat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  auto& io = fuzzfat::Io();
  io.images["/fuzz"].bytes = fuzzfat::VolumeWith(data, size);
  fuzzfat::Volume v;
  if (!v.mounted) __builtin_trap();  // the boot sector is fixed and valid
  fuzzfat::NullTree tree;
  tree.Show(v.drive);
  fuzzfat::VisitTree(*v.drive.Root(), false, false);
  fuzzfat::VisitTree(*v.drive.DeletedRoot(), true, false);
  size_t seen = 0;
  v.drive.DeletedRoot()->Search([&](TItem&) { return ++seen < 1000000; }, true, true, true);
  return 0;
}
