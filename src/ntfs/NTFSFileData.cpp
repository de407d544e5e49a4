#include "ntfs/NTFSFileData.h"

#include <algorithm>

namespace salvex {

TNTFSFileData::TNTFSFileData(TNTFSdrive& drive, Source source, uint64_t where, uint32_t base, uint64_t size)
    : drive_(drive), source_(source), where_(where), base_(base), size_(size) {
  if (source_ != Source::Record) return;
  if (where_ == 0 || !drive_.OpenDataPos(pos_, size_, where_))
    Failure = "the file record's data attribute could not be read";
  else
    size_ = pos_.Size;
}

size_t TNTFSFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  const uint64_t before = drive_.UnreadableSectors;
  uint64_t got = count;
  bool ok;
  if (source_ == Source::Record)
    ok = drive_.ReadDataPos(pos_, count, got, buffer);
  else
    ok = drive_.ReadContiguous(buffer, count, base_ + position_, where_);
  ZeroFilledSectors += drive_.UnreadableSectors - before;
  if (!pos_.Failure.empty()) Damage = pos_.Failure;
  // A false read with bytes delivered means unreadable or damaged parts came back as zeros.
  if (got == 0 || (!ok && drive_.UnreadableSectors == before && pos_.Failure.empty())) {
    Failure = "the data runs could not be read to the file's size";
    return size_t(got);
  }
  position_ += got;
  return size_t(got);
}

}  // namespace salvex
