#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/Error.h"

namespace salvex::ntfs {

// One run of a non-resident attribute: Length clusters from Vcn on, stored from Lcn on, or a hole
// (sparse run, no place on disk; reads as zeros).
struct TRun {
  int64_t Vcn = 0;
  uint64_t Length = 0;
  int64_t Lcn = 0;
  bool Hole = false;
};

// A decoded mapping-pairs array: the runs before its end marker, or before the damage that ended
// decoding early.
struct TDecodedRuns {
  std::vector<TRun> Runs;
  // Why decoding stopped before the end marker: the byte offset of the bad entry, its header and
  // the field that is wrong. None when the list ends with its 0 header.
  std::optional<TError> Damage;
};

// Decodes a mapping-pairs array starting at startVcn. Each entry is a header byte H, H & 0x0F bytes
// of unsigned run length and H >> 4 bytes of signed LCN delta; no delta bytes mark a hole. Decoding
// ends at a 0 header; an entry cut off by the end of the bytes, a zero-length run or a run that
// would leave the valid VCN/LCN range ends it too, as damage.
TDecodedRuns DecodeRunList(std::span<const uint8_t> bytes, int64_t startVcn);

// Where a VCN lies: its LCN (meaningless for a hole), the clusters left in its run from it, and
// whether it is a hole. False when no run holds the VCN (for example a VCN past the last run).
struct TRunHit {
  int64_t Lcn = 0;
  uint64_t ClustersLeft = 0;
  bool Hole = false;
};
bool FindRun(const std::vector<TRun>& runs, int64_t vcn, TRunHit& hit);

}  // namespace salvex::ntfs
