#include "fat/FATLinks.h"

#include "common/Debug.h"
#include "common/Helpers.h"
#include "fat/FATdrive.h"

namespace salvex {

namespace {
// Two bits per cluster: 64 Mi clusters take 16 MiB. Larger FAT32 volumes go unchecked.
constexpr uint32_t kMaxClusters = uint32_t(1) << 26;
}  // namespace

bool TFATLinks::Build(TFATdrive& drive, uint8_t copy) {
  copy_ = 0;
  once_.clear();
  twice_.clear();
  if (copy == 0 || drive.ClusterCount == 0) return false;
  if (drive.ClusterCount > kMaxClusters) {
    DebugLog("FAT links: " + std::to_string(drive.ClusterCount) + " clusters, shared clusters are not checked", 1);
    return false;
  }
  const size_t n = size_t(drive.ClusterCount) + 2;
  once_.assign(n, false);
  twice_.assign(n, false);
  for (uint32_t c = 2; c <= drive.ClusterCount + 1; ++c) {
    const uint32_t v = drive.GetFAT(c, copy - 1u);
    if (ClassifyFATEntry(drive.FATType, v) != EntryLink || !drive.IsValidCluster(v)) continue;
    if (once_[v])
      twice_[v] = true;
    else
      once_[v] = true;
  }
  copy_ = copy;
  return true;
}

uint8_t TFATLinks::Into(uint32_t n) const {
  if (n >= once_.size()) return 0;
  return twice_[n] ? 2 : once_[n] ? 1 : 0;
}

uint32_t TFATLinks::SharedCluster(TFATdrive& drive, uint32_t first, uint64_t size,
                                  const TClusterBits& starts) const {
  if (!Built() || !drive.IsValidCluster(first) || drive.ClusterSize == 0) return 0;
  if (Into(first) > 0) return first;
  const uint64_t clusters = (size + drive.ClusterSize - 1) / drive.ClusterSize;
  uint32_t c = first;
  for (uint64_t k = 1; k < clusters && k <= drive.ClusterCount; ++k) {
    const uint32_t next = drive.GetFAT(c, copy_ - 1u);
    if (ClassifyFATEntry(drive.FATType, next) != EntryLink || !drive.IsValidCluster(next)) return 0;
    if (Into(next) > 1 || starts.contains(next)) return next;
    c = next;
  }
  return 0;
}

}  // namespace salvex
