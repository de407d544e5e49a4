// Boot-sector validation and mounting over crafted images: the input is the start of the volume
// (boot sector, FATs, root directory), the rest reads as zeros. Whatever the BPB claims, mounting,
// FAT lookups, the cursors and the top of the tree must stay in bounds and terminate.
#include "fuzz/FuzzFat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  auto& io = fuzzfat::Io();
  auto& img = io.images["/fuzz"].bytes;
  std::fill(img.begin(), img.end(), 0);
  std::memcpy(img.data(), data, std::min(size, img.size()));
  fuzzfat::Volume v(size > 0 && (data[0] & 1));  // odd first byte: messages through the silent host
  TFATdrive& d = v.drive;
  // A mounted volume has its special folders; one that failed to mount has none.
  if (v.mounted != d.HasSpecialFolders()) __builtin_trap();
  if (!v.mounted) return 0;
  for (uint32_t n = 0; n < 64; ++n) d.GetFAT(n, n & 1);
  d.GetFAT(d.ClusterCount + 1, 0);
  fuzzfat::NullTree tree;
  tree.Show(d);
  fuzzfat::AllRows list;
  list.Show(*d.Root(), false);
  std::vector<uint8_t> sector(d.BytesPerSector());
  TFATCursor c{d.RootCluster, d.RootDirSector, 0};
  for (int i = 0; i < 64 && d.ReadDataSec(c, sector.data()); ++i) {
  }
  return 0;
}
