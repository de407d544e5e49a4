#pragma once
#include <cstdint>
#include <functional>
#include <span>

namespace salvex {

class TNTFSdrive;

// Receives each index entry's MFT reference and key (a $FILE_NAME value); false stops the walk.
using TIndexVisitor = std::function<bool(uint64_t reference, std::span<const uint8_t> key)>;

// Walks the $I30 index of directory record `recordNumber` in collation order: the entries of
// $INDEX_ROOT and of the index blocks in $INDEX_ALLOCATION that the index bitmap marks in use, each
// sub-node before the entry that points to it. Every block is fixed up before use; a block that
// cannot be read, is not "INDX" or is already on the current path is skipped. Returns false when
// the visitor stopped the walk.
bool EnumerateIndex(TNTFSdrive& drive, uint64_t recordNumber, const TIndexVisitor& visitor);

// The entries of one index node (the entries area of a root or a block) in order, with each
// sub-node VCN handed to `descend` before its entry's key. Bounded by the node's bytes.
// Returns false when a callback asked to stop.
bool WalkIndexNode(std::span<const uint8_t> entries, const TIndexVisitor& visitor,
                   const std::function<bool(int64_t vcn)>& descend);

}  // namespace salvex
