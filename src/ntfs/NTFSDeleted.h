#pragma once
#include <cstdint>
#include <string>

namespace salvex {

// Name of the folder that stands in the Deleted tree for a former parent directory whose record
// now belongs to a younger directory.
inline std::string PlaceholderName(uint64_t record) { return "MFT " + std::to_string(record); }

// Longest chain of parent records the path rebuilding follows; deeper chains are filed in Deleted.
constexpr size_t kMaxRebuildDepth = 1024;

}  // namespace salvex
