#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace salvex {

// The bytes of a found file, from its first byte onwards (on a volume: the found cluster and the
// clusters after it, up to the volume's end).
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // Copies up to `count` bytes from `offset` into `out`; returns how many were delivered, fewer (or
  // none) at the end of the source or when the bytes cannot be read.
  virtual size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) = 0;
};

// Bytes held in memory.
class TSpanSource : public TByteSource {
 public:
  explicit TSpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) override;

 private:
  std::span<const uint8_t> bytes_;
};

// Bytes read in blocks (clusters) through a callback: block 0 is the file's first block, at most
// `blocks` of them exist. The callback fills `count` blocks of `blockSize` bytes or returns false.
class TBlockSource : public TByteSource {
 public:
  using ReadBlocks = std::function<bool(uint64_t first, uint32_t count, uint8_t* out)>;
  TBlockSource(uint32_t blockSize, uint64_t blocks, ReadBlocks read);
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t count) override;

 private:
  uint32_t blockSize_;
  uint64_t blocks_;
  ReadBlocks read_;
  std::vector<uint8_t> buffer_;
};

// Where a file of the recogniser's type `typeName` ends, in bytes from its start, read from its own
// structure (markers, chunks, size fields, central directory, frame chain, ...). Nothing when the
// type has no end finder or the structure does not lead to a plausible end. Each format reads at
// most its own cap (MaxFileEndSearch) and never loops: every step moves forward.
std::optional<uint64_t> FindFileEnd(std::string_view typeName, TByteSource& source);

// The type of a file whose end was found, told apart by what its structure holds: a ZIP archive
// that is an Office Open XML, OpenDocument or EPUB package gets that type; others keep `type`.
std::string FoundFileType(std::string_view typeName, TByteSource& source, uint64_t size);

// How far the end finder of a type may read; 0 for types without one.
uint64_t MaxFileEndSearch(std::string_view typeName);

// CRC-32 as PNG and ZIP use it (reflected, polynomial 0xEDB88320); pass a previous result to go on.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

}  // namespace salvex
