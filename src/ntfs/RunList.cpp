#include "ntfs/RunList.h"

#include <algorithm>

#include "common/ByteReader.h"

namespace salvex::ntfs {

namespace {
constexpr int64_t kMaxCluster = int64_t(1) << 48;  // far beyond any volume; keeps sums from overflowing
}

std::vector<TRun> DecodeRunList(std::span<const uint8_t> bytes, int64_t startVcn) {
  std::vector<TRun> runs;
  ByteReader r(bytes);
  size_t p = 0;
  int64_t vcn = startVcn;
  int64_t lcn = 0;
  if (vcn < 0 || vcn >= kMaxCluster) return runs;
  while (p < bytes.size()) {
    uint8_t header = r.U8(p);
    if (header == 0) break;
    size_t lengthBytes = header & 0x0F;
    size_t offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || !r.Has(p + 1, lengthBytes + offsetBytes)) break;
    uint64_t length = r.UN(p + 1, lengthBytes);
    if (length == 0 || length >= uint64_t(kMaxCluster) || vcn + int64_t(length) > kMaxCluster) break;
    TRun run;
    run.Vcn = vcn;
    run.Length = length;
    if (offsetBytes == 0) {
      run.Hole = true;
    } else {
      int64_t delta = r.SN(p + 1 + lengthBytes, offsetBytes);
      if (delta <= -kMaxCluster || delta >= kMaxCluster) break;
      lcn += delta;
      if (lcn < 0 || lcn >= kMaxCluster) break;
      run.Lcn = lcn;
    }
    runs.push_back(run);
    vcn += int64_t(length);
    p += 1 + lengthBytes + offsetBytes;
  }
  return runs;
}

bool FindRun(const std::vector<TRun>& runs, int64_t vcn, TRunHit& hit) {
  // Runs are in VCN order; extents from several records are appended in order too.
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](int64_t v, const TRun& r) { return v < r.Vcn; });
  if (it == runs.begin()) return false;
  --it;
  if (vcn < it->Vcn || uint64_t(vcn - it->Vcn) >= it->Length) return false;
  uint64_t into = uint64_t(vcn - it->Vcn);
  hit.Hole = it->Hole;
  hit.Lcn = it->Hole ? 0 : it->Lcn + int64_t(into);
  hit.ClustersLeft = it->Length - into;
  return true;
}

}  // namespace salvex::ntfs
