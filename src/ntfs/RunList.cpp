#include "ntfs/RunList.h"

#include <algorithm>
#include <string>

#include "common/ByteReader.h"

namespace salvex::ntfs {

namespace {
constexpr int64_t kMaxCluster = int64_t(1) << 48;  // far beyond any volume; keeps sums from overflowing

std::string Hex2(uint8_t v) {
  const char* digits = "0123456789ABCDEF";
  return {digits[v >> 4], digits[v & 15]};
}
}

TDecodedRuns DecodeRunList(std::span<const uint8_t> bytes, int64_t startVcn) {
  TDecodedRuns out;
  ByteReader r(bytes);
  size_t p = 0;
  int64_t vcn = startVcn;
  int64_t lcn = 0;
  auto damage = [&](const std::string& why) {
    out.Damage = TError::Corrupt("run list", "entry at byte " + std::to_string(p) + ": " + why);
    return out;
  };
  if (vcn < 0 || vcn >= kMaxCluster) {
    p = 0;
    return damage("its starting VCN " + std::to_string(startVcn) + " is out of range");
  }
  while (p < bytes.size()) {
    uint8_t header = r.U8(p);
    if (header == 0) return out;
    size_t lengthBytes = header & 0x0F;
    size_t offsetBytes = header >> 4;
    const std::string head = "header 0x" + Hex2(header);
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8)
      return damage(head + " gives " + std::to_string(lengthBytes) + " length and " + std::to_string(offsetBytes) +
                    " offset bytes");
    if (!r.Has(p + 1, lengthBytes + offsetBytes)) return damage(head + " reaches past the end of the attribute");
    uint64_t length = r.UN(p + 1, lengthBytes);
    if (length == 0) return damage(head + ": run length 0");
    if (length >= uint64_t(kMaxCluster) || vcn + int64_t(length) > kMaxCluster)
      return damage(head + ": run length " + std::to_string(length) + " clusters is out of range");
    TRun run;
    run.Vcn = vcn;
    run.Length = length;
    if (offsetBytes == 0) {
      run.Hole = true;
    } else {
      int64_t delta = r.SN(p + 1 + lengthBytes, offsetBytes);
      if (delta <= -kMaxCluster || delta >= kMaxCluster || lcn + delta < 0 || lcn + delta >= kMaxCluster)
        return damage(head + ": LCN offset " + std::to_string(delta) + " from cluster " + std::to_string(lcn) +
                      " leaves any volume");
      lcn += delta;
      run.Lcn = lcn;
    }
    out.Runs.push_back(run);
    vcn += int64_t(length);
    p += 1 + lengthBytes + offsetBytes;
  }
  return damage("the list has no end marker");
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
