#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fat/FATFileData.h"

namespace salvex {

class TFATdrive;

enum class TSeekOrigin { Begin, Current, End };
class TDataStream;

// A file's data for the viewer: the save's stream (TFATFileData) with seeking from any origin. The
// data starts `baseOffset` bytes into the first cluster (0 for a FAT file, the resident data's
// offset for a lost MFT file). A seek after the chain failed walks it afresh.
class TFATStream {
 public:
  TFATStream(TFATdrive& drive, uint8_t fatChoice, uint32_t baseOffset, uint64_t size, uint32_t firstCluster);
  ~TFATStream();
  TFATStream(const TFATStream&) = delete;
  TFATStream& operator=(const TFATStream&) = delete;

  // Bytes read (0 at the end or when reading fails); the position advances by them.
  size_t Read(uint8_t* buffer, size_t count);
  // The new position; positions at or past the end leave nothing to read.
  uint64_t Seek(int64_t offset, TSeekOrigin origin);
  uint64_t Position() const { return position_; }
  uint64_t Size() const { return size_; }

 private:
  void Open();
  TFATdrive& drive_;
  uint8_t fatChoice_;
  uint32_t base_;
  uint64_t size_;
  uint32_t first_;
  uint64_t position_ = 0;
  bool lost_ = false;  // the data cannot be reached at position_: reads give nothing
  std::unique_ptr<TFATFileData> data_;
};

// The viewer's stream of a FAT file: a TFATStream in the shape every volume's data has.
std::unique_ptr<TDataStream> FATViewStream(TFATdrive& drive, uint8_t fatChoice, uint32_t baseOffset, uint64_t size,
                                           uint32_t firstCluster);

}  // namespace salvex
