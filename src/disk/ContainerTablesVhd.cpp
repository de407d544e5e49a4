// VHD (a footer, for dynamic and differencing disks a header and a block allocation table of
// big-endian sector numbers) and VHDX (region table, metadata items, 64-bit BAT entries).
#include <cstring>
#include <vector>

#include "disk/ContainerTableWalk.h"

namespace salvex {

namespace {

constexpr uint32_t kVhdFixed = 2;
constexpr uint32_t kVhdUnallocated = 0xFFFFFFFF;

// GUIDs as they are stored (first three fields little-endian).
constexpr uint8_t kBatRegion[16] = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                    0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr uint8_t kMetadataRegion[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                         0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr uint8_t kFileParameters[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                         0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr uint8_t kVirtualDiskSize[16] = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                          0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr uint8_t kLogicalSectorSize[16] = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                            0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};

bool SameGuid(const ByteReader& r, size_t offset, const uint8_t (&guid)[16]) {
  auto bytes = r.Sub(offset, 16);
  return bytes.size() == 16 && std::memcmp(bytes.data(), guid, 16) == 0;
}

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

void CheckVhdTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check) {
  TTableWalk walk(fileSize, read, check, "the VHD image");
  if (fileSize < 512) return;
  // The library trusts the footer at the end; a dynamic disk keeps a copy at the start.
  std::vector<uint8_t> footer(512, 0);
  const bool footerAtEnd = read(fileSize - 512, footer) && std::memcmp(footer.data(), "conectix", 8) == 0;
  if (!footerAtEnd && (!read(0, footer) || std::memcmp(footer.data(), "conectix", 8) != 0)) return;
  ByteReader f(footer.data(), footer.size());
  const uint64_t dataOffset = BigEndian(f, 16, 8), mediaSize = BigEndian(f, 48, 8);
  const uint32_t type = uint32_t(BigEndian(f, 60, 4));
  walk.SetMediaSize(mediaSize);
  if (type == kVhdFixed) {
    if (fileSize - 512 < mediaSize) walk.NoteCut(mediaSize + 512, "the disk");
    return walk.Finish();
  }
  std::vector<uint8_t> header;
  walk.Metadata(0, 512);
  if (footerAtEnd) walk.Metadata(fileSize - 512, 512);
  if (!walk.ReadTable(dataOffset, 1024, header, "dynamic disk header")) return walk.Finish();
  ByteReader d(header.data(), header.size());
  if (!d.Equals(0, "cxsparse")) return;  // the library refuses it
  const uint64_t tableOffset = BigEndian(d, 16, 8);
  const uint64_t entries = BigEndian(d, 28, 4), blockSize = BigEndian(d, 32, 4);
  if (!PowerOfTwo(blockSize) || blockSize < 512) return;
  for (size_t i = 0; i < 8; ++i) {  // parent locators of a differencing disk
    const size_t at = 576 + i * 24;
    if (BigEndian(d, at, 4) != 0) walk.Metadata(BigEndian(d, at + 16, 8), BigEndian(d, at + 4, 4) * 512);
  }
  std::vector<uint8_t> bat;
  if (!walk.ReadTable(tableOffset, (entries * 4 + 511) / 512 * 512, bat, "block allocation table")) return walk.Finish();
  ByteReader b(bat.data(), bat.size());
  const uint64_t bitmapBytes = (blockSize / 512 / 8 + 511) / 512 * 512;
  const uint64_t blockSectors = (bitmapBytes + blockSize) / 512;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t media = i * blockSize;
    if (media >= mediaSize) break;
    const uint64_t sector = BigEndian(b, size_t(i * 4), 4);
    if (sector == kVhdUnallocated) continue;
    // A block that would run past the 32-bit sector space cannot have been written there.
    if (sector + blockSectors > (uint64_t(1) << 32)) walk.Damage(media, blockSize);
    else walk.Unit(media, blockSize, sector * 512, bitmapBytes + blockSize);
  }
  walk.Finish();
}

void CheckVhdxTables(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check) {
  constexpr uint64_t kMiB = uint64_t(1) << 20;
  TTableWalk walk(fileSize, read, check, "the VHDX image");
  std::vector<uint8_t> regions;
  // The header area (file identifier, two headers, two region tables) is the first MiB.
  if (!walk.ReadTable(192 * 1024, 64 * 1024, regions, "region table")) return walk.Finish();
  walk.Metadata(0, kMiB);
  ByteReader rt(regions.data(), regions.size());
  if (!rt.Equals(0, "regi")) return;
  const uint64_t count = rt.U32(8);
  uint64_t batOffset = 0, batLength = 0, metaOffset = 0, metaLength = 0;
  for (uint64_t i = 0; i < count && i < 2047; ++i) {
    const size_t at = size_t(16 + i * 32);
    const uint64_t offset = rt.U64(at + 16), length = rt.U32(at + 24);
    walk.Metadata(offset, length);
    if (SameGuid(rt, at, kBatRegion)) batOffset = offset, batLength = length;
    if (SameGuid(rt, at, kMetadataRegion)) metaOffset = offset, metaLength = length;
  }
  std::vector<uint8_t> meta;
  if (metaLength == 0 || batLength == 0 || !walk.ReadTable(metaOffset, metaLength, meta, "metadata region"))
    return walk.Finish();
  ByteReader m(meta.data(), meta.size());
  if (!m.Equals(0, "metadata")) return;
  uint64_t blockSize = 0, mediaSize = 0, sectorSize = 0;
  for (uint64_t i = 0, items = m.U16(10); i < items && i < 2047; ++i) {
    const size_t at = size_t(32 + i * 32);
    const size_t item = m.U32(at + 16);
    if (SameGuid(m, at, kFileParameters)) blockSize = m.U32(item);
    if (SameGuid(m, at, kVirtualDiskSize)) mediaSize = m.U64(item);
    if (SameGuid(m, at, kLogicalSectorSize)) sectorSize = m.U32(item);
  }
  if (!PowerOfTwo(blockSize) || blockSize < kMiB || (sectorSize != 512 && sectorSize != 4096)) return;
  walk.SetMediaSize(mediaSize);
  std::vector<uint8_t> bat;
  if (!walk.ReadTable(batOffset, batLength, bat, "block allocation table")) return walk.Finish();
  ByteReader b(bat.data(), bat.size());
  // Each chunk of payload blocks is followed by the entry of its sector bitmap.
  const uint64_t chunkRatio = (uint64_t(1) << 23) * sectorSize / blockSize;
  const uint64_t blocks = mediaSize / blockSize + (mediaSize % blockSize != 0);
  for (uint64_t i = 0; i < blocks; ++i) {
    const uint64_t index = i + i / chunkRatio;
    if (!b.Has(size_t(index * 8), 8)) {
      walk.Damage(i * blockSize, (blocks - i) * blockSize);
      break;
    }
    const uint64_t e = b.U64(size_t(index * 8));
    const unsigned state = unsigned(e & 7);
    if (state != 6 && state != 7) continue;  // not present, zero, unmapped: no file bytes are read
    walk.Unit(i * blockSize, blockSize, (e >> 20) * kMiB, blockSize);
  }
  walk.Finish();
}

}  // namespace salvex
