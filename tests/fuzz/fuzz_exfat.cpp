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

size_t Visit(salvex::TExFATDirectory& dir, bool deleted, fuzzfat::NullTree& tree, size_t depth) {
  using namespace salvex;
  if (depth > 300) __builtin_trap();  // deeper than any walk is allowed to go
  fuzzfat::AllRows list;
  list.Show(dir, deleted);
  if (!dir.Children || list.count != dir.Children->size()) __builtin_trap();
  (void)tree;
  size_t items = list.count;
  std::vector<uint8_t> buf(4096);
  for (size_t i = 0; i < list.count; ++i) {
    TItem* object = list.Item(i);
    if (object != (*dir.Children)[i].get()) __builtin_trap();
    if (auto* sub = dynamic_cast<TExFATDirectory*>(object)) {
      sub->GetPath(nullptr);
      items += Visit(*sub, deleted, tree, depth + 1);
    } else if (auto* f = dynamic_cast<TExFATFile*>(object)) {
      f->Meta();
      auto data = f->OpenData({});
      // Sizes are read from the input; a few megabytes are enough to cover every path.
      for (uint64_t total = 0; data && total < (4u << 20);) {
        const size_t n = data->Read(buf.data(), buf.size());
        if (n == 0) break;
        total += n;
      }
    }
  }
  return items;
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
  io.transfers.clear();
  TDevice device;
  device.Kind = KindLogical;
  device.Number = TDeviceRegistry::Instance().Devices().front().Number;
  device.TotalSectors = fuzzfat::kImageBytes / 512;
  TExFATdrive drive;
  drive.Device = &device;
  drive.SectorCount = device.TotalSectors;
  if (!drive.Mount(true)) __builtin_trap();  // the boot region is fixed and valid
  fuzzfat::NullTree tree;
  tree.Show(drive);
  Visit(*drive.Root(), false, tree, 0);
  Visit(*drive.DeletedRoot(), true, tree, 0);
  size_t seen = 0;
  drive.DeletedRoot()->Search([&](TItem&) { return ++seen < 1000000; }, true, true, true);
  return 0;
}
