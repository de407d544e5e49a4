// The ext parsers: the input is tried as a superblock, a group descriptor, an inode, a directory
// block (gaps too), an extent tree root and block map over its own blocks, and a jbd2 journal of
// 1 KiB blocks; then it becomes the start of a 1 MiB volume, mounted (the backup search included),
// whose trees are walked to the bottom and whose files are read: every walk must end.
#include "ext/ExtBlockMap.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "ext/ExtJournal.h"
#include "ext/ExtStructures.h"
#include "ext/Extdrive.h"
#include "fuzz/FuzzFat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  if (size == 0) return 0;
  std::span<const uint8_t> input(data, size);
  TExtSuperblock sb;
  std::string why;
  ParseExtSuperblock(input, sb, why);
  if (sb.BlockSize == 0) {
    sb.BlockSize = 1024;
    sb.BlocksCount = 1024;
    sb.InodesCount = 256;
    sb.InodeSize = 256;
  }
  ParseExtGroup(input.first(std::min<size_t>(size, 64)), sb, 0);
  ParseExtInode(input, sb, 12);
  ParseExtDirBlock(input, sb, true);
  uint8_t root[60] = {};
  std::memcpy(root, data, std::min<size_t>(size, 60));
  auto reader = [&](uint64_t block, std::vector<uint8_t>& out) {
    out.assign(sb.BlockSize, 0);
    const uint64_t at = block * 1024 % (size + 1);
    std::memcpy(out.data(), data + at, std::min<size_t>(size - at, out.size()));
    return true;
  };
  MapExtentTree(root, sb, reader, 1u << 20);
  MapBlockPointers(root, sb, reader, 1u << 20);
  TExtJournal journal;
  TExtMap whole{{{0, 0, (size + 1023) / 1024, false}}, "", {}};
  if (journal.Load(whole, reader, 1024, why))
    for (uint64_t b = 0; b < 64; ++b)
      if (const auto* copies = journal.CopiesOf(b))
        for (const auto& c : *copies) {
          std::vector<uint8_t> out;
          journal.ReadCopy(c, out);
        }

  auto& io = fuzzfat::Io();
  auto& img = io.images["/fuzz"].bytes;
  std::fill(img.begin(), img.end(), 0);
  std::memcpy(img.data(), data, std::min(size, img.size()));
  fuzzfat::VolumeOf<TExtdrive> v;
  if (!v.mounted) return 0;
  fuzzfat::NullTree tree;
  tree.Show(v.drive);
  fuzzfat::VisitTree(*v.drive.Root(), false, true);
  fuzzfat::VisitTree(*v.drive.DeletedRoot(), true, true);
  return 0;
}
