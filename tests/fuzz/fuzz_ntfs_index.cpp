// Index blocks: fix-up, then the entries walk with every sub-node followed into the same bytes
// (a crafted block pointing at itself must not recurse without end).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/ByteReader.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  if (size > 65536) return 0;
  std::vector<uint8_t> block(data, data + size);
  ntfs::ApplyFixup(block);
  ByteReader r(block);
  size_t first = 0x18 + size_t(r.U32(0x18));
  size_t used = 0x18 + size_t(r.U32(0x1C));
  if (first >= block.size() || used > block.size() || first >= used) return 0;
  std::span<const uint8_t> entries(block.data() + first, used - first);
  int depth = 0;
  std::function<bool(int64_t)> descend = [&](int64_t) {
    if (depth >= 4) return true;
    ++depth;
    bool go = WalkIndexNode(entries, [](uint64_t, std::span<const uint8_t> key) {
      ntfs::TFileNameView n{key};
      if (n.Valid()) ntfs::NameToUtf8(n.NameBytes());
      return true;
    }, descend);
    --depth;
    return go;
  };
  descend(0);
  return 0;
}
