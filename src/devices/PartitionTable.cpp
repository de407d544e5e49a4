#include "devices/PartitionTable.h"

#include <set>
#include <vector>

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "devices/Device.h"
#include "salvex/StringIds.h"

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

void MarkPastEnd(TPartitionEntry& e, uint64_t deviceSectors) {
  e.StartsPastEnd = e.FirstSector >= deviceSectors;
  e.RunsPastEnd = e.StartsPastEnd || e.SectorCount > deviceSectors - e.FirstSector;
  if (e.RunsPastEnd)
    DebugLog("partition entry " + std::to_string(e.Slot + 1) + " of the table at sector " +
                 std::to_string(e.TableSector) + ": " + PastEndWarning(e, deviceSectors),
             0);
}

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
    // Without its signature the sector is not a table (random bytes, a wiped MBR, a boot sector).
    if (r.U8(510) != 0x55 || r.U8(511) != 0xAA) {
      DebugLog("sector " + std::to_string(tableSector) + " has no partition table signature", 0);
      return;
    }
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
    for (auto& e : entries)
      if (e.Type != 0) MarkPastEnd(e, device.TotalSectors);
    for (const auto& e : entries)
      if (e.Kind != TPartitionKind::Extended && e.Type != 0) visit(e);
    for (const auto& e : entries) {
      if (e.Kind != TPartitionKind::Extended) continue;
      visit(e);
      if (e.StartsPastEnd) continue;
      uint64_t next = e.FirstSector;
      Walk(next, extendedBase != 0 ? extendedBase : next, depth + 1);
    }
  }
};

bool HasProtectiveEntry(std::span<const uint8_t> mbr) {
  ByteReader r(mbr);
  if (r.U8(510) != 0x55 || r.U8(511) != 0xAA) return false;
  for (size_t i = 0; i < 4; ++i)
    if (r.U8(0x1BE + i * 16 + 4) == 0xEE) return true;
  return false;
}

TPartitionKind VolumeKindAt(TDevice& device, uint64_t sector) {
  std::vector<uint8_t> boot(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
  if (!device.ReadSectors(sector, 1, false, device.TotalSectors, boot.data())) return TPartitionKind::Other;
  if (IsNTFSBootSector(boot)) return TPartitionKind::NTFS;
  if (IsFATBootSector(boot)) return TPartitionKind::FAT;
  return TPartitionKind::Other;
}

void VisitGPT(TDevice& device, const TGPTTable& table, const std::function<void(const TPartitionEntry&)>& visit) {
  for (const TGPTEntry& g : table.Entries) {
    if (g.FirstLBA > g.LastLBA) {
      DebugLog("GPT entry " + std::to_string(g.Index + 1) + " ends before it starts; ignored", 0);
      continue;
    }
    TPartitionEntry e;
    e.Scheme = TPartitionScheme::GPT;
    e.TableSector = table.Header.EntryLBA;
    e.Slot = static_cast<int>(g.Index);
    e.FirstSector = g.FirstLBA;
    e.SectorCount = g.LastLBA - g.FirstLBA + 1;
    e.TypeGuid = g.TypeGuid;
    e.UniqueGuid = g.UniqueGuid;
    e.Name = g.Name;
    MarkPastEnd(e, device.TotalSectors);
    e.Kind = GPTTypeMayHoldVolume(g.TypeGuid) && !e.StartsPastEnd ? VolumeKindAt(device, g.FirstLBA)
                                                                   : TPartitionKind::Other;
    visit(e);
  }
}

}  // namespace

std::string PastEndWarning(const TPartitionEntry& e, uint64_t deviceSectors) {
  if (e.StartsPastEnd || e.FirstSector >= deviceSectors)
    return TextF(txt::PartitionStartsPastEnd, {e.FirstSector, deviceSectors});
  if (e.SectorCount <= deviceSectors - e.FirstSector) return {};
  return TextF(txt::PartitionRunsPastEnd, {e.SectorCount, e.FirstSector, deviceSectors - e.FirstSector});
}

TPartitionWalk WalkPartitionTables(TDevice& device, const std::function<void(const TPartitionEntry&)>& visit) {
  TPartitionWalk result;
  std::vector<uint8_t> mbr(device.BytesPerSector > 512 ? device.BytesPerSector : 512);
  if (!device.ReadSectors(0, 1, false, device.TotalSectors, mbr.data())) return result;
  if (HasProtectiveEntry(mbr)) {
    // GPT wins over the MBR's own entries, as in a hybrid MBR.
    TGPTTable table;
    if (ReadGPT(device, table)) {
      result.Scheme = TPartitionScheme::GPT;
      result.GPTHeaderSector = table.Header.MyLBA;
      result.GPTBackupUsed = table.BackupUsed;
      result.GPTPrimaryFault = table.PrimaryFault;
      VisitGPT(device, table, visit);
      return result;
    }
  }
  ByteReader r(mbr);
  if (r.U8(510) == 0x55 && r.U8(511) == 0xAA) result.Scheme = TPartitionScheme::MBR;
  Walker w{device, visit, {}};
  w.Walk(0, 0, 0);
  return result;
}

}  // namespace salvex
