#include "ext/ExtJournal.h"

#include <algorithm>
#include <map>

#include <sys/mman.h>

#include "common/ByteReader.h"
#include "common/Format.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

constexpr uint32_t kJournalMagic = 0xC03B3998u;
constexpr uint32_t kDescriptor = 1, kCommit = 2, kSuperV1 = 3, kSuperV2 = 4, kRevoke = 5;
constexpr uint32_t kIncompat64Bit = 0x2, kIncompatCsumV2 = 0x8, kIncompatCsumV3 = 0x10;
constexpr uint32_t kTagEscape = 1, kTagSameUuid = 2, kTagLast = 8;
// Logs beyond 4 GiB of blocks are not made by any tool.
constexpr uint32_t kMaxJournalBlocks = uint32_t(1) << 24;
constexpr uint64_t kPieceBlocks = 256;
constexpr uint64_t kStepBlocks = 8;
constexpr uint64_t kCacheBytes = uint64_t(16) << 20;
constexpr uint64_t kReadAheadCopies = 8;

uint32_t Be32(const ByteReader& r, size_t off) { return __builtin_bswap32(r.U32(off)); }
uint16_t Be16(const ByteReader& r, size_t off) { return __builtin_bswap16(r.U16(off)); }

struct Tag {
  uint64_t Block;
  uint64_t Position;
  uint32_t Checksum;
  bool Escaped;
};

}  // namespace

bool TExtJournal::ReadPosition(uint64_t position, std::vector<uint8_t>& out) const {
  for (const TExtRun& run : runs_)
    if (position >= run.Logical && position - run.Logical < run.Count)
      return read_(run.Physical + (position - run.Logical), out);
  return false;
}

uint64_t TExtJournal::ReadPositions(uint64_t position, uint64_t count, std::vector<uint8_t>& out) const {
  if (!Bulk || position >= MaxLen) return 0;
  for (const TExtRun& run : runs_)
    if (position >= run.Logical && position - run.Logical < run.Count) {
      count = std::min<uint64_t>({count, run.Count - (position - run.Logical), MaxLen - position});
      // Only grown: the buffers are reused, and zeroing them again cost more than the reading.
      if (out.size() < count * BlockSize) out.resize(count * BlockSize);
      return Bulk(run.Physical + (position - run.Logical), uint32_t(count), out.data()) ? count : 0;
    }
  return 0;
}

