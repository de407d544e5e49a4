#include "exfat/ExFATLostData.h"

#include <algorithm>
#include <exception>
#include <set>
#include <vector>

#include "common/Debug.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/LostDataScan.h"
#include "devices/StatusDialog.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATdrive.h"

namespace salvex {

namespace {

// A folder's first cluster starts with a whole entry set whose checksum holds; file data that
// happens to start with 0x85 rarely passes both the structure and the checksum.
bool StartsWithEntrySet(std::span<const uint8_t> cluster) {
  auto set = ParseExFATEntrySet(cluster, 0);
  return set && set->ChecksumOk;
}

}  // namespace

bool FindExFATLostData(TExFATdrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders() || drive.ClusterCount == 0 || drive.ClusterSize == 0) return false;
  const uint64_t lowest = 2, highest = uint64_t(drive.ClusterCount) + 1;
  uint64_t first = lowest, last = highest;
  if (!Host().AskClusterRange(first, last, lowest, highest)) return false;
  first = std::clamp(first, lowest, highest);
  last = std::clamp(last, lowest, highest);
  if (first > last) std::swap(first, last);

  TLostDataScan scan(drive, status, last - first + 1);
  TStatusDialog& dialog = scan.Dialog();
  try {
    std::vector<uint32_t> found;
    std::set<uint32_t> named;  // first clusters of subfolders named by a folder found
    // Deleted folders the Deleted tree reaches are listed there already, with their names.
    std::set<uint32_t> known;
    drive.DeletedRoot()->Search(
        [&](TItem& item) {
          if (auto* d = dynamic_cast<TExFATDirectory*>(&item)) known.insert(d->FirstCluster);
          return !dialog.Cancelled;
        },
        true, true, true);
    const uint32_t spc = drive.ClusterSize / drive.BytesPerSec;
    std::vector<uint8_t> bytes(drive.ClusterSize);
    for (uint64_t c = first; c <= last && !dialog.Cancelled; ++c) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(732, {c}), TextF(733, {found.size()}), TextF(734, {uint64_t(0)}));
        Host().ProcessMessages();
      }
      dialog.Step();
      const uint32_t n = uint32_t(c);
      if ((drive.BitmapRead && !drive.IsClusterFree(n)) || known.count(n)) continue;
      if (!drive.ReadSectors(drive.ClusterToSector(n), spc, false, bytes.data()) || !StartsWithEntrySet(bytes)) continue;
      found.push_back(n);
      for (size_t off = 0; off + exentry::kSize <= bytes.size(); off += exentry::kSize) {
        auto set = ParseExFATEntrySet(bytes, off);
        if (!set) continue;
        if (set->Directory() && set->FirstCluster != n) named.insert(set->FirstCluster);
        off += (set->Entries - 1) * exentry::kSize;
      }
    }
    for (uint32_t n : found) {
      if (named.count(n)) continue;
      auto dir = std::make_unique<TExFATDirectory>();
      dir->Name = "cluster " + std::to_string(n);
      dir->Drive = &drive;
      dir->Parent = drive.LostFolder.get();
      dir->Flags = ItemLost;
      dir->FirstCluster = n;
      // The folder's length went with its entry in the parent: read on until its end entry.
      dir->NoFatChain = true;
      dir->DataLength = uint64_t(256) << 20;
      drive.LostFolder->Adopt(std::move(dir));
    }
  } catch (const std::exception& e) {
    // A search that broke off (memory refused included) is reported, never taken as finished.
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
