#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace salvex::ntfs {

// One run of a non-resident attribute: Length clusters from Vcn on, stored from Lcn on, or a hole
// (sparse run, no place on disk; reads as zeros).
struct TRun {
  int64_t Vcn = 0;
  uint64_t Length = 0;
  int64_t Lcn = 0;
  bool Hole = false;
};

// Decodes a mapping-pairs array starting at startVcn. Each entry is a header byte H, H & 0x0F bytes
// of unsigned run length and H >> 4 bytes of signed LCN delta; no delta bytes mark a hole. Decoding
// stops at a 0 header, at the end of the bytes, at a zero-length run or at a run that would leave
// the valid VCN/LCN range; the runs decoded so far are kept.
std::vector<TRun> DecodeRunList(std::span<const uint8_t> bytes, int64_t startVcn);

// Where a VCN lies: its LCN (meaningless for a hole), the clusters left in its run from it, and
// whether it is a hole. False when no run holds the VCN (for example a VCN past the last run).
struct TRunHit {
  int64_t Lcn = 0;
  uint64_t ClustersLeft = 0;
  bool Hole = false;
};
bool FindRun(const std::vector<TRun>& runs, int64_t vcn, TRunHit& hit);

}  // namespace salvex::ntfs
