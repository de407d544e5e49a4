#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "ext/ExtBlockMap.h"

namespace salvex {

// One logged copy of a volume block in the jbd2 journal.
struct TExtJournalCopy {
  uint32_t Sequence = 0;   // the transaction that logged it
  uint64_t Position = 0;   // the journal's own block number
  bool Escaped = false;    // its first four bytes were the journal magic and were zeroed in the log
  bool Committed = false;  // its transaction has a commit block in the log
  uint32_t Checksum = 0;   // its tag's checksum (journal checksums v2/v3), checked when it is read
};

// The blocks a jbd2 journal still holds. Every block of the log is looked at, not only those of
// the transactions waiting for replay: after a clean unmount the whole log is history. A copy is
// kept only while its place in the log has not been taken by a later transaction; with checksums
// v2/v3, a copy whose tag's checksum does not hold cannot be read.
class TExtJournal {
 public:
  // Reads the log through `map` (the journal inode's runs, in journal blocks) with `read`.
  // False with the reason when the journal's superblock is not one this reader understands.
  bool Load(const TExtMap& map, const TExtBlockReader& read, uint32_t volumeBlockSize, std::string& why);
  // Reads `count` consecutive volume blocks at once; Load then reads the log in large pieces.
  using TBulkReader = std::function<bool(uint64_t block, uint32_t count, uint8_t* out)>;
  TBulkReader Bulk;
  // The copies of a volume block, newest transaction first.
  const std::vector<TExtJournalCopy>* CopiesOf(uint64_t block) const;
  // The bytes of a copy as the volume held them (an escaped block gets its magic back); false
  // when they cannot be read or fail their checksum.
  bool ReadCopy(const TExtJournalCopy& copy, std::vector<uint8_t>& out) const;
  // The same bytes without copying them: valid until the next View or ReadCopy (they lie in the
  // journal's cache, or in `scratch` for an escaped block); empty when ReadCopy would be false.
  // `checked` false: the checksum is left alone, for a first look at whether the copy is of any
  // interest; a copy that is must be viewed again checked before it is used.
  std::span<const uint8_t> View(const TExtJournalCopy& copy, std::vector<uint8_t>& scratch, bool checked = true) const;

  uint32_t BlockSize = 0;
  uint32_t MaxLen = 0;
  uint32_t First = 0;
  uint32_t Incompat = 0;
  uint64_t Transactions = 0;  // descriptor blocks seen
  uint64_t Copies = 0;        // block copies kept
  uint64_t Overwritten = 0;   // copies dropped because a later transaction reused their place
  uint64_t RevokeBlocks = 0;

 private:
  bool ReadPosition(uint64_t position, std::vector<uint8_t>& out) const;
  // Up to `count` places of the log from `position` that lie together on the volume, read at
  // once with Bulk into the start of `out`; the number read (0 when Bulk is not set or fails).
  uint64_t ReadPositions(uint64_t position, uint64_t count, std::vector<uint8_t>& out) const;
  std::vector<TExtRun> runs_;
  uint32_t seed_ = 0;
  bool csumV2_ = false, csumV3_ = false;
  TExtBlockReader read_;
  // The cached bytes of a place of the log, read with a few places after it on a miss; null when
  // it cannot be read.
  const uint8_t* Cached(uint64_t position) const;
  std::unordered_map<uint64_t, std::vector<TExtJournalCopy>> copies_;
  // Places read lately, in one arena of slots reused in turn: the deleted files of one inode table
  // block all look at the same copies, and fresh memory for every copy cost more than reading it.
  mutable std::unique_ptr<uint8_t[]> arena_;
  mutable uint32_t slots_ = 0, nextSlot_ = 0;
  mutable size_t populated_ = 0;  // arena bytes whose pages were faulted in at once
  mutable std::vector<uint32_t> slotOf_;         // place in the log -> its slot + 1 (0: not cached)
  mutable std::vector<uint64_t> placeOf_;        // slot -> the place it holds
  mutable std::vector<uint8_t> checked_;         // place in the log -> 0 unchecked, 1 holds, 2 fails
  mutable std::vector<uint8_t> single_;          // one place read without Bulk
};

}  // namespace salvex
