#pragma once
#include <memory>
#include <string_view>

#include "devices/DataStream.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

// A file's bytes as the save engine reads them: the unnamed (or a named) $DATA of an MFT record, consecutive
// clusters (files found by the cluster scan) or resident data inside a found record's cluster.
class TNTFSFileData : public TDataStream {
 public:
  enum class Source { Record, FoundRecord, Contiguous };
  // Record: `where` is the record number. FoundRecord: `where` is the volume offset of a former
  // record found by the lost-data search, `number` its number. Contiguous: `where` is the first
  // cluster and `base` the bytes skipped inside it. `stream` names the record's $DATA to read.
  TNTFSFileData(TNTFSdrive& drive, Source source, uint64_t where, uint32_t base, uint64_t size, uint64_t number = 0,
                std::u16string_view stream = {});
  uint64_t Size() const override { return size_; }
  size_t Read(uint8_t* buffer, size_t count) override;
  bool PlainExtent(TPlainExtent& extent) override;
  void Skip(uint64_t count) override;
  bool Seek(uint64_t position) override;
  bool ByteRuns(std::vector<TByteRun>& runs) override;

 private:
  TNTFSdrive& drive_;
  Source source_;
  uint64_t where_;
  uint32_t base_;
  uint64_t size_;
  uint64_t position_ = 0;
  TNTFSDataPos pos_;
};

}  // namespace salvex
