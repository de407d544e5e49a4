// qcow (version 1) and qcow2/3: a header, one L1 table of L2-table offsets, L2 tables of cluster
// offsets (big-endian), and for version 2 on, refcount tables.
#include <string>
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

// Where an entry lies, for the refusal that names it.
std::string EntryName(const char* kind, uint64_t table, uint64_t entry, uint64_t media, uint64_t at) {
  return std::string(kind) + " of entry " + std::to_string(entry) + " of the L2 table at byte " + std::to_string(table) +
         " (disk byte " + std::to_string(media) + ") at byte " + std::to_string(at);
}

// One L2 table at file byte `tableAt`: every allocated cluster must lie in the file, outside the
// metadata, and be read by the library from where this walk sees it (libqcow masks fewer bits,
// and knows no zero clusters).
void CheckL2(TTableWalk& walk, const QcowLayout& q, const std::vector<uint8_t>& table, uint64_t tableAt,
             uint64_t mediaBase) {
  ByteReader r(table.data(), table.size());
  const uint64_t clusterSize = uint64_t(1) << q.clusterBits;
  const uint64_t entries = table.size() / 8;
  // Compressed data may end inside the file's last sector, rounded up.
  const uint64_t sectorEnd = (walk.FileSize() + 511) / 512 * 512;
  for (uint64_t j = 0; j < entries; ++j) {
    const uint64_t media = mediaBase + (j << q.clusterBits);
    if (media >= q.mediaSize) break;
    const uint64_t e = BigEndian(r, size_t(j * 8), 8);
    if (e == 0) continue;
    uint64_t at = 0, length = clusterSize, end = walk.FileSize();
    const char* kind = "the cluster";
    if (q.version == 1) {
      if (e & kCopied) {
        const unsigned shift = 63 - q.clusterBits;
        at = e & ((uint64_t(1) << shift) - 1);
        length = (e & ~kCopied) >> shift;
        kind = "the compressed cluster";
        // No bytes to inflate: the library would take a plain cluster's block for it.
        if (length == 0) {
          walk.Damage(media, clusterSize);
          continue;
        }
      } else if (e % clusterSize != 0) {
        walk.Damage(media, clusterSize);
        continue;
      } else {
        at = e;
      }
    } else if (e & kCompressed2) {
      const unsigned bits = 62 - (q.clusterBits - 8);
      at = e & ((uint64_t(1) << bits) - 1);
      length = (((e & ~(kCopied | kCompressed2)) >> bits) + 1) * 512 - (at % 512);
      end = sectorEnd;
      kind = "the compressed cluster";
    } else if (q.version >= 3 && (e & 1)) {
      walk.Zero(media, clusterSize);  // reads as zeros; the offset, if any, is not used
      continue;
    } else {
      at = e & ~kCopied;
      // Reserved bits set, no offset (the header), or an offset off a cluster boundary: the
      // library would read something else than the cluster.
      if ((at & ~kOffsetMask2) != 0 || at == 0 || at % clusterSize != 0) {
        walk.Damage(media, clusterSize);
        continue;
      }
    }
    if (at < clusterSize || walk.Wild(at, length) || walk.InMetadata(at, length)) {
      walk.Damage(media, clusterSize);
    } else if (at >= walk.FileSize() || length > end - at) {
      walk.NoteCut(at + length, EntryName(kind, tableAt, j, media, at));
    }
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
    const uint64_t incompatible = q.version == 3 ? BigEndian(h, 72, 8) : 0;
    // Bit 3: a compression type other than deflate, named at byte 104 of a longer header. The
    // library neither decompresses it nor says why it will not open the image.
    if (incompatible & 0x8) {
      const uint32_t type = BigEndian(h, 100, 4) > 104 ? uint32_t(h.U8(104)) : 0x100;
      return walk.Refuse(type == 1 ? std::string("its clusters are compressed with zstd (compression type 1 at byte 104), "
                                                 "which cannot be read here; qemu-img convert -O qcow2 makes a copy "
                                                 "that can")
                                   : "its header names a compression type other than deflate (" +
                                         (type > 0xFF ? std::string("none given at byte 104") : std::to_string(type)) +
                                         "), which cannot be read here");
    }
    // Extended L2 entries (16 bytes, with subclusters) are not read by the library either.
    if (incompatible & 0x10) return;
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
  std::vector<uint64_t> l2Offsets(q.l1Entries, 0);
  for (uint64_t i = 0; i < q.l1Entries; ++i) {
    const uint64_t e = BigEndian(l1r, size_t(i * 8), 8);
    const uint64_t offset = e & ~kCopied;
    if (e == 0) continue;
    // The library takes the entry with its reserved bits as the table's offset.
    const bool reserved = q.version >= 2 && (offset & ~kOffsetMask2) != 0;
    if (reserved || offset == 0 || offset % clusterSize != 0 || walk.InMetadata(offset, clusterSize) ||
        walk.Wild(offset, clusterSize)) {
      walk.Damage(i * l2Span, l2Span);
      continue;
    }
    l2Offsets[i] = offset;
    walk.Metadata(offset, uint64_t(8) << q.l2Bits);
  }
  for (uint64_t i = 0; i < q.l1Entries && !walk.Refused(); ++i) {
    if (l2Offsets[i] == 0) continue;
    const std::string what = "L2 table of L1 entry " + std::to_string(i);
    if (walk.ReadTable(l2Offsets[i], uint64_t(8) << q.l2Bits, table, what.c_str()))
      CheckL2(walk, q, table, l2Offsets[i], i * l2Span);
  }
  walk.Finish();
}

}  // namespace salvex
