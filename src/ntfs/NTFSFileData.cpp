#include "ntfs/NTFSFileData.h"

#include <algorithm>

#include "common/Format.h"
#include "common/StringTable.h"
#include "ntfs/NTFSFormerTree.h"
#include "salvex/StringIds.h"

namespace salvex {

TNTFSFileData::TNTFSFileData(TNTFSdrive& drive, Source source, uint64_t where, uint32_t base, uint64_t size,
                             uint64_t number, std::u16string_view stream)
    : drive_(drive), source_(source), where_(where), base_(base), size_(size) {
  if (source_ == Source::FoundRecord) {
    // From here on it reads like a record of the current $MFT, through the position opened.
    source_ = Source::Record;
    if (where_ == 0 || !OpenFoundDataPos(drive_, pos_, where_, number, stream)) {
      Failure = LoadText(txt::FormerDataAttributeUnreadable);
      return;
    }
    size_ = pos_.Size;
  } else if (source_ == Source::Record) {
    if (where_ == 0 || !drive_.OpenDataPos(pos_, size_, where_, stream)) {
      Failure = LoadText(txt::DataAttributeUnreadable);
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

void TNTFSFileData::Skip(uint64_t count) {
  position_ += count;
  pos_.Position += count;
}

bool TNTFSFileData::Seek(uint64_t position) {
  if (position > size_ || !Failure.empty()) return false;
  // Run lists and compression units are found from the position itself.
  if (source_ == Source::Record) pos_.Position = position;
  position_ = position;
  return true;
}

bool TNTFSFileData::ByteRuns(std::vector<TByteRun>& runs) {
  if (!Failure.empty() || drive_.ClusterSize == 0) return false;
  const uint64_t cs = drive_.ClusterSize;
  if (source_ == Source::Contiguous) {
    AddByteRun(runs, 0, where_ * cs + base_, size_);
    return true;
  }
  if (!pos_.Opened || pos_.Data.Resident || pos_.Decoder) return false;
  for (const ntfs::TRun& run : pos_.Data.Runs) {
    if (run.Hole) continue;
    if (run.Vcn < 0 || run.Lcn < 0) return false;
    const uint64_t start = uint64_t(run.Vcn) * cs;
    if (start >= size_) continue;
    AddByteRun(runs, start, uint64_t(run.Lcn) * cs, std::min(run.Length * cs, size_ - start));
  }
  return true;
}

size_t TNTFSFileData::Read(uint8_t* buffer, size_t count) {
  if (position_ >= size_ || !Failure.empty()) return 0;
  count = size_t(std::min<uint64_t>(count, size_ - position_));
  if (source_ == Source::Contiguous && drive_.SectorsPerCluster > 0) {
    // Consecutive clusters end with the volume: nothing past it is delivered.
    const uint64_t volume = drive_.VolumeSectors / drive_.SectorsPerCluster * drive_.ClusterSize;
    const uint64_t offset = where_ * drive_.ClusterSize + base_ + position_;
    if (where_ > volume / std::max<uint32_t>(drive_.ClusterSize, 1) || offset >= volume) {
      Failure = LoadText(txt::DataPastVolumeEnd);
      return 0;
    }
    count = size_t(std::min<uint64_t>(count, volume - offset));
  }
  const uint64_t before = drive_.UnreadableSectors, damagedBefore = pos_.DamagedUnits;
  uint64_t got = count;
  bool ok;
  if (source_ == Source::Record)
    ok = drive_.ReadDataPos(pos_, count, got, buffer);
  else
    ok = drive_.ReadContiguous(buffer, count, base_ + position_, where_);
  ZeroFilledSectors += drive_.UnreadableSectors - before;
  if (!pos_.Failure.empty()) Damage = pos_.Failure;
  DamagedUnits += pos_.DamagedUnits - damagedBefore;
  // A false read with bytes delivered means unreadable or damaged parts came back as zeros.
  if (got == 0 || (!ok && drive_.UnreadableSectors == before && pos_.Failure.empty())) {
    // A damaged run list names its bad entry and field; the structure's words are not translated.
    Failure = pos_.Data.RunDamage ? "the $DATA " + pos_.Data.RunDamage->Text() : LoadText(txt::DataRunsShort);
    return size_t(got);
  }
  position_ += got;
  return size_t(got);
}

}  // namespace salvex
