#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>

#include "disk/ImageContainer.h"

namespace salvex {

// Byte ranges of a container's media that it cannot give truthfully: a chunk whose checksum
// failed, an allocation entry that points into the container's own header or tables. Reading
// them is a read error, never the zeros or header bytes a library would hand out.
class TDamagedRanges {
 public:
  void Add(uint64_t begin, uint64_t end);
  // The first damaged byte in [offset, offset + length), or offset + length when there is none.
  uint64_t FirstDamaged(uint64_t offset, uint64_t length) const;
  void Merge(const TDamagedRanges& other) {
    for (const auto& [begin, end] : other.ranges_) Add(begin, end);
  }
  // The end of the range holding `offset`, or `offset` when none does.
  uint64_t CoveredEnd(uint64_t offset) const;
  size_t Count() const { return ranges_.size(); }
  bool Empty() const { return ranges_.empty(); }

 private:
  std::map<uint64_t, uint64_t> ranges_;  // begin -> end, disjoint and not touching
};

// Reads `buffer.size()` bytes of the container file at `offset`; false when the file does not hold
// them all.
using TContainerFileRead = std::function<bool(uint64_t offset, std::span<uint8_t> buffer)>;

struct TContainerCheck {
  // Why the container must not be opened (its tables claim more file than there is); else empty.
  std::string Refusal;
  TDamagedRanges Damaged;
  // Media the tables mark as zeros without data (qcow2 zero clusters): read as zeros here, since
  // a library that does not know the mark would read the stale offset it keeps.
  TDamagedRanges Zeros;
};

// Walks the allocation tables of a qcow/qcow2, sparse VMDK extent, dynamic or differencing VHD, or
// VHDX file (bounds-checked, before its library reads them): every allocated unit must lie inside
// the file and outside the container's own header and tables. A unit past the end of the file
// means the file was cut short (a refusal); one pointing into the metadata, or beyond any size the
// container could reach, is damage. Formats without tables of their own pass unchecked.
TContainerCheck CheckContainerTables(TContainerFormat format, uint64_t fileSize, const TContainerFileRead& read);

// The same for one sparse VMDK extent that holds media from `mediaOffset` on.
void CheckVmdkSparseExtent(uint64_t mediaOffset, uint64_t fileSize, const TContainerFileRead& read,
                           TContainerCheck& check, const std::string& name);

}  // namespace salvex
