#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ntfs/NTFSdrive.h"

namespace salvex {

namespace ntfs {

constexpr uint32_t AttrReparsePoint = 0xC0;
constexpr uint32_t ReparseTagWof = 0x80000017;
constexpr uint16_t AttrFlagCompressionMask = 0x00FF;
constexpr uint16_t AttrFlagEncrypted = 0x4000;

// Compression methods of files compressed by the Windows Overlay Filter (the reparse data's value).
enum class TWofAlgorithm : uint32_t { Xpress4K = 0, Lzx = 1, Xpress8K = 2, Xpress16K = 3 };

// What a decoder's wrapper returns: `decoded`, with `out` all zeros when it is false, so that no
// half-decoded bytes pass for data.
inline bool ZerosUnless(bool decoded, std::span<uint8_t> out) {
  if (!decoded) std::fill(out.begin(), out.end(), 0);
  return decoded;
}

// One LZNT1 compression unit decoded into `out`, filled whole: what the stream does not produce
// (a short last unit) is zeros. False, with `out` all zeros, when the stream is damaged or would
// produce more than out.size() bytes.
bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out);
// One XPRESS Huffman chunk that must decode to exactly out.size() bytes; false (zeros) otherwise.
bool DecompressXpressHuffman(std::span<const uint8_t> in, std::span<uint8_t> out);
// One LZX chunk (WOF, 32 KiB window) that must decode to exactly out.size() bytes; false (zeros)
// otherwise.
bool DecompressLzx(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace ntfs

// Decodes compressed data in units (NTFS compression units, WOF chunks), keeping the last one, so
// that small reads in a row decode each unit once.
class TNTFSDecoder {
 public:
  // `zeroPastInitialised`: bytes past the attribute's initialised size were never written and
  // read as zeros (NTFS compression); WOF data has no such bound.
  TNTFSDecoder(uint64_t unitSize, bool zeroPastInitialised)
      : UnitSize(unitSize), ZeroPastInitialised(zeroPastInitialised) {}
  virtual ~TNTFSDecoder() = default;
  // `count` decoded bytes from `offset`. A unit that cannot be decoded is delivered as zeros, counted
  // in pos.DamagedUnits and described in pos.Failure; `complete` is then false.
  void Read(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t offset, uint64_t count, uint8_t* buffer,
            bool& complete);

  const uint64_t UnitSize;
  const bool ZeroPastInitialised;

 protected:
  // Unit `index` into `out` (UnitSize bytes, zeroed by the caller). Returns why it could not be
  // decoded, empty when it was; `readOk` false when sectors could not be read.
  virtual std::string DecodeUnit(TNTFSdrive& drive, uint64_t index, std::span<uint8_t> out, bool& readOk) = 0;

 private:
  std::vector<uint8_t> unit_;
  uint64_t cachedUnit_ = UINT64_MAX;
  bool cachedWhole_ = false;
};

// Chooses how the opened unnamed $DATA of record `recordNumber` is read: sets pos.Compressed,
// pos.Encrypted and pos.Decoder (NTFS compression or a WOF-compressed file) and pos.Size.
void AttachDataDecoder(TNTFSdrive& drive, std::span<const uint8_t> record, uint64_t recordNumber,
                       TNTFSDataPos& pos);

// ReadDataPos for data with a decoder: `count` bytes from pos.Position (the caller keeps it within
// pos.Size). Returns the bytes delivered.
uint64_t ReadDecodedBytes(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t count, uint8_t* buffer, bool& complete);

}  // namespace salvex
