#include "disk/ContainerTables.h"

#include <algorithm>
#include <vector>

#include "common/ByteReader.h"
#include "disk/ContainerTableWalk.h"

namespace salvex {

void TDamagedRanges::Add(uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  auto next = ranges_.upper_bound(begin);
  if (next != ranges_.begin()) {
    auto prev = std::prev(next);
    if (prev->second >= begin) {
      begin = prev->first;
      end = std::max(end, prev->second);
      next = ranges_.erase(prev);
    }
  }
  while (next != ranges_.end() && next->first <= end) {
    end = std::max(end, next->second);
    next = ranges_.erase(next);
  }
  ranges_.emplace(begin, end);
}

uint64_t TDamagedRanges::FirstDamaged(uint64_t offset, uint64_t length) const {
  const uint64_t end = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
  auto it = ranges_.upper_bound(offset);
  if (it != ranges_.begin() && std::prev(it)->second > offset) return offset;
  if (it != ranges_.end() && it->first < end) return it->first;
  return end;
}

uint64_t TDamagedRanges::CoveredEnd(uint64_t offset) const {
  auto it = ranges_.upper_bound(offset);
  if (it == ranges_.begin()) return offset;
  --it;
  return it->second > offset ? it->second : offset;
}

TTableWalk::TTableWalk(uint64_t fileSize, const TContainerFileRead& read, TContainerCheck& check, std::string name)
    : fileSize_(fileSize), read_(read), check_(check), name_(std::move(name)) {}

void TTableWalk::Metadata(uint64_t begin, uint64_t length) {
  metadata_.Add(begin, length > UINT64_MAX - begin ? UINT64_MAX : begin + length);
}

bool TTableWalk::InMetadata(uint64_t begin, uint64_t length) const {
  const uint64_t end = length > UINT64_MAX - begin ? UINT64_MAX : begin + length;
  return metadata_.FirstDamaged(begin, length) < end;
}

void TTableWalk::SetMediaSize(uint64_t bytes) {
  // Past this no entry of an intact container can point: every unit allocated once, plus room for
  // metadata and snapshots. Further out is a damaged entry, not a file cut short.
  const uint64_t room = uint64_t(64) << 20;
  plausibleEnd_ = bytes > (UINT64_MAX - room) / 4 ? UINT64_MAX : 2 * bytes + room;
  plausibleEnd_ = std::max(plausibleEnd_, fileSize_);
}

bool TTableWalk::ReadTable(uint64_t offset, uint64_t length, std::vector<uint8_t>& out, const char* what) {
  Metadata(offset, length);
  if (length > kMaxTableBytes) {
    Refuse(std::string("its ") + what + " claims " + std::to_string(length) + " bytes, more than any container needs");
    return false;
  }
  if (offset > fileSize_ || length > fileSize_ - offset) {
    if (offset < plausibleEnd_) NoteCut(offset + length, std::string("the ") + what + " at byte " + std::to_string(offset));
    else Refuse(std::string("its ") + what + " lies at byte " + std::to_string(offset) + ", past any size it could reach");
    return false;
  }
  out.assign(size_t(length), 0);
  if (!read_(offset, out)) {
    NoteCut(offset + length, std::string("the ") + what + " at byte " + std::to_string(offset));
    return false;
  }
  return true;
}

bool TTableWalk::Unit(uint64_t mediaBegin, uint64_t mediaLength, uint64_t at, uint64_t length, uint64_t slack) {
  if (Wild(at, length) || InMetadata(at, length)) {
    Damage(mediaBegin, mediaLength);
    return false;
  }
  if (at + length > fileSize_ + slack) {
    NoteCut(at + length, "data");
    return false;
  }
  return true;
}

void TTableWalk::Damage(uint64_t mediaBegin, uint64_t mediaLength) {
  const uint64_t end = mediaLength > UINT64_MAX - mediaBegin ? UINT64_MAX : mediaBegin + mediaLength;
  check_.Damaged.Add(mediaBegin, end);
}

void TTableWalk::Zero(uint64_t mediaBegin, uint64_t mediaLength) {
  const uint64_t end = mediaLength > UINT64_MAX - mediaBegin ? UINT64_MAX : mediaBegin + mediaLength;
  check_.Zeros.Add(mediaBegin, end);
}

void TTableWalk::NoteCut(uint64_t claimedEnd, const std::string& what) {
  if (claimedEnd > cutEnd_) {
    cutEnd_ = claimedEnd;
    cutWhat_ = what;
  }
}

void TTableWalk::Refuse(const std::string& why) {
  if (check_.Refusal.empty()) check_.Refusal = name_ + ": " + why;
}

void TTableWalk::Finish() {
  if (cutEnd_ > fileSize_ && check_.Refusal.empty())
    check_.Refusal = name_ + " is cut short: its tables place " + cutWhat_ + " up to byte " + std::to_string(cutEnd_) +
                     ", but the file has only " + std::to_string(fileSize_) + " bytes";
}

uint64_t BigEndian(const ByteReader& r, size_t offset, size_t width) {
  auto bytes = r.Sub(offset, width);
  uint64_t v = 0;
  for (uint8_t b : bytes) v = (v << 8) | b;
  return v;
}

TContainerCheck CheckContainerTables(TContainerFormat format, uint64_t fileSize, const TContainerFileRead& read) {
  TContainerCheck check;
  switch (format) {
    case TContainerFormat::QCOW: CheckQcowTables(fileSize, read, check); break;
    case TContainerFormat::VMDK: CheckVmdkSparseExtent(0, fileSize, read, check, "the VMDK image"); break;
    case TContainerFormat::VHD: CheckVhdTables(fileSize, read, check); break;
    case TContainerFormat::VHDX: CheckVhdxTables(fileSize, read, check); break;
    default: break;
  }
  return check;
}

}  // namespace salvex
