// The partition walk over crafted disks: MBR and extended chains, protective MBRs, GPT headers and
// entry arrays (primary and backup). The input is the start of a 256-sector disk read with
// 512-byte sectors, and also the start of a 64-sector disk read with 4096-byte sectors; the rest
// reads as zeros, except that the last 16 KiB of the input also stand at the disk's end, where the
// backup GPT lives. Every walk must stay in bounds and end.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "devices/Device.h"
#include "devices/PartitionTable.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"

namespace {

constexpr size_t kDiskBytes = 256 * 512;  // 64 sectors of 4096 bytes too

salvex::test::FakeRawIO& Io() {
  static salvex::test::FakeRawIO* io = [] {
    auto* fake = new salvex::test::FakeRawIO;
    fake->images["/disk512"].bytes.assign(kDiskBytes, 0);
    fake->images["/disk4k"].bytes.assign(kDiskBytes, 0);
    salvex::SetRawIO(fake);
    salvex::TDeviceRegistry::Instance().AddImage("/disk512", salvex::TImageKind::Disk, 512);
    salvex::TDeviceRegistry::Instance().AddImage("/disk4k", salvex::TImageKind::Disk, 4096);
    return fake;
  }();
  return *io;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  auto& io = Io();
  io.transfers.clear();
  for (const char* path : {"/disk512", "/disk4k"}) {
    auto& img = io.images[path].bytes;
    std::fill(img.begin(), img.end(), 0);
    std::memcpy(img.data(), data, std::min(size, img.size()));
    size_t tail = std::min<size_t>(size, 16384);
    std::memcpy(img.data() + img.size() - tail, data + size - tail, tail);
  }
  for (uint32_t bps : {512u, 4096u}) {
    TDevice device;
    device.Number = bps == 512 ? 0x80 : 0x81;
    device.BytesPerSector = static_cast<uint16_t>(bps);
    device.TotalSectors = kDiskBytes / bps;
    device.Partitioned = true;
    uint64_t visits = 0;
    WalkPartitionTables(device, [&](const TPartitionEntry& e) {
      ++visits;
      // Entries past the end are kept (a cut image still holds the start of its volumes), but
      // always marked, so that no volume is read beyond the device.
      const bool starts = e.FirstSector >= device.TotalSectors;
      const bool runs = starts || e.SectorCount > device.TotalSectors - e.FirstSector;
      if (starts != e.StartsPastEnd || runs != e.RunsPastEnd) __builtin_trap();
    });
    if (visits > 4 * 1024 + 1024) __builtin_trap();  // 1024 tables of 4 entries, or one GPT array
  }
  return 0;
}
