#include "ext/ExtJournal.h"

#include <algorithm>
#include <map>

#include "common/ByteReader.h"

namespace salvex {

namespace {

constexpr uint32_t kJournalMagic = 0xC03B3998u;
constexpr uint32_t kDescriptor = 1, kCommit = 2, kSuperV1 = 3, kSuperV2 = 4, kRevoke = 5;
constexpr uint32_t kIncompat64Bit = 0x2, kIncompatCsumV2 = 0x8, kIncompatCsumV3 = 0x10;
constexpr uint32_t kTagEscape = 1, kTagSameUuid = 2, kTagLast = 8;
// Logs beyond 4 GiB of blocks are not made by any tool.
constexpr uint32_t kMaxJournalBlocks = uint32_t(1) << 24;

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

bool TExtJournal::Load(const TExtMap& map, const TExtBlockReader& read, uint32_t volumeBlockSize, std::string& why) {
  runs_ = map.Runs;
  read_ = read;
  std::vector<uint8_t> block;
  if (!ReadPosition(0, block)) {
    why = "the journal's first block could not be read";
    return false;
  }
  ByteReader sb(block);
  const uint32_t type = Be32(sb, 4);
  if (Be32(sb, 0) != kJournalMagic || (type != kSuperV1 && type != kSuperV2)) {
    why = "the journal has no jbd2 superblock";
    return false;
  }
  BlockSize = Be32(sb, 12);
  MaxLen = Be32(sb, 16);
  First = Be32(sb, 20);
  Incompat = type == kSuperV2 ? Be32(sb, 40) : 0;
  if (BlockSize != volumeBlockSize || MaxLen < 2 || MaxLen > kMaxJournalBlocks || First == 0 || First >= MaxLen) {
    why = "the journal superblock's geometry is invalid";
    return false;
  }
  const bool v3 = Incompat & kIncompatCsumV3;
  const bool v2 = Incompat & kIncompatCsumV2;
  const bool wide = Incompat & kIncompat64Bit;
  const size_t tagBytes = v3 ? 16 : (8 + (v2 ? 2 : 0) + (wide ? 4 : 0));
  const size_t tail = (v2 || v3) ? 4 : 0;
  uint32_t seed = 0;
  if (v2 || v3) seed = Crc32c(~0u, sb.Sub(48, 16));
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
  for (uint64_t p = First; p < MaxLen; ++p) {
    if (!ReadPosition(p, block) || block.size() != BlockSize) continue;
    ByteReader r(block);
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
    }
  }
  for (const auto& [seq, t] : tags) {
    if (owner[t.Position] != seq) {
      ++Overwritten;
      continue;
    }
    if (v2 || v3) {
      if (!ReadPosition(t.Position, block) || block.size() != BlockSize) continue;
      uint8_t be[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
      const uint32_t crc = Crc32c(Crc32c(seed, {be, 4}), block);
      if ((v3 ? crc : (crc & 0xFFFF)) != t.Checksum) {
        ++Overwritten;
        continue;
      }
    }
    copies_[t.Block].push_back({seq, t.Position, t.Escaped, committed.count(seq) > 0});
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

bool TExtJournal::ReadCopy(const TExtJournalCopy& copy, std::vector<uint8_t>& out) const {
  if (!ReadPosition(copy.Position, out) || out.size() != BlockSize) return false;
  if (copy.Escaped) PutU32(out.data(), __builtin_bswap32(kJournalMagic));
  return true;
}

}  // namespace salvex
