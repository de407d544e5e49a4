#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "ntfs/RunList.h"

namespace salvex {

class TCustomDirectory;
class TFoundMFT;
class TNTFSdrive;
class TStatusDialog;
struct TNTFSDataPos;

// Files a former MFT still describes (the volume was formatted again, or its MFT was moved), listed in
// `lost` as the folder tree their records give: a record of the former root's children goes in `lost`
// itself; one whose parent record is gone (overwritten by the new MFT, reused by another, not a
// folder) or whose parents loop goes in a folder "MFT N" for the missing parent N. Records of the
// current $MFT are never among `found`. Only records in use when the MFT was last written are listed.
// Returns the number of files listed; `clusters` gets the (first, count) pieces of their data.
uint64_t AddFormerTree(TNTFSdrive& drive, const TFoundMFT& found, TCustomDirectory& lost, TStatusDialog* status,
                       std::vector<std::pair<uint64_t, uint64_t>>& clusters);

// Clusters of a former file that the volume now uses.
struct TClustersInUse {
  uint64_t Count = 0;
  uint64_t First = 0;
};

// Turns the clusters among the first `clusters` of a file that `bitmap` marks in use (or that lie past
// the volume's `volumeClusters`) into holes, so that they read as zeros instead of another file's bytes.
TClustersInUse HideClustersInUse(std::vector<ntfs::TRun>& runs, uint64_t clusters, std::span<const uint8_t> bitmap,
                                 uint64_t volumeClusters);

// Opens the unnamed $DATA (or the named one `stream`) of the former record at volume offset
// `recordOffset` (number `number`) for reading through the drive's found records; clusters the volume
// now uses read as zeros and pos.Failure says which.
bool OpenFoundDataPos(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t recordOffset, uint64_t number,
                      std::u16string_view stream = {});

}  // namespace salvex
