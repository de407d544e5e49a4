#include "ntfs/FoundMFT.h"

#include <algorithm>
#include <cstring>

#include "common/ByteReader.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSIndex.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

using namespace ntfs;

namespace {

constexpr size_t kStride = 512;
// From version 3.1 on a record carries its own number at 0x2C and its update sequence array after it.
constexpr uint16_t kFirstUsaOffsetWithNumber = 0x30;

// The attributes run from the first one to the end marker, each inside the used part.
bool AttributesEndInside(std::span<const uint8_t> record, uint32_t used) {
  ByteReader r(record);
  uint64_t p = r.U16(0x14);
  while (p + 8 <= used) {
    const uint32_t type = r.U32(p);
    if (type == AttrEnd) return true;
    const uint32_t length = r.U32(p + 4);
    if (length < 0x18 || length % 8 || length > used - p || !IsValidAttribute(record, uint32_t(p))) return false;
    p += length;
  }
  return false;
}

}  // namespace

std::optional<TFoundRecord> ParseFoundRecord(std::span<const uint8_t> bytes, uint32_t recordSize, uint64_t offset) {
  if (recordSize < kStride || recordSize % kStride || bytes.size() < recordSize) return std::nullopt;
  if (!HasSignature(bytes, "FILE")) return std::nullopt;
  ByteReader h(bytes.first(recordSize));
  const uint16_t usaOffset = h.U16(0x04), usaCount = h.U16(0x06);
  const uint16_t first = h.U16(0x14);
  const uint32_t used = h.U32(0x18), allocated = h.U32(0x1C);
  if (usaOffset < kFirstUsaOffsetWithNumber || usaCount != recordSize / kStride + 1 || allocated != recordSize ||
      used > allocated || first % 8 || first < usaOffset + 2u * usaCount || first + 8u > used)
    return std::nullopt;
  std::vector<uint8_t> record(bytes.begin(), bytes.begin() + recordSize);
  if (ApplyFixup(record) != TFixup::Applied || !AttributesEndInside(record, used)) return std::nullopt;
  TFoundRecord found;
  found.Offset = offset;
  found.Number = h.U32(0x2C);
  found.Lsn = h.U64(0x08);
  found.Sequence = RecordSequence(record);
  found.Flags = RecordFlags(record);
  found.Base = RecordNumberOf(RecordBaseReference(record));
  if (auto name = FindFileNameInRecord(record); name && name->Valid()) found.Parent = name->ParentReference();
  return found;
}

TFoundMFT::TFoundMFT(uint32_t recordSize, std::vector<std::pair<uint64_t, uint64_t>> excluded)
    : recordSize_(recordSize), excluded_(std::move(excluded)) {
  std::sort(excluded_.begin(), excluded_.end());
}

bool TFoundMFT::Excluded(uint64_t offset, uint64_t& skipTo) const {
  auto it = std::upper_bound(excluded_.begin(), excluded_.end(), std::make_pair(offset, UINT64_MAX));
  if (it == excluded_.begin()) return false;
  --it;
  if (offset >= it->second) return false;
  skipTo = it->second;
  return true;
}

void TFoundMFT::Examine(std::span<const uint8_t> block, uint64_t offset, uint64_t scanned, uint32_t step) {
  if (step == 0 || block.size() < recordSize_) return;
  const uint64_t last = std::min<uint64_t>(scanned, block.size() - recordSize_ + 1);
  // Records begin at a multiple of the step on the volume.
  uint64_t at = (step - offset % step) % step;
  while (at < last) {
    uint64_t skipTo = 0;
    if (Excluded(offset + at, skipTo)) {
      at = skipTo - offset;
      at += (step - (offset + at) % step) % step;
      continue;
    }
    if (std::memcmp(block.data() + at, "FILE", 4) == 0)
      if (auto found = ParseFoundRecord(block.subspan(at, recordSize_), recordSize_, offset + at)) {
        records_.push_back(*found);
        if (found->Flags & RecordIsDirectory) CollectIndexRoot(block.subspan(at, recordSize_));
      }
    at += step;
  }
}

void TFoundMFT::ExamineIndexBlock(std::span<const uint8_t> bytes, uint32_t blockSize) {
  if (blockSize < kStride || blockSize % kStride || bytes.size() < blockSize || !HasSignature(bytes, "INDX")) return;
  std::vector<uint8_t> block(bytes.begin(), bytes.begin() + blockSize);
  if (ApplyFixup(block) != TFixup::Applied) return;
  // The node header at 0x18 gives the entries' offset and the bytes in use, both from the header.
  ByteReader r(block);
  const uint32_t first = r.U32(0x18), used = r.U32(0x1C);
  if (r.Failed() || first >= used || used > blockSize - 0x18) return;
  CollectFolders(std::span<const uint8_t>(block).subspan(0x18 + first, used - first));
}

