#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

namespace salvex {

class TFATdrive;

// A set of cluster numbers as one bit each: the first clusters of every live file of a volume
// with a million files cost a bit per cluster instead of a hash node per file.
class TClusterBits {
 public:
  void insert(uint32_t n) {
    if (n >= bits_.size()) bits_.resize(std::max<size_t>(size_t(n) + 1, bits_.size() * 2));
    bits_[n] = true;
  }
  bool contains(uint32_t n) const { return n < bits_.size() && bits_[n]; }

 private:
  std::vector<bool> bits_;
};

// How many links of one FAT copy reach each cluster. A live chain's first cluster is reached by
// none and every later one by exactly one; more means chains that meet (a cluster used by two
// files) or a chain that comes back to itself. Built with one pass over the FAT.
class TFATLinks {
 public:
  // Counts the links of FAT copy `copy` (1-based); false when the volume is too large to keep
  // a count per cluster.
  bool Build(TFATdrive& drive, uint8_t copy);
  bool Built() const { return copy_ != 0; }
  uint8_t Copy() const { return copy_; }
  // 0, 1 or 2 (two or more).
  uint8_t Into(uint32_t n) const;
  // The first cluster of a chain (up to `size` bytes of it) that some other link reaches as
  // well, or where another live file starts (`starts`: first clusters of live files seen so
  // far); 0 when the chain is its own.
  uint32_t SharedCluster(TFATdrive& drive, uint32_t first, uint64_t size,
                         const TClusterBits& starts) const;

 private:
  std::vector<bool> once_, twice_;
  uint8_t copy_ = 0;
};

}  // namespace salvex