bool TExtJournal::Load(const TExtMap& map, const TExtBlockReader& read, uint32_t volumeBlockSize, std::string& why) {
  runs_ = map.Runs;
  read_ = read;
  std::vector<uint8_t> block;
  // The log is read once from end to end, in pieces of blocks where the journal lies in one run
  // (small ones after a transaction's data was stepped over), else one block at a time into
  // `single`. The bytes are looked at where they were read, until the next call: copying each
  // block of the log out of its piece cost as much as reading it.
  std::vector<uint8_t> piece;
  uint64_t pieceFirst = 0, pieceCount = 0, pieceBlocks = kPieceBlocks;
  auto readAt = [&](uint64_t p, std::vector<uint8_t>& single) -> std::span<const uint8_t> {
    if (!(p >= pieceFirst && p - pieceFirst < pieceCount)) {
      pieceFirst = p;
      pieceCount = ReadPositions(p, pieceBlocks, piece);
    }
    if (p >= pieceFirst && p - pieceFirst < pieceCount)
      return std::span<const uint8_t>(piece).subspan(size_t(p - pieceFirst) * BlockSize, BlockSize);
    if (!ReadPosition(p, single) || single.size() != BlockSize) return {};
    return single;
  };
  if (!ReadPosition(0, block)) {
    why = TextF(txt::ExtJournalStartUnreadable);
    return false;
  }
  ByteReader sb(block);
  const uint32_t type = Be32(sb, 4);
  if (Be32(sb, 0) != kJournalMagic || (type != kSuperV1 && type != kSuperV2)) {
    why = TextF(txt::ExtJournalNoSuperblock);
    return false;
  }
  BlockSize = Be32(sb, 12);
  MaxLen = Be32(sb, 16);
  First = Be32(sb, 20);
  Incompat = type == kSuperV2 ? Be32(sb, 40) : 0;
  if (BlockSize != volumeBlockSize || MaxLen < 2 || MaxLen > kMaxJournalBlocks || First == 0 || First >= MaxLen) {
    why = TextF(txt::ExtJournalGeometryInvalid);
    return false;
  }
  const bool v3 = Incompat & kIncompatCsumV3;
  const bool v2 = Incompat & kIncompatCsumV2;
  const bool wide = Incompat & kIncompat64Bit;
  const size_t tagBytes = v3 ? 16 : (8 + (v2 ? 2 : 0) + (wide ? 4 : 0));
  const size_t tail = (v2 || v3) ? 4 : 0;
  csumV2_ = v2;
  csumV3_ = v3;
  if (v2 || v3) seed_ = Crc32c(~0u, sb.Sub(48, 16));
  auto next = [&](uint64_t p) { return p + 1 >= MaxLen ? uint64_t(First) : p + 1; };

  // Who holds each place of the log last: a copy whose place a later transaction took is gone.
  std::vector<uint32_t> owner(MaxLen, 0);
  std::vector<bool> owned(MaxLen, false);
  auto claim = [&](uint64_t p, uint32_t seq) {
    if (!owned[p] || int32_t(seq - owner[p]) > 0) owner[p] = seq;
    owned[p] = true;
  };
  std::map<uint32_t, bool> committed;
  std::vector<std::pair<uint32_t, Tag>> tags;
  std::vector<uint8_t> after;
  for (uint64_t p = First; p < MaxLen; ++p) {
    const std::span<const uint8_t> here = readAt(p, block);
    if (here.empty()) continue;
    pieceBlocks = kPieceBlocks;
    ByteReader r(here);
    if (Be32(r, 0) != kJournalMagic) continue;
    const uint32_t kind = Be32(r, 4), seq = Be32(r, 8);
    if (kind == kCommit) {
      committed[seq] = true;
      claim(p, seq);
    } else if (kind == kRevoke) {
      // Revoked blocks are not replayed, but their older copies are still what the volume held
      // then: only the record's own place in the log counts here.
      ++RevokeBlocks;
      claim(p, seq);
    } else if (kind == kDescriptor) {
      ++Transactions;
      claim(p, seq);
      uint64_t data = p;
      for (size_t off = 12; off + tagBytes + tail <= BlockSize;) {
        Tag t{};
        uint32_t flags;
        if (v3) {
          t.Block = Be32(r, off) | (wide ? uint64_t(Be32(r, off + 8)) << 32 : 0);
          flags = Be32(r, off + 4);
          t.Checksum = Be32(r, off + 12);
        } else {
          t.Block = Be32(r, off) | (wide ? uint64_t(Be32(r, off + 8)) << 32 : 0);
          t.Checksum = v2 ? Be16(r, off + 4) : 0;
          flags = Be16(r, off + 6);
        }
        data = next(data);
        t.Position = data;
        t.Escaped = flags & kTagEscape;
        tags.push_back({seq, t});
        claim(data, seq);
        off += tagBytes + ((flags & kTagSameUuid) ? 0 : 16);
        if (flags & kTagLast) break;
      }
      // The data blocks need not be read here: a block of the log starting with the magic is
      // always a journal block (data that does is escaped). When this transaction's commit, or
      // its next descriptor (a transaction of many blocks), follows its data, the data was written
      // whole and no later transaction can lie inside it (the log is rewritten from its start),
      // so the scan steps over the data.
      if (data > p && data + 1 < MaxLen) {
        pieceBlocks = kStepBlocks;
        if (const std::span<const uint8_t> next = readAt(data + 1, after); !next.empty()) {
          ByteReader a(next);
          const uint32_t then = Be32(a, 4);
          if (Be32(a, 0) == kJournalMagic && (then == kCommit || then == kDescriptor) && Be32(a, 8) == seq) p = data;
        }
      }
    }
  }
  for (const auto& [seq, t] : tags) {
    if (owner[t.Position] != seq) {
      ++Overwritten;
      continue;
    }
    copies_[t.Block].push_back({seq, t.Position, t.Escaped, committed.count(seq) > 0, t.Checksum});
    ++Copies;
  }
  for (auto& [blockNo, list] : copies_)
    std::stable_sort(list.begin(), list.end(), [](const TExtJournalCopy& a, const TExtJournalCopy& b) {
      return int32_t(a.Sequence - b.Sequence) > 0;
    });
  return true;
}

const std::vector<TExtJournalCopy>* TExtJournal::CopiesOf(uint64_t block) const {
  auto it = copies_.find(block);
  return it == copies_.end() ? nullptr : &it->second;
}

