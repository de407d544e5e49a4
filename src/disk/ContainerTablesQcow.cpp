// qcow (version 1) and qcow2/3: a header, one L1 table of L2-table offsets, L2 tables of cluster
// offsets (big-endian), and for version 2 on, refcount tables.
#include <vector>

#include "disk/ContainerTableWalk.h"

namespace salvex {

namespace {

constexpr uint64_t kCopied = uint64_t(1) << 63;
constexpr uint64_t kCompressed2 = uint64_t(1) << 62;
constexpr uint64_t kOffsetMask2 = 0x00FFFFFFFFFFFE00ull;

struct QcowLayout {
  uint32_t version = 0;
  uint32_t clusterBits = 0;
  uint32_t l2Bits = 0;
  uint64_t mediaSize = 0;
  uint64_t l1Offset = 0;
  uint64_t l1Entries = 0;
};

// One L2 table: every allocated cluster must lie in the file, outside the metadata.
void CheckL2(TTableWalk& walk, const QcowLayout& q, const std::vector<uint8_t>& table, uint64_t mediaBase) {
  ByteReader r(table.data(), table.size());
  const uint64_t clusterSize = uint64_t(1) << q.clusterBits;
  const uint64_t entries = table.size() / 8;
  for (uint64_t j = 0; j < entries; ++j) {
    const uint64_t media = mediaBase + (j << q.clusterBits);
    if (media >= q.mediaSize) break;
    const uint64_t e = BigEndian(r, size_t(j * 8), 8);
    if (e == 0) continue;
    if (q.version == 1) {
      if (e & kCopied) {
        const unsigned shift = 63 - q.clusterBits;
        const uint64_t offset = e & ((uint64_t(1) << shift) - 1);
        const uint64_t size = (e & ~kCopied) >> shift;
        if (offset < clusterSize) walk.Damage(media, clusterSize);
        else walk.Unit(media, clusterSize, offset, size);
      } else if (e % clusterSize != 0) {
        walk.Damage(media, clusterSize);
      } else {
        walk.Unit(media, clusterSize, e, clusterSize);
      }
      continue;
    }
    if (e & kCompressed2) {
      const unsigned bits = 62 - (q.clusterBits - 8);
      const uint64_t offset = e & ((uint64_t(1) << bits) - 1);
      const uint64_t sectors = ((e & ~(kCopied | kCompressed2)) >> bits) + 1;
      const uint64_t length = sectors * 512 - (offset % 512);
      // The sector count is rounded up, so the last compressed cluster may end inside the last
      // sector past the end of the file.
      if (offset < clusterSize) walk.Damage(media, clusterSize);
      else walk.Unit(media, clusterSize, offset, length, 512);
      continue;
    }
    if (q.version >= 3 && (e & 1)) continue;  // reads as zeros; the offset is not used
    const uint64_t offset = e & kOffsetMask2;
    // An allocated entry without an offset (or with one not on a cluster) would hand out the header.
    if (offset == 0 || offset % clusterSize != 0) walk.Damage(media, clusterSize);
    else walk.Unit(media, clusterSize, offset, clusterSize);
  }
}

}  // namespace

void CheckQcowTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check) {
  TTableWalk walk(fileSize, read, check, "the qcow image");
  std::vector<uint8_t> header(112, 0);
  if (fileSize < 48 || !read(0, std::span<uint8_t>(header.data(), std::min<uint64_t>(header.size(), fileSize))))
    return walk.Refuse("its header is incomplete");
  ByteReader h(header.data(), header.size());
  QcowLayout q;
  q.version = uint32_t(BigEndian(h, 4, 4));
  uint64_t backingOffset = BigEndian(h, 8, 8), backingSize = BigEndian(h, 16, 4);
  uint64_t refcountOffset = 0, refcountClusters = 0;
  if (q.version == 1) {
    q.mediaSize = BigEndian(h, 24, 8);
    q.clusterBits = uint32_t(BigEndian(h, 32, 1));
    q.l2Bits = uint32_t(BigEndian(h, 33, 1));
    q.l1Offset = BigEndian(h, 40, 8);
  } else if (q.version == 2 || q.version == 3) {
    q.clusterBits = uint32_t(BigEndian(h, 20, 4));
    q.mediaSize = BigEndian(h, 24, 8);
    q.l1Entries = BigEndian(h, 36, 4);
    q.l1Offset = BigEndian(h, 40, 8);
    q.l2Bits = q.clusterBits - 3;
    refcountOffset = BigEndian(h, 48, 8);
    refcountClusters = BigEndian(h, 56, 4);
    // Extended L2 entries (16 bytes, with subclusters) are not read by the library either.
    if (q.version == 3 && (BigEndian(h, 72, 8) & 0x10)) return;
  } else {
    return;  // the library refuses what it does not know
  }
  if (q.clusterBits < 9 || q.clusterBits > 21 || q.l2Bits < 6 || q.l2Bits > 24 || q.l1Offset == 0) return;
  const uint64_t clusterSize = uint64_t(1) << q.clusterBits;
  const uint64_t l2Span = uint64_t(1) << (q.clusterBits + q.l2Bits);
  const uint64_t spans = q.mediaSize / l2Span + (q.mediaSize % l2Span != 0);
  if (q.version == 1) q.l1Entries = spans;
  if (q.l1Entries < spans) return walk.Refuse("its L1 table has fewer entries than its size needs");
  q.l1Entries = spans;
  walk.SetMediaSize(q.mediaSize);

  walk.Metadata(0, q.version == 1 ? 48 : clusterSize);
  if (backingOffset != 0) walk.Metadata(backingOffset, backingSize);
  std::vector<uint8_t> l1, table;
  if (!walk.ReadTable(q.l1Offset, q.l1Entries * 8, l1, "L1 table")) return walk.Finish();
  if (refcountOffset != 0 && walk.ReadTable(refcountOffset, refcountClusters * clusterSize, table, "refcount table")) {
    ByteReader rt(table.data(), table.size());
    for (size_t i = 0; i + 8 <= table.size(); i += 8) {
      const uint64_t block = BigEndian(rt, i, 8) & ~uint64_t(clusterSize - 1);
      if (block != 0) walk.Metadata(block, clusterSize);
    }
  }
  ByteReader l1r(l1.data(), l1.size());
  const uint64_t l2Mask = q.version == 1 ? ~kCopied : kOffsetMask2;
  std::vector<uint64_t> l2Offsets(q.l1Entries, 0);
  for (uint64_t i = 0; i < q.l1Entries; ++i) {
    const uint64_t e = BigEndian(l1r, size_t(i * 8), 8);
    const uint64_t offset = e & l2Mask;
    if (e == 0) continue;
    if (offset == 0 || offset % clusterSize != 0 || walk.InMetadata(offset, clusterSize) ||
        walk.Wild(offset, clusterSize)) {
      walk.Damage(i * l2Span, l2Span);
      continue;
    }
    l2Offsets[i] = offset;
    walk.Metadata(offset, uint64_t(8) << q.l2Bits);
  }
  for (uint64_t i = 0; i < q.l1Entries && !walk.Refused(); ++i) {
    if (l2Offsets[i] == 0) continue;
    if (walk.ReadTable(l2Offsets[i], uint64_t(8) << q.l2Bits, table, "L2 table")) CheckL2(walk, q, table, i * l2Span);
  }
  walk.Finish();
}

}  // namespace salvex