void TFoundMFT::CollectIndexRoot(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> record(bytes.begin(), bytes.end());
  if (ApplyFixup(record) != TFixup::Applied) return;
  auto root = FindAttributeInRecord(record, AttrIndexRoot, 0, u"$I30");
  if (!root || root->NonResident()) return;
  // The node header follows the root's own 0x10 bytes; its offsets count from the node header.
  ByteReader r(root->Value());
  const uint32_t first = r.U32(0x10), used = r.U32(0x14);
  if (r.Failed() || first >= used || used > root->Value().size() - 0x10) return;
  CollectFolders(root->Value().subspan(0x10 + first, used - first));
}

void TFoundMFT::CollectFolders(std::span<const uint8_t> entries) {
  WalkIndexNode(
      entries,
      [&](uint64_t reference, std::span<const uint8_t> key) {
        TFileNameView name{key};
        if (name.Valid() && name.IsDirectory() && RecordNumberOf(reference) >= 16)
          indexed_.push_back({reference, name.ParentReference(), uint8_t(NameSpaceRank(name.NameSpace())),
                              RecordName(name.NameBytes(), RecordNumberOf(reference))});
        return true;
      },
      [](int64_t) { return true; });
}

void TFoundMFT::Finish() {
  // One entry per reference, the best name space first; stale copies of a block say the same.
  std::sort(indexed_.begin(), indexed_.end(), [](const TIndexedFolder& a, const TIndexedFolder& b) {
    return a.Reference != b.Reference ? a.Reference < b.Reference : a.Rank < b.Rank;
  });
  indexed_.erase(std::unique(indexed_.begin(), indexed_.end(),
                             [](const TIndexedFolder& a, const TIndexedFolder& b) { return a.Reference == b.Reference; }),
                 indexed_.end());
  // Ordered by record number (the low 48 bits), then by sequence number.
  std::stable_sort(indexed_.begin(), indexed_.end(), [](const TIndexedFolder& a, const TIndexedFolder& b) {
    return RecordNumberOf(a.Reference) < RecordNumberOf(b.Reference);
  });
  indexed_.shrink_to_fit();
  std::sort(records_.begin(), records_.end(), [](const TFoundRecord& a, const TFoundRecord& b) {
    if (a.Number != b.Number) return a.Number < b.Number;
    if (a.Lsn != b.Lsn) return a.Lsn > b.Lsn;
    if (a.Sequence != b.Sequence) return a.Sequence > b.Sequence;
    return a.Offset > b.Offset;
  });
  records_.erase(std::unique(records_.begin(), records_.end(),
                             [](const TFoundRecord& a, const TFoundRecord& b) { return a.Number == b.Number; }),
                 records_.end());
  records_.shrink_to_fit();
  // A record whose attributes outgrew it (many streams) may keep its $FILE_NAME in an extension
  // record: the base record takes its parent from there, or it would not be listed at all.
  for (const TFoundRecord& e : records_) {
    if (e.Base == 0 || e.Parent == 0) continue;
    auto it = std::lower_bound(records_.begin(), records_.end(), e.Base,
                               [](const TFoundRecord& r, uint64_t n) { return r.Number < n; });
    if (it != records_.end() && it->Number == e.Base && it->Base == 0 && it->Parent == 0) it->Parent = e.Parent;
  }
}

const TFoundRecord* TFoundMFT::Find(uint64_t number) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), number,
                             [](const TFoundRecord& r, uint64_t n) { return r.Number < n; });
  return it != records_.end() && it->Number == number ? &*it : nullptr;
}

const TIndexedFolder* TFoundMFT::FindIndexed(uint64_t reference) const {
  const uint64_t number = RecordNumberOf(reference);
  const uint16_t sequence = uint16_t(reference >> 48);
  auto it = std::lower_bound(indexed_.begin(), indexed_.end(), number, [](const TIndexedFolder& f, uint64_t n) {
    return RecordNumberOf(f.Reference) < n;
  });
  for (; it != indexed_.end() && RecordNumberOf(it->Reference) == number; ++it)
    if (sequence == 0 || uint16_t(it->Reference >> 48) == sequence) return &*it;
  return nullptr;
}

bool TFoundMFT::ReadAt(TNTFSdrive& drive, uint64_t offset, std::vector<uint8_t>& record) const {
  record.assign(recordSize_, 0);
  if (!drive.ReadVolumeBytes(offset, recordSize_, record.data())) return false;
  return ApplyFixup(record) == TFixup::Applied && HasSignature(record, "FILE") && IsValidRecord(record);
}

bool TFoundMFT::Read(TNTFSdrive& drive, uint64_t number, std::vector<uint8_t>& record) const {
  const TFoundRecord* found = Find(number);
  if (!found) {
    record.assign(recordSize_, 0);
    return false;
  }
  return ReadAt(drive, found->Offset, record);
}

TFoundRecordScope::TFoundRecordScope(TNTFSdrive& drive, const TFoundMFT& found)
    : drive_(drive), previous_(drive.ReadingFoundRecords) {
  drive_.ReadingFoundRecords = &found;
}

TFoundRecordScope::~TFoundRecordScope() { drive_.ReadingFoundRecords = previous_; }

}  // namespace salvex
