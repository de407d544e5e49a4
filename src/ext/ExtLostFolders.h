#pragma once
#include <cstdint>
#include <span>

#include "ext/ExtBlockMap.h"
#include "ext/ExtStructures.h"

namespace salvex {

class TExtdrive;
struct TExtNode;

// A folder's first block: "." naming the folder, then "..", then entries whose lengths chain
// exactly to the block's end. `self` and `parent` are the inode numbers of "." and "..".
bool IsExtFolderStart(std::span<const uint8_t> block, const TExtSuperblock& sb, uint32_t& self, uint32_t& parent);
// A later block of a folder: entries chaining exactly to its end, the first one named (not "."),
// or an interior node of a hashed folder.
bool IsExtFolderBlock(std::span<const uint8_t> block, const TExtSuperblock& sb);
// The root block of a hashed folder: ".." runs to the block's end over the hash index.
bool IsExtHashRoot(std::span<const uint8_t> block, const TExtSuperblock& sb);
// An interior block of a hashed folder: one empty entry over the whole block, then the index.
bool IsExtHashNode(std::span<const uint8_t> block, const TExtSuperblock& sb);

// Fills in an item of a lost folder. Its inode may be deleted (as in the Deleted tree), a file of
// the volume now (the name then keeps nothing), or, after a format, a former volume's inode the
// new volume does not use, which still gives the data. A folder whose inode gives nothing usable
// is read from its blocks found by content, when the search found them. False when the entry must
// not be listed.
bool PrepareLostNode(TExtdrive& drive, TExtNode& node, uint8_t entryType, uint8_t& condition);

// The free blocks from `first` on, as runs, until `blocks` of them are counted or the volume ends:
// a file found by its content is read from these (the blocks in use in between are other files').
TExtMap FreeRunsFrom(TExtdrive& drive, uint64_t first, uint64_t blocks);

}  // namespace salvex
