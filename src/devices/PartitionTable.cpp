#include "devices/PartitionTable.h"

#include <set>
#include <vector>

#include "common/ByteReader.h"
#include "common/Debug.h"
#include "devices/Device.h"

namespace salvex {

TPartitionKind ClassifyPartitionType(uint8_t type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0B: case 0x0C: case 0x0E: return TPartitionKind::FAT;
    case 0x07: return TPartitionKind::NTFS;
    case 0x05: case 0x0F: return TPartitionKind::Extended;
    default: return TPartitionKind::Other;
  }
}

namespace {

constexpr size_t kMaxTables = 1024;

struct Walker {
  TDevice& device;
  const std::function<void(const TPartitionEntry&)>& visit;
  std::set<uint64_t> visited;

  void Walk(uint64_t tableSector, uint64_t extendedBase, int depth) {
    if (visited.size() >= kMaxTables) return;
    if (!visited.insert(tableSector).second) {
      DebugLog("partition table at sector " + std::to_string(tableSector) + " already visited; chain ends", 0);
      return;
    }
    std::vector<uint8_t> sector(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
    if (!device.ReadSectors(tableSector, 1, false, device.TotalSectors, sector.data())) return;
    ByteReader r(sector);
    TPartitionEntry entries[4];
    for (int i = 0; i < 4; ++i) {
      size_t at = 0x1BE + size_t(i) * 16;
      TPartitionEntry& e = entries[i];
      e.TableSector = tableSector;
      e.Slot = i;
      e.Type = r.U8(at + 4);
      e.Kind = ClassifyPartitionType(e.Type);
      e.SectorCount = r.U32(at + 12);
      e.Depth = depth;
      uint32_t start = r.U32(at + 8);
      // Volumes start relative to their own table; links relative to the outermost extended.
      e.FirstSector = e.Kind == TPartitionKind::Extended ? (extendedBase != 0 ? extendedBase : 0) + start
                                                         : tableSector + start;
    }
    for (const auto& e : entries)
      if (e.Kind != TPartitionKind::Extended && e.Type != 0) visit(e);
    for (const auto& e : entries) {
      if (e.Kind != TPartitionKind::Extended) continue;
      visit(e);
      uint64_t next = e.FirstSector;
      Walk(next, extendedBase != 0 ? extendedBase : next, depth + 1);
    }
  }
};

}  // namespace

void WalkPartitionTables(TDevice& device, const std::function<void(const TPartitionEntry&)>& visit) {
  Walker w{device, visit, {}};
  w.Walk(0, 0, 0);
}

}  // namespace salvex
