#pragma once
// Small FAT volumes built from bytes in memory, served through the fake file-descriptor layer,
// so that one structure at a time can be set up and broken.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/ByteReader.h"
#include "devices/Device.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "fat/FATdrive.h"

namespace salvex::test {

struct FatGeometry {
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint32_t reserved = 1;
  uint32_t fats = 2;
  uint32_t rootEntries = 224;  // 0 for FAT32
  uint32_t sectorsPerFAT = 9;
  uint32_t clusters = 2000;  // data clusters; the total sector count follows
  uint32_t rootCluster = 2;  // FAT32 only
  bool fat32 = false;
};

class FatImage {
 public:
  explicit FatImage(FatGeometry g) : g_(g) {
    rootDirSectors_ = (g.rootEntries * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    firstData_ = g.reserved + g.fats * g.sectorsPerFAT + rootDirSectors_;
    total_ = firstData_ + uint64_t(g.clusters) * g.sectorsPerCluster;
    bytes.assign(total_ * g.bytesPerSector, 0);
    uint8_t* b = bytes.data();
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    std::memcpy(b + 3, "MSWIN4.1", 8);
    PutU16(b + 0x0B, uint16_t(g.bytesPerSector));
    b[0x0D] = uint8_t(g.sectorsPerCluster);
    PutU16(b + 0x0E, uint16_t(g.reserved));
    b[0x10] = uint8_t(g.fats);
    PutU16(b + 0x11, uint16_t(g.rootEntries));
    if (total_ < 65536 && !g.fat32)
      PutU16(b + 0x13, uint16_t(total_));
    else
      PutU32(b + 0x20, uint32_t(total_));
    b[0x15] = 0xF8;
    if (g.fat32) {
      PutU32(b + 0x24, g.sectorsPerFAT);
      PutU32(b + 0x2C, g.rootCluster);
      std::memcpy(b + 0x47, "TESTVOLUME ", 11);
    } else {
      PutU16(b + 0x16, uint16_t(g.sectorsPerFAT));
      std::memcpy(b + 0x2B, "TESTVOLUME ", 11);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
  }

  const FatGeometry& Geometry() const { return g_; }
  uint64_t FirstDataSector() const { return firstData_; }
  uint64_t RootSector() const { return g_.reserved + uint64_t(g_.fats) * g_.sectorsPerFAT; }
  uint8_t* Sector(uint64_t s) { return bytes.data() + s * g_.bytesPerSector; }
  uint8_t* Cluster(uint32_t n) { return Sector(firstData_ + uint64_t(n - 2) * g_.sectorsPerCluster); }
  size_t ClusterBytes() const { return size_t(g_.bytesPerSector) * g_.sectorsPerCluster; }

  // Writes entry n into every FAT copy (or only `copy` when >= 0), in the variant's width.
  void SetFAT(uint32_t n, uint32_t value, int copy = -1) {
    for (uint32_t c = 0; c < g_.fats; ++c) {
      if (copy >= 0 && c != uint32_t(copy)) continue;
      uint8_t* fat = Sector(g_.reserved + uint64_t(c) * g_.sectorsPerFAT);
      if (g_.fat32) {
        PutU32(fat + 4 * n, value);
      } else if (IsFAT12()) {
        size_t o = n + n / 2;
        uint16_t old = uint16_t(fat[o] | (fat[o + 1] << 8));
        uint16_t v = (n & 1) ? uint16_t((old & 0x000F) | (value << 4)) : uint16_t((old & 0xF000) | (value & 0xFFF));
        fat[o] = uint8_t(v);
        fat[o + 1] = uint8_t(v >> 8);
      } else {
        PutU16(fat + 2 * n, uint16_t(value));
      }
    }
  }
  bool IsFAT12() const { return !g_.fat32 && g_.clusters < 4085; }
  uint32_t EndMark() const { return g_.fat32 ? 0x0FFFFFFF : IsFAT12() ? 0xFFF : 0xFFFF; }
  // A chain over the given clusters, ended by an end mark.
  void Chain(const std::vector<uint32_t>& clusters) {
    for (size_t i = 0; i < clusters.size(); ++i)
      SetFAT(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : EndMark());
  }

  // A 32-byte short record; name is 11 bytes (8 + 3, blank padded).
  static std::vector<uint8_t> Record(const std::string& name11, uint8_t attr, uint32_t cluster, uint32_t size,
                                     uint16_t date = 0x5132, uint16_t time = 0x6000) {
    std::vector<uint8_t> r(32, 0);
    std::memcpy(r.data(), name11.data(), std::min<size_t>(11, name11.size()));
    r[11] = attr;
    PutU16(&r[20], uint16_t(cluster >> 16));
    PutU16(&r[22], time);
    PutU16(&r[24], date);
    PutU16(&r[26], uint16_t(cluster));
    PutU32(&r[28], size);
    return r;
  }
  static uint8_t Checksum(const std::string& name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + uint8_t(name11[i]));
    return sum;
  }
  // The long-name records for `name` (ASCII), in disk order (last part first).
  static std::vector<std::vector<uint8_t>> LongName(const std::string& name, uint8_t checksum) {
    return LongName(std::u16string(name.begin(), name.end()), checksum);
  }
  // The same for any UTF-16 code units, unpaired surrogates included.
  static std::vector<std::vector<uint8_t>> LongName(std::u16string chars, uint8_t checksum) {
    const size_t count = (chars.size() + 12) / 13;
    if (chars.size() % 13) {
      chars.push_back(0);
      while (chars.size() % 13) chars.push_back(0xFFFF);
    }
    static const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<std::vector<uint8_t>> out;
    for (size_t k = count; k >= 1; --k) {
      std::vector<uint8_t> r(32, 0);
      r[0] = uint8_t(k | (k == count ? 0x40 : 0));
      r[11] = 0x0F;
      r[13] = checksum;
      for (size_t i = 0; i < 13; ++i) PutU16(&r[offsets[i]], chars[(k - 1) * 13 + i]);
      out.push_back(r);
    }
    return out;
  }

  // Appends records to a directory: the fixed root (cluster 0) or a cluster.
  void AddToDir(uint32_t cluster, const std::vector<uint8_t>& record) {
    uint8_t* base = cluster == 0 ? Sector(RootSector()) : Cluster(cluster);
    size_t& used = used_[cluster];
    std::memcpy(base + used * 32, record.data(), 32);
    ++used;
  }
  template <class Name>
  void AddLongEntry(uint32_t dirCluster, const Name& longName, const std::string& name11, uint8_t attr,
                    uint32_t cluster, uint32_t size) {
    for (auto& r : LongName(longName, Checksum(name11))) AddToDir(dirCluster, r);
    AddToDir(dirCluster, Record(name11, attr, cluster, size));
  }
  // A subdirectory cluster starting with "." and "..".
  void MakeDirCluster(uint32_t cluster, uint32_t parent) {
    AddToDir(cluster, Record(".          ", 0x10, cluster, 0));
    AddToDir(cluster, Record("..         ", 0x10, parent, 0));
  }

  std::vector<uint8_t> bytes;

 private:
  FatGeometry g_;
  uint32_t rootDirSectors_ = 0;
  uint64_t firstData_ = 0;
  uint64_t total_ = 0;
  std::map<uint32_t, size_t> used_;
};

// A FAT volume mounted from an in-memory image registered as a logical drive.
struct MountedFat {
  ScopedFakeIO fake;
  std::unique_ptr<TDevice> device;
  std::unique_ptr<TFATdrive> drive;
  bool mounted = false;

  void Mount(const std::vector<uint8_t>& image, bool quiet = true, const std::string& path = "/img/fat") {
    fake.io.images[path].bytes = image;
    device = std::make_unique<TDevice>();
    device->Kind = KindLogical;
    device->Number = TDeviceRegistry::Instance().AddImage(path, TImageKind::Drive, 512).Number;  // the device keeps 512-byte sectors
    device->TotalSectors = image.size() / 512;
    device->Name = "test drive";
    drive = std::make_unique<TFATdrive>();
    drive->Device = device.get();
    drive->SectorCount = device->TotalSectors;
    mounted = drive->Mount(quiet);
  }
};

}  // namespace salvex::test
