#include "ntfs/NTFSFileData.h"

#include <algorithm>

#include "ntfs/NTFSFormerTree.h"

namespace salvex {

TNTFSFileData::TNTFSFileData(TNTFSdrive& drive, Source source, uint64_t where, uint32_t base, uint64_t size,
                             uint64_t number)
    : drive_(drive), source_(source), where_(where), base_(base), size_(size) {
  if (source_ == Source::FoundRecord) {
    // From here on it reads like a record of the current $MFT, through the position opened.
    source_ = Source::Record;
    if (where_ == 0 || !OpenFoundDataPos(drive_, pos_, where_, number)) {
      Failure = "the former file record's data attribute could not be read";
      return;
    }
    size_ = pos_.Size;
  } else if (source_ == Source::Record) {
    if (where_ == 0 || !drive_.OpenDataPos(pos_, size_, where_)) {
      Failure = "the file record's data attribute could not be read";
      return;
    }
    size_ = pos_.Size;
  }
  const uint64_t volume = drive_.VolumeBytes();
  if (size_ <= volume) return;
  // A size the volume cannot hold is damage: read at most what the runs cover, within the volume.
  uint64_t covered = volume;
  if (source_ == Source::Record && !pos_.Data.Resident && drive_.ClusterSize > 0) {
    const uint64_t volumeClusters = volume / drive_.ClusterSize;
    uint64_t clusters = 0;
    for (const ntfs::TRun& run : pos_.Data.Runs) clusters = std::min(clusters + std::min(run.Length, volumeClusters), volumeClusters);
    covered = clusters * drive_.ClusterSize;
  }
  size_ = covered;
  if (pos_.Opened) pos_.Size = size_;
}

bool TNTFSFileData::PlainExtent(TPlainExtent& extent) {
  if (source_ != Source::Record || !pos_.Opened || pos_.Decoder || !Failure.empty() || position_ >= size_) return false;
  return drive_.PlainExtent(pos_.Data, pos_.Position, size_ - position_, extent);
}

bool TNTFSFileData::DeviceRuns(std::vector<TByteRun>& runs) {
  const uint64_t cs = drive_.ClusterSize;
  if (cs == 0) return false;
  auto add = [&](uint64_t volumeByte, uint64_t n) {
    const uint64_t pos = drive_.DeviceByte(volumeByte);
    if (!runs.empty() && runs.back().End() == pos)
      runs.back().Size += n;
    else
      runs.push_back({pos, n});
  };
  if (!Failure.empty()) return true;
  if (source_ == Source::Contiguous) {
    const uint64_t volume = drive_.VolumeBytes();
    const uint64_t from = where_ * cs + base_;
    if (where_ <= volume / cs && from < volume && size_ > 0) add(from, std::min(size_, volume - from));
    return true;
  }
  const TNTFSAttribute& data = pos_.Data;
  if (!pos_.Opened || data.Resident) return true;
  // Compressed units are read whole from their clusters; other encodings keep their bytes in
  // another stream, which is not followed here.
  if (pos_.Decoder && !pos_.Compressed) return false;
  const uint64_t initialised = std::min(data.InitializedSize ? data.InitializedSize : data.Size(), data.Size());
  const uint64_t limit = pos_.Decoder ? std::max(data.AllocatedSize, data.Size()) : std::min(initialised, size_);
  const uint64_t volume = drive_.VolumeBytes() / cs;
  for (const ntfs::TRun& run : data.Runs) {
    if (run.Vcn < 0 || uint64_t(run.Vcn) >= limit / cs + 1) break;
    const uint64_t from = uint64_t(run.Vcn) * cs;
    if (from >= limit) break;
    if (run.Hole || run.Lcn < 0 || uint64_t(run.Lcn) >= volume) continue;
    const uint64_t clusters = std::min(run.Length, volume - uint64_t(run.Lcn));
    const uint64_t n = clusters > (limit - from) / cs ? limit - from : clusters * cs;
    add(uint64_t(run.Lcn) * cs, n);
  }
  return true;
}

void TNTFSFileData::Skip(uint64_t count) {
  position_ += count;
  pos_.Position += count;
}

size_t TNTFSFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  if (source_ == Source::Contiguous && drive_.SectorsPerCluster > 0) {
    // Consecutive clusters end with the volume: nothing past it is delivered.
    const uint64_t volume = drive_.VolumeSectors / drive_.SectorsPerCluster * drive_.ClusterSize;
    const uint64_t offset = where_ * drive_.ClusterSize + base_ + position_;
    if (where_ > volume / std::max<uint32_t>(drive_.ClusterSize, 1) || offset >= volume) {
      Failure = "the data reaches past the end of the volume";
      return 0;
    }
    count = size_t(std::min<uint64_t>(count, volume - offset));
  }
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
