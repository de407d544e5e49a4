// A hosted sparse VMDK extent (KDMV): a little-endian header, a grain directory of grain-table
// sectors, grain tables of grain sectors. A stream-optimised extent keeps the real header in a
// footer near its end and stores each grain compressed behind a 12-byte marker.
#include <vector>

#include "disk/ContainerTableWalk.h"

namespace salvex {

namespace {

constexpr uint64_t kGrainDirectoryAtEnd = ~uint64_t(0);
constexpr uint32_t kZeroedGrainEntries = 1u << 2;
constexpr uint32_t kCompressedGrains = 1u << 16;

}  // namespace

void CheckVmdkSparseExtent(uint64_t mediaOffset, uint64_t fileSize, const TContainerFileRead& read,
                           TContainerCheck& check, const std::string& name) {
  TTableWalk walk(fileSize, read, check, name);
  std::vector<uint8_t> header(512, 0);
  if (fileSize < 512 || !read(0, header)) return;
  const ByteReader first(header.data(), header.size());
  if (!first.Equals(0, "KDMV")) return;  // a descriptor or an old ESX sparse extent: not checked here
  if (first.U64(56) == kGrainDirectoryAtEnd) {
    // Footer marker, footer, end-of-stream marker: the footer is the second sector from the end.
    std::vector<uint8_t> footer(512, 0);
    if (fileSize < 1536 || !read(fileSize - 1024, footer) || !ByteReader(footer.data(), 512).Equals(0, "KDMV")) {
      walk.NoteCut(fileSize + 1536, "the footer");
      return walk.Finish();
    }
    header = footer;
    walk.Metadata(fileSize - 1536, 1536);
  }
  const ByteReader h(header.data(), header.size());
  const uint32_t flags = h.U32(8);
  const uint64_t capacity = h.U64(12), grainSectors = h.U64(20);
  const uint64_t descriptorOffset = h.U64(28), descriptorSize = h.U64(36);
  const uint64_t perTable = h.U32(44), directory = h.U64(56), overhead = h.U64(64);
  if (grainSectors < 1 || grainSectors > (uint64_t(1) << 20) || (grainSectors & (grainSectors - 1)) != 0 ||
      perTable < 1 || perTable > (uint64_t(1) << 20) || capacity > (uint64_t(1) << 50) || directory == 0 ||
      directory > (UINT64_MAX >> 9)) {
    return;  // the library refuses or reads no grains
  }
  const uint64_t grainBytes = grainSectors * 512, tableSpan = grainBytes * perTable;
  const uint64_t mediaSize = capacity * 512;
  walk.SetMediaSize(mediaSize);
  walk.Metadata(0, 512);
  if (descriptorOffset != 0) walk.Metadata(descriptorOffset * 512, descriptorSize * 512);
  const uint64_t tables = mediaSize / tableSpan + (mediaSize % tableSpan != 0);
  std::vector<uint8_t> gd;
  if (!walk.ReadTable(directory * 512, tables * 4, gd, "grain directory")) return walk.Finish();
  // Grain tables lie in the overhead, after the header, descriptor and directory; grains after it.
  ByteReader g(gd.data(), gd.size());
  std::vector<uint64_t> tableAt(tables, 0);
  for (uint64_t t = 0; t < tables; ++t) {
    const uint64_t sector = g.U32(size_t(t * 4));
    if (sector == 0) continue;
    const uint64_t at = sector * 512, length = perTable * 4;
    if (walk.InMetadata(at, length) || walk.Wild(at, length)) {
      walk.Damage(mediaOffset + t * tableSpan, tableSpan);
      continue;
    }
    tableAt[t] = at;
    walk.Metadata(at, length);
  }
  if (overhead <= (UINT64_MAX >> 9)) walk.Metadata(0, overhead * 512);
  uint64_t lastGrain = 0;  // the compressed grain furthest into the file, whose marker is read
  std::vector<uint8_t> gt;
  for (uint64_t t = 0; t < tables && !walk.Refused(); ++t) {
    if (tableAt[t] == 0 || !walk.ReadTable(tableAt[t], perTable * 4, gt, "grain table")) continue;
    ByteReader r(gt.data(), gt.size());
    for (uint64_t i = 0; i < perTable; ++i) {
      const uint64_t media = t * tableSpan + i * grainBytes;
      if (media >= mediaSize) break;
      const uint64_t sector = r.U32(size_t(i * 4));
      if (sector == 0 || (sector == 1 && (flags & kZeroedGrainEntries))) continue;
      if (flags & kCompressedGrains) {
        if (walk.Unit(mediaOffset + media, grainBytes, sector * 512, 12) && sector * 512 > lastGrain)
          lastGrain = sector * 512;
      } else {
        walk.Unit(mediaOffset + media, grainBytes, sector * 512, grainBytes);
      }
    }
  }
  if (lastGrain != 0) {
    std::vector<uint8_t> marker(12, 0);
    if (read(lastGrain, marker)) {
      const uint64_t size = ByteReader(marker.data(), marker.size()).U32(8);
      if (size > fileSize || lastGrain + 12 + size > fileSize) walk.NoteCut(lastGrain + 12 + size, "a compressed grain");
    }
  }
  walk.Finish();
}

}  // namespace salvex
