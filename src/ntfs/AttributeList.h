#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace salvex::ntfs {

// One entry of an $ATTRIBUTE_LIST value: which file record holds (a piece of) an attribute.
struct TAttrListEntry {
  uint32_t Type = 0;
  int64_t StartVcn = 0;
  uint64_t Holder = 0;            // record number (the sequence number dropped)
  std::span<const uint8_t> Name;  // UTF-16LE, a view into the list value
};

// The entries of a list value in order. The walk stops at the first entry whose length is below the
// fixed part or runs past the value, so a corrupt list yields the entries before the damage.
std::vector<TAttrListEntry> ParseAttributeList(std::span<const uint8_t> list);

}  // namespace salvex::ntfs
