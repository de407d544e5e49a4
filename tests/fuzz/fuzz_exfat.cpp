// The exFAT boot region and directory parser. The input is tried as a boot region and as raw
// directory entries, then fills the FAT and cluster heap of a small volume with a fixed, valid boot
// region; both trees are walked to the bottom and every file is read: each walk must end.
#include "common/Unicode.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "fuzz/FuzzFat.h"

namespace {

// 512-byte sectors and clusters, FAT at sector 24 (8 sectors), heap at 32 with 1000 clusters.
std::vector<uint8_t> ExFATVolumeWith(const uint8_t* data, size_t size) {
  using namespace salvex;
  std::vector<uint8_t> img(fuzzfat::kImageBytes, 0);
  uint8_t* b = img.data();
  b[0] = 0xEB;
  b[1] = 0x76;
  b[2] = 0x90;
  std::memcpy(b + 3, "EXFAT   ", 8);
  PutU64(b + 72, 2048);
  PutU32(b + 80, 24);
  PutU32(b + 84, 8);
  PutU32(b + 88, 32);
  PutU32(b + 92, 1000);
  PutU32(b + 96, 2);
  b[108] = 9;
  b[109] = 0;
  b[110] = 1;
  b[510] = 0x55;
  b[511] = 0xAA;
  const uint32_t sum = ExFATBootChecksum(std::span<const uint8_t>(b, 11 * 512));
  for (size_t i = 0; i < 512; i += 4) PutU32(b + 11 * 512 + i, sum);
  std::memcpy(b + 24 * 512, data, std::min(size, img.size() - 24 * 512));
  return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  std::span<const uint8_t> input(data, size);
  TExFATBoot boot;
  std::string why;
  CheckExFATBootRegion(input, boot, why);
  for (size_t off = 0; off + 32 <= size; off += 32) ParseExFATEntrySet(input, off);
  bool lossy = false;
  Utf16LeToUtf8(input, &lossy);

  auto& io = fuzzfat::Io();
  io.images["/fuzz"].bytes = ExFATVolumeWith(data, size);
  fuzzfat::VolumeOf<TExFATdrive> v;
  if (!v.mounted) __builtin_trap();  // the boot region is fixed and valid
  TExFATdrive& drive = v.drive;
  fuzzfat::NullTree tree;
  tree.Show(drive);
  fuzzfat::VisitTree(*drive.Root(), false, true);
  fuzzfat::VisitTree(*drive.DeletedRoot(), true, true);
  size_t seen = 0;
  drive.DeletedRoot()->Search([&](TItem&) { return ++seen < 1000000; }, true, true, true);
  return 0;
}