const uint8_t* TExtJournal::Cached(uint64_t position) const {
  if (position >= MaxLen) return nullptr;
  if (slotOf_.empty()) {
    slotOf_.assign(MaxLen, 0);
    // A small log never needs more slots than it has places (a read-ahead never passes its end).
    slots_ = uint32_t(std::min<uint64_t>(std::max<uint64_t>(kReadAheadCopies, kCacheBytes / BlockSize), MaxLen));
    placeOf_.assign(slots_, 0);
    // Not zeroed: a slot's memory is first touched when a place is read into it.
    arena_.reset(new uint8_t[size_t(slots_) * BlockSize]);
  }
  if (const uint32_t s = slotOf_[position]) return arena_.get() + size_t(s - 1) * BlockSize;
  // The copies a listing asks for were mostly logged together: the places after this one come
  // with it, up to one already cached (never read twice while it stays).
  uint64_t count = 1;
  while (count < kReadAheadCopies && position + count < MaxLen && slotOf_[position + count] == 0) ++count;
  if (nextSlot_ + count > slots_) nextSlot_ = 0;
  // The slots are given up before they are read into: a read that fails half way must not leave
  // them standing for the places they held.
  for (uint32_t slot = nextSlot_; slot < nextSlot_ + count; ++slot)
    if (const uint64_t old = placeOf_[slot]; old < MaxLen && slotOf_[old] == slot + 1) slotOf_[old] = 0;
  uint8_t* at = arena_.get() + size_t(nextSlot_) * BlockSize;
  // The arena's pages are faulted in a megabyte at a time as the slots first reach them: one
  // fault for each block read cost as much as the reading. (Older kernels refuse; pages then
  // come one fault at a time.)
  if (const size_t end = size_t(nextSlot_ + count) * BlockSize; end > populated_) {
    const uintptr_t page = 4096;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(arena_.get()) + populated_ + page - 1) & ~(page - 1);
    const size_t want = std::min<size_t>(std::max<size_t>(end, populated_ + (size_t(1) << 20)), size_t(slots_) * BlockSize);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(arena_.get()) + want) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    populated_ = want;
  }
  uint64_t got = 0;
  if (Bulk) {
    for (const TExtRun& run : runs_)
      if (position >= run.Logical && position - run.Logical < run.Count) {
        const uint64_t n = std::min(count, run.Count - (position - run.Logical));
        if (Bulk(run.Physical + (position - run.Logical), uint32_t(n), at)) got = n;
        break;
      }
  }
  if (got == 0) {
    if (!ReadPosition(position, single_) || single_.size() != BlockSize) return nullptr;
    std::copy(single_.begin(), single_.end(), at);
    got = 1;
  }
  for (uint64_t k = 0; k < got; ++k) {
    const uint32_t slot = nextSlot_ + uint32_t(k);
    placeOf_[slot] = position + k;
    slotOf_[position + k] = slot + 1;
  }
  nextSlot_ += uint32_t(got);
  return at;
}

std::span<const uint8_t> TExtJournal::View(const TExtJournalCopy& copy, std::vector<uint8_t>& scratch,
                                           bool checked) const {
  const uint8_t* bytes = Cached(copy.Position);
  if (!bytes) return {};
  const std::span<const uint8_t> raw(bytes, BlockSize);
  if (checked && (csumV2_ || csumV3_)) {
    // A place in the log holds one copy: its checksum is checked once.
    if (checked_.empty()) checked_.assign(MaxLen, 0);
    uint8_t& known = checked_[copy.Position];
    if (known == 0) {
      const uint32_t seq = copy.Sequence;
      const uint8_t be[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
      const uint32_t crc = Crc32c(Crc32c(seed_, {be, 4}), raw);
      known = (csumV3_ ? crc : (crc & 0xFFFF)) == copy.Checksum ? 1 : 2;
    }
    if (known != 1) return {};
  }
  if (!copy.Escaped) return raw;
  scratch.assign(raw.begin(), raw.end());
  PutU32(scratch.data(), __builtin_bswap32(kJournalMagic));
  return scratch;
}

bool TExtJournal::ReadCopy(const TExtJournalCopy& copy, std::vector<uint8_t>& out) const {
  const std::span<const uint8_t> bytes = View(copy, out);
  if (bytes.empty()) return false;
  if (bytes.data() != out.data()) out.assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace salvex
