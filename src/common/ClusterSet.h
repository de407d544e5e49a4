#pragma once
#include <algorithm>
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
  // Adds first .. end - 1 in one step; returns the first of them that was there already, or 0.
  uint32_t InsertRange(uint32_t first, uint64_t end) {
    if (first >= end) return 0;
    const uint32_t met = FirstIn(first, end);
    uint64_t start = first;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin() && std::prev(it)->second >= first) it = std::prev(it);
    while (it != runs_.end() && it->first <= end) {
      start = std::min<uint64_t>(start, it->first);
      end = std::max(end, it->second);
      it = runs_.erase(it);
    }
    runs_.emplace(uint32_t(start), end);
    return met;
  }
  // The lowest member in first .. end - 1, or 0.
  uint32_t FirstIn(uint32_t first, uint64_t end) const {
    auto next = runs_.upper_bound(first);
    if (next != runs_.begin() && first < std::prev(next)->second) return first;
    return next != runs_.end() && next->first < end ? next->first : 0;
  }
  template <class Visit>
  void ForEachRun(Visit visit) const {
    for (const auto& [first, end] : runs_) visit(first, end);
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
