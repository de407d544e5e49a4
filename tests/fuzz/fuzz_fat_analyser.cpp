// The lost-drive analyser over arbitrary sector streams. The input is a run of pieces of one gap
// byte (0..3 sectors skipped before the piece, so that runs of directory sectors both continue and
// break) and one 512-byte sector; each sector is analysed with the one after it as its window.
// Then the volumes it rebuilt are walked: every folder and parent link they hold must be sound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "devices/Device.h"
#include "devices/DriveList.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "fat/FATAnalyser.h"
#include "fat/FATDirectory.h"

namespace {

constexpr size_t kSector = 512;
constexpr size_t kPiece = kSector + 1;

salvex::test::FakeRawIO& Io() {
  static salvex::test::FakeRawIO* io = [] {
    auto* fake = new salvex::test::FakeRawIO;
    fake->images["/fuzz"].virtualSize = uint64_t(1) << 24;  // reads give zeros
    salvex::SetRawIO(fake);
    return fake;
  }();
  return *io;
}

// Walks a rebuilt volume's tree: parent links must lead back up, and nothing may loop.
void Walk(salvex::TCustomDirectory& root) {
  std::vector<salvex::TCustomDirectory*> stack{&root};
  size_t visited = 0;
  while (!stack.empty()) {
    salvex::TCustomDirectory* d = stack.back();
    stack.pop_back();
    if (++visited > 100000) __builtin_trap();  // more folders than the input could describe
    if (!d->Children) continue;
    for (auto& child : *d->Children) {
      if (!child) __builtin_trap();
      if (auto* sub = dynamic_cast<salvex::TCustomDirectory*>(child.get())) {
        if (sub->Parent != d) __builtin_trap();
        stack.push_back(sub);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  Io();
  auto& registry = TDeviceRegistry::Instance();
  if (registry.Devices().empty()) registry.AddImage("/fuzz", TImageKind::Disk);

  TDevice device;
  device.Number = registry.Devices().front().Number;
  device.TotalSectors = 1 << 15;
  TDriveList drives;
  TFATAnalyser analyser;
  analyser.Start(device, drives);
  uint32_t files = 0, folders = 0, found = 0;

  std::vector<uint8_t> window(2 * kSector);
  uint64_t sector = 1;
  for (size_t off = 0; off < size; off += kPiece) {
    sector += data[off] & 3;
    std::memset(window.data(), 0, window.size());
    std::memcpy(window.data(), data + off + 1, std::min(kSector, size - off - 1));
    const size_t next = off + kPiece + 1;
    if (next < size) std::memcpy(window.data() + kSector, data + next, std::min(kSector, size - next));
    analyser.AnalyseSector(device, sector, files, folders, found, kSector, window.data());
    ++sector;
  }
  analyser.Finish(nullptr);
  for (size_t i = 0; i < drives.Count(); ++i)
    if (drives.Items(i)->RootFolder) Walk(*drives.Items(i)->RootFolder);
  return 0;
}
