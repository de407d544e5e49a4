#pragma once
#include <memory>
#include <string>

#include "devices/DataStream.h"
#include "fat/FATFile.h"

namespace salvex {

class TFATdrive;

// A file's bytes along its clusters: a FAT copy's chain, or consecutive clusters without one.
// `baseOffset` skips bytes of the first cluster (a lost MFT record's resident data).
class TFATFileData : public TDataStream {
 public:
  TFATFileData(TFATdrive& drive, uint8_t fatChoice, uint32_t firstCluster, uint32_t baseOffset, uint64_t size);
  uint64_t Size() const override { return size_; }
  size_t Read(uint8_t* buffer, size_t count) override;
  // The rest of the current run of consecutive clusters, when the volume lies in a plain image file.
  bool PlainExtent(TPlainExtent& extent) override;
  void Skip(uint64_t count) override;
  bool Seek(uint64_t position) override;
  bool ByteRuns(std::vector<TByteRun>& runs) override;
  // Steps over clusters allocated in the FAT in use when reading without a chain.
  void SkipAllocated() { pos_.SkipAllocated = true; }
  // Once every byte came, checks the end the file's format gives (a JPEG end marker, a ZIP's
  // central directory, PNG chunk CRCs, ...): a structure that does not end within the file means
  // clusters that are not its own, and the stream fails with that reason.
  void CheckFormatEnd() { checkEnd_ = true; }

 private:
  TFATdrive& drive_;
  uint8_t fatChoice_;
  uint32_t base_;
  uint64_t size_;
  uint64_t position_ = 0;
  TFATFilePos pos_;
  uint32_t first_;
  bool checkEnd_ = false;
  // Where reading stands after the extent PlainExtent gave last, for Skip over all of it.
  uint64_t plainLength_ = 0;
  TFATFilePos plainPos_;
  // The reason the format's end check failed; empty when it passed or could not judge.
  std::string FormatEndFailure();
};

}  // namespace salvex
