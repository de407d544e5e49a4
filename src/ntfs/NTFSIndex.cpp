#include "ntfs/NTFSIndex.h"

#include <vector>

#include "common/ByteReader.h"
#include "common/Debug.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint8_t kEntryHasSubNode = 0x01;
constexpr uint8_t kEntryLast = 0x02;
constexpr size_t kEntryHeader = 0x10;
// B+-trees of real directories are a handful of levels deep.
constexpr int kMaxDepth = 64;

// The entries area of an index header at `header`: entries offset and bytes in use are relative
// to the header.
std::span<const uint8_t> EntriesOf(std::span<const uint8_t> bytes, size_t header) {
  ByteReader r(bytes);
  uint32_t first = r.U32(header);
  uint32_t used = r.U32(header + 4);
  if (r.Failed() || first >= used) return {};
  size_t begin = header + first;
  size_t end = header + used;
  if (end > bytes.size()) end = bytes.size();
  if (begin >= end) return {};
  return bytes.subspan(begin, end - begin);
}

struct TIndexWalk {
  TNTFSdrive& drive;
  const TIndexVisitor& visitor;
  TNTFSAttribute allocation;
  std::vector<uint8_t> bitmap;
  bool haveAllocation = false;
  uint64_t vcnBytes = 0;  // bytes per VCN of the index allocation
  std::vector<int64_t> path;
  std::vector<std::vector<uint8_t>> blocks;  // one buffer per depth, reused

  bool BlockInUse(int64_t vcn) const {
    uint64_t block = uint64_t(vcn) * vcnBytes / drive.BytesPerIndexRecord;
    // A block past the bitmap's end is read: the bitmap may have been cut short.
    if ((block >> 3) >= bitmap.size()) return true;
    return (bitmap[block >> 3] >> (block & 7)) & 1;
  }

  bool Descend(int64_t vcn) {
    if (!haveAllocation || vcn < 0 || path.size() >= kMaxDepth) return true;
    for (int64_t v : path)
      if (v == vcn) return true;  // a block already on the path would loop
    if (!BlockInUse(vcn)) return true;
    size_t depth = path.size();
    if (blocks.size() <= depth) blocks.resize(depth + 1);
    std::vector<uint8_t>& block = blocks[depth];
    block.assign(drive.BytesPerIndexRecord, 0);
    uint64_t offset = uint64_t(vcn) * vcnBytes;
    bool complete = false;
    if (drive.ReadAttributeBytes(allocation, offset, block.size(), block.data(), &complete) != block.size() ||
        !complete)
      return true;
    if (!HasSignature(block, "INDX")) return true;
    drive.FixupRecord(block, offset);
    path.push_back(vcn);
    auto entries = EntriesOf(block, 0x18);
    bool go = WalkIndexNode(entries, visitor, [this](int64_t v) { return Descend(v); });
    path.pop_back();
    return go;
  }
};

}  // namespace

bool WalkIndexNode(std::span<const uint8_t> entries, const TIndexVisitor& visitor,
                   const std::function<bool(int64_t vcn)>& descend) {
  ByteReader r(entries);
  size_t p = 0;
  while (r.Has(p, kEntryHeader)) {
    uint64_t reference = r.U64(p);
    uint16_t length = r.U16(p + 8);
    uint16_t keyLength = r.U16(p + 10);
    uint8_t flags = r.U8(p + 12);
    if (length < kEntryHeader || !r.Has(p, length)) break;
    bool last = (flags & kEntryLast) != 0;
    if ((flags & kEntryHasSubNode) && length >= kEntryHeader + 8) {
      int64_t vcn = static_cast<int64_t>(r.U64(p + length - 8) & 0xFFFFFFFFFFFFull);
      if (!descend(vcn)) return false;
    }
    if (!last) {
      if (kEntryHeader + keyLength <= length && !visitor(reference, r.Sub(p + kEntryHeader, keyLength))) return false;
    }
    if (last || reference == 0) break;
    p += length;
  }
  return true;
}

bool EnumerateIndex(TNTFSdrive& drive, uint64_t recordNumber, const TIndexVisitor& visitor) {
  std::vector<uint8_t> record;
  if (!drive.ReadMFTRecord(recordNumber, record) || !IsValidRecord(record)) return true;
  TNTFSAttribute root;
  if (!drive.LoadAttribute(record, recordNumber, AttrIndexRoot, u"$I30", root) || !root.Resident) {
    DebugLog("no index root found!", 3);
    return true;
  }
  TIndexWalk walk{drive, visitor, {}, {}, false, 0, {}, {}};
  ByteReader rr(root.Value);
  uint32_t headerFlags = rr.U32(0x10 + 0x0C);
  if (headerFlags & 1) {
    if (!drive.LoadAttribute(record, recordNumber, AttrIndexAllocation, u"$I30", walk.allocation) ||
        walk.allocation.Resident) {
      DebugLog("no index allocation found!", 3);
    } else {
      TNTFSAttribute bitmap;
      if (!drive.LoadAttribute(record, recordNumber, AttrBitmap, u"$I30", bitmap)) {
        DebugLog("no file bitmap found!", 3);
      } else if (bitmap.Size() <= (16u << 20)) {
        walk.bitmap.resize(bitmap.Size());
        walk.bitmap.resize(drive.ReadAttributeBytes(bitmap, 0, bitmap.Size(), walk.bitmap.data()));
        walk.haveAllocation = true;
        // VCNs count clusters, or 512-byte units when index blocks are smaller than a cluster.
        walk.vcnBytes = drive.BytesPerIndexRecord >= drive.ClusterSize ? drive.ClusterSize : 512;
      }
    }
  }
  auto entries = EntriesOf(root.Value, 0x10);
  return WalkIndexNode(entries, visitor, [&walk](int64_t v) { return walk.Descend(v); });
}

}  // namespace salvex
