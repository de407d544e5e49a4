#pragma once
#include <cstdint>
#include <iterator>
#include <map>

namespace salvex {

// A set of cluster numbers kept as runs, so that a file's or a walk's clusters cost memory by
// fragment, not by cluster: what loop checks remember of a chain.
class TClusterSet {
 public:
  // Adds n; false when it was there already.
  bool Insert(uint32_t n) {
    auto next = runs_.upper_bound(n);
    if (next != runs_.begin()) {
      auto prev = std::prev(next);
      if (n < prev->second) return false;
      if (prev->second == n) {
        prev->second = n + 1;
        if (next != runs_.end() && next->first == prev->second) {
          prev->second = next->second;
          runs_.erase(next);
        }
        return true;
      }
    }
    if (next != runs_.end() && next->first == n + 1) {
      const uint64_t end = next->second;
      runs_.erase(next);
      runs_.emplace(n, end);
    } else {
      runs_.emplace(n, uint64_t(n) + 1);
    }
    return true;
  }
  bool Contains(uint32_t n) const {
    auto next = runs_.upper_bound(n);
    return next != runs_.begin() && n < std::prev(next)->second;
  }
  void Clear() { runs_.clear(); }
  size_t Runs() const { return runs_.size(); }

 private:
  std::map<uint32_t, uint64_t> runs_;  // first cluster -> one past the last
};

}  // namespace salvex
