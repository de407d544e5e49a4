#include "ntfs/NTFSCompression.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/ByteReader.h"
#include "common/Debug.h"
#include "ntfs/HuffmanCode.h"

namespace salvex {

using namespace ntfs;

namespace ntfs {

// The decoders are our own, bounded by both spans: libfwnt's read and write past their buffers
// on crafted chunks.
namespace {
// One compressed chunk of at most 4096 bytes into `out`.
bool DecodeLznt1Chunk(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t i = 0, o = 0;
  while (i < in.size()) {
    const uint8_t flags = in[i++];
    for (int bit = 0; bit < 8 && i < in.size(); ++bit) {
      if (!(flags & (1u << bit))) {
        if (o >= out.size()) return false;
        out[o++] = in[i++];
        continue;
      }
      if (in.size() - i < 2 || o == 0) return false;
      const uint16_t token = uint16_t(in[i] | (in[i + 1] << 8));
      i += 2;
      // The split between offset and length bits moves as the chunk grows: offsets need
      // enough bits to reach its start.
      unsigned lengthBits = 12;
      for (size_t at = o - 1; at >= 0x10; at >>= 1) --lengthBits;
      const size_t back = (token >> lengthBits) + 1u;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3u;
      if (back > o || length > out.size() - o) return false;
      for (size_t k = 0; k < length; ++k, ++o) out[o] = out[o - back];  // may overlap itself
    }
  }
  return true;
}
}  // namespace

bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), 0);
  // Chunks of up to 4096 bytes each, one after the other; a chunk that decodes short is padded
  // with zeros to its 4096 bytes. A zero header ends the stream: the unit's last cluster is
  // padded after it, and the padding is no part of the stream.
  constexpr size_t kChunk = 4096;
  ByteReader r(in);
  size_t p = 0, produced = 0;
  while (p + 2 <= in.size()) {
    uint16_t header = r.U16(p);
    if (header == 0) break;
    size_t length = (header & 0x0FFF) + 1u;
    if (length > in.size() - p - 2 || produced >= out.size()) {
      std::fill(out.begin(), out.end(), 0);
      return false;
    }
    std::span<const uint8_t> body = in.subspan(p + 2, length);
    std::span<uint8_t> target = out.subspan(produced, std::min(kChunk, out.size() - produced));
    bool ok = true;
    if (header & 0x8000) {
      ok = DecodeLznt1Chunk(body, target);
    } else if (body.size() <= target.size()) {
      std::copy(body.begin(), body.end(), target.begin());  // a chunk compression did not shrink
    } else {
      ok = false;
    }
    if (!ok) {
      std::fill(out.begin(), out.end(), 0);
      return false;
    }
    p += 2 + length;
    produced += kChunk;
  }
  return true;
}

namespace {
// The 512 XPRESS symbols' code lengths, 4 bits each; Windows' decoder demands a complete code.
bool BuildXpressCode(std::span<const uint8_t, 256> packed, TCanonicalCode<15, 512>& code) {
  std::array<uint8_t, 512> lengths{};
  for (unsigned symbol = 0; symbol < 512; ++symbol) lengths[symbol] = (packed[symbol / 2] >> (symbol % 2 * 4)) & 0x0F;
  return code.Build(lengths, false);
}

bool DecodeXpressHuffman(std::span<const uint8_t> in, std::span<uint8_t> out) {
  constexpr size_t kBlock = 65536;  // each block of output brings its own code
  size_t i = 0, o = 0;
  // Past the end the bit stream reads as zeros; the output bound ends the loop regardless.
  auto word = [&](size_t at) -> uint32_t { return at + 1 < in.size() ? uint32_t(in[at] | (in[at + 1] << 8)) : 0; };
  while (o < out.size()) {
    if (in.size() - i < 256 + 4) return false;
    TCanonicalCode<15, 512> code;
    if (!BuildXpressCode(in.subspan(i).first<256>(), code)) return false;
    i += 256;
    uint32_t bits = (word(i) << 16) | word(i + 2);
    int extra = 16;
    i += 4;
    auto consume = [&](unsigned n) {
      if (n == 0) return;
      bits <<= n;
      extra -= int(n);
      if (extra < 0) {
        bits |= word(i) << unsigned(-extra);
        extra += 16;
        i += 2;
      }
    };
    const size_t blockEnd = std::min(out.size(), o + kBlock);
    while (o < blockEnd) {
      unsigned length = 0;
      const int symbol = code.Decode(bits >> 17, length);
      if (symbol < 0) return false;
      consume(length);
      if (symbol < 256) {
        out[o++] = uint8_t(symbol);
        continue;
      }
      size_t matchLength = unsigned(symbol) & 0x0F;
      const unsigned offsetBits = (unsigned(symbol) >> 4) & 0x0F;
      if (matchLength == 15) {
        if (i >= in.size()) return false;
        matchLength = in[i++];
        if (matchLength == 255) {
          if (in.size() - i < 2) return false;
          matchLength = in[i] | (in[i + 1] << 8);
          i += 2;
          if (matchLength == 0) {
            if (in.size() - i < 4) return false;
            matchLength = size_t(in[i]) | size_t(in[i + 1]) << 8 | size_t(in[i + 2]) << 16 | size_t(in[i + 3]) << 24;
            i += 4;
          }
          if (matchLength < 15) return false;
          matchLength -= 15;
        }
        matchLength += 15;
      }
      matchLength += 3;
      const size_t offset = (offsetBits == 0 ? 0 : bits >> (32 - offsetBits)) + (size_t(1) << offsetBits);
      consume(offsetBits);
      if (offset > o || matchLength > out.size() - o) return false;
      for (size_t k = 0; k < matchLength; ++k, ++o) out[o] = out[o - offset];  // may overlap itself
    }
  }
  return true;
}
}  // namespace

bool DecompressXpressHuffman(std::span<const uint8_t> in, std::span<uint8_t> out) {
  return ZerosUnless(!in.empty() && DecodeXpressHuffman(in, out), out);
}

}  // namespace ntfs

namespace {

// Compression units are 2^CompressionUnit clusters (16 on every volume written by Windows); a
// bound keeps a crafted header from asking for huge buffers.
constexpr uint64_t kMaxUnitBytes = 4u << 20;
// A WOF chunk offset table larger than this is not plausible (it would describe a file of
// several terabytes).
constexpr uint64_t kMaxWofTableBytes = 64u << 20;

// NTFS compression: each unit is either all holes (zeros), all allocated (stored as is), or its
// first clusters hold the LZNT1 stream and the rest are holes.
class TLznt1Decoder : public TNTFSDecoder {
 public:
  TLznt1Decoder(const TNTFSAttribute& data, uint32_t clusterSize)
      : TNTFSDecoder(uint64_t(clusterSize) << data.CompressionUnit, true),
        data_(data),
        clusterSize_(clusterSize),
        unitClusters_(uint64_t(1) << data.CompressionUnit) {}

 protected:
  std::string DecodeUnit(TNTFSdrive& drive, uint64_t index, std::span<uint8_t> out, bool& readOk) override {
    readOk = true;
    struct Piece {
      int64_t Lcn;
      uint64_t Clusters;
    };
    std::vector<Piece> pieces;
    uint64_t allocated = 0;
    bool holeSeen = false;
    int64_t vcn = int64_t(index * unitClusters_);
    // ntfs-3g maps a last unit only up to the data's last cluster; what lies beyond is absent.
    const uint64_t dataClusters = (data_.DataSize + clusterSize_ - 1) / clusterSize_;
    for (uint64_t left = unitClusters_; left > 0;) {
      TRunHit hit;
      if (!FindRun(data_.Runs, vcn, hit)) {
        if (uint64_t(vcn) >= dataClusters) break;
        return "the run list does not cover compression unit " + std::to_string(index);
      }
      uint64_t n = std::min(left, hit.ClustersLeft);
      if (hit.Hole) {
        holeSeen = true;
      } else {
        if (holeSeen) return "compression unit " + std::to_string(index) + " has clusters after its hole";
        pieces.push_back({hit.Lcn, n});
        allocated += n;
      }
      vcn += int64_t(n);
      left -= n;
    }
    if (allocated == 0) return {};
    // A unit without a hole was stored as is (compression did not save a cluster).
    std::span<uint8_t> target = out;
    if (holeSeen) {
      stored_.resize(allocated * clusterSize_);
      target = stored_;
    }
    uint8_t* p = target.data();
    for (const Piece& piece : pieces) {
      if (!drive.ReadClusters(piece.Lcn, piece.Clusters, p)) readOk = false;
      p += piece.Clusters * clusterSize_;
    }
    if (!holeSeen) return {};
    if (!DecompressLznt1(stored_, out))
      return "compression unit " + std::to_string(index) + " is damaged (its LZNT1 data does not decode)";
    return {};
  }

 private:
  TNTFSAttribute data_;
  uint32_t clusterSize_;
  uint64_t unitClusters_;
  std::vector<uint8_t> stored_;
};

// A unit size the volume cannot have: every unit is reported, none is guessed at.
class TUnusableDecoder : public TNTFSDecoder {
 public:
  explicit TUnusableDecoder(std::string reason, uint64_t unitSize = 65536)
      : TNTFSDecoder(unitSize, false), reason_(std::move(reason)) {}

 protected:
  std::string DecodeUnit(TNTFSdrive&, uint64_t, std::span<uint8_t>, bool& readOk) override {
    readOk = true;
    return reason_;
  }

 private:
  std::string reason_;
};

// A file compressed by the Windows Overlay Filter: the named stream "WofCompressedData" holds a
// table of chunk offsets, then the chunks; a chunk as long as its decoded size is stored as is.
class TWofDecoder : public TNTFSDecoder {
 public:
  TWofDecoder(TNTFSAttribute stream, TWofAlgorithm algorithm, uint64_t chunkSize, uint64_t size)
      : TNTFSDecoder(chunkSize, false), stream_(std::move(stream)), algorithm_(algorithm), size_(size) {}

 protected:
  std::string DecodeUnit(TNTFSdrive& drive, uint64_t index, std::span<uint8_t> out, bool& readOk) override {
    readOk = true;
    if (!LoadTable(drive)) return tableError_;
    const uint64_t chunks = table_.size() + 1;
    if (index >= chunks) return "chunk " + std::to_string(index) + " lies past the WOF chunk table";
    const uint64_t dataBytes = stream_.Size() - tableBytes_;
    uint64_t start = index == 0 ? 0 : table_[index - 1];
    uint64_t end = index + 1 == chunks ? dataBytes : table_[index];
    uint64_t expected = std::min(UnitSize, size_ - index * UnitSize);
    if (start > end || end > dataBytes || end - start > expected)
      return "WOF chunk " + std::to_string(index) + " has an impossible offset or length";
    uint64_t stored = end - start;
    std::span<uint8_t> target = out.first(expected);
    if (stored != expected) {
      chunk_.resize(stored);
      target = chunk_;
    }
    bool complete = true;
    if (drive.ReadAttributeBytes(stream_, tableBytes_ + start, stored, target.data(), &complete) != stored)
      return "WOF chunk " + std::to_string(index) + " lies past the end of its stream";
    readOk = complete;
    if (stored == expected) return {};
    const bool lzx = algorithm_ == TWofAlgorithm::Lzx;
    if (!(lzx ? DecompressLzx(chunk_, out.first(expected)) : DecompressXpressHuffman(chunk_, out.first(expected))))
      return "WOF chunk " + std::to_string(index) + " is damaged (its " + (lzx ? "LZX" : "XPRESS") +
             " data does not decode)";
    return {};
  }

 private:
  bool LoadTable(TNTFSdrive& drive) {
    if (tableLoaded_) return tableError_.empty();
    tableLoaded_ = true;
    const uint64_t chunks = size_ == 0 ? 0 : (size_ - 1) / UnitSize + 1;
    // Files of 4 GiB and more use 64-bit offsets.
    const uint64_t entry = size_ > 0xFFFFFFFFull ? 8 : 4;
    tableBytes_ = chunks == 0 ? 0 : (chunks - 1) * entry;
    if (tableBytes_ > kMaxWofTableBytes || tableBytes_ > stream_.Size()) {
      tableError_ = "the WOF chunk table does not fit its stream";
      return false;
    }
    std::vector<uint8_t> raw(tableBytes_);
    bool complete = true;
    if (drive.ReadAttributeBytes(stream_, 0, raw.size(), raw.data(), &complete) != raw.size() || !complete) {
      tableError_ = "the WOF chunk table cannot be read";
      return false;
    }
    ByteReader r(raw);
    table_.resize(chunks == 0 ? 0 : chunks - 1);
    for (size_t i = 0; i < table_.size(); ++i) table_[i] = entry == 8 ? r.U64(i * 8) : r.U32(i * 4);
    return true;
  }

  TNTFSAttribute stream_;
  TWofAlgorithm algorithm_;
  uint64_t size_;
  bool tableLoaded_ = false;
  std::string tableError_;
  uint64_t tableBytes_ = 0;
  std::vector<uint64_t> table_;  // offsets of chunks 1.. after the table
  std::vector<uint8_t> chunk_;
};

uint32_t StandardInformationFlags(TNTFSdrive& drive, std::span<const uint8_t> record, uint64_t recordNumber) {
  TNTFSAttribute si;
  if (!drive.LoadAttribute(record, recordNumber, AttrStandardInformation, u"", si) || !si.Resident) return 0;
  ByteReader r(si.Value);
  uint32_t flags = r.U32(0x20);
  return r.Failed() ? 0 : flags;
}

// The decoder of a WOF-compressed file, or none when the record carries no WOF reparse point.
std::shared_ptr<TNTFSDecoder> WofDecoderOf(TNTFSdrive& drive, std::span<const uint8_t> record, uint64_t recordNumber,
                                           uint64_t size) {
  TNTFSAttribute reparse;
  if (!drive.LoadAttribute(record, recordNumber, AttrReparsePoint, u"", reparse) || !reparse.Resident) return nullptr;
  ByteReader r(reparse.Value);
  if (r.U32(0) != ReparseTagWof || r.Failed()) return nullptr;
  // Reparse data: WOF version and provider (2 = file), then the file provider's version and method.
  uint32_t provider = r.U32(8 + 4);
  uint32_t algorithm = r.U32(8 + 12);
  if (r.Failed() || provider != 2)
    return std::make_shared<TUnusableDecoder>("the WOF reparse data names no file compression");
  uint64_t chunkSize = 0;
  switch (TWofAlgorithm(algorithm)) {
    case TWofAlgorithm::Xpress4K: chunkSize = 4096; break;
    case TWofAlgorithm::Xpress8K: chunkSize = 8192; break;
    case TWofAlgorithm::Xpress16K: chunkSize = 16384; break;
    case TWofAlgorithm::Lzx: chunkSize = 32768; break;
    default:
      return std::make_shared<TUnusableDecoder>("unknown WOF compression method " + std::to_string(algorithm));
  }
  TNTFSAttribute stream;
  if (!drive.LoadAttribute(record, recordNumber, AttrData, u"WofCompressedData", stream))
    return std::make_shared<TUnusableDecoder>("the WOF-compressed file has no WofCompressedData stream", chunkSize);
  return std::make_shared<TWofDecoder>(std::move(stream), TWofAlgorithm(algorithm), chunkSize, size);
}

}  // namespace

void TNTFSDecoder::Read(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t offset, uint64_t count, uint8_t* buffer,
                        bool& complete) {
  complete = true;
  while (count > 0) {
    uint64_t index = offset / UnitSize;
    uint64_t within = offset % UnitSize;
    if (index != cachedUnit_) {
      unit_.assign(UnitSize, 0);
      bool readOk = true;
      std::string failure = DecodeUnit(drive, index, unit_, readOk);
      if (!failure.empty()) {
        std::fill(unit_.begin(), unit_.end(), 0);
        ++pos.DamagedUnits;
        pos.Failure = failure;
        DebugLog("record " + std::to_string(pos.Reference) + ": " + failure + "; given as zeros", 0);
      }
      cachedUnit_ = index;
      cachedWhole_ = failure.empty() && readOk;
      // A unit that was not whole is decoded again when asked again, and reported again.
      if (!cachedWhole_) cachedUnit_ = UINT64_MAX;
      if (!cachedWhole_) complete = false;
    }
    uint64_t n = std::min(count, UnitSize - within);
    std::memcpy(buffer, unit_.data() + within, n);
    buffer += n;
    offset += n;
    count -= n;
  }
}

void AttachDataDecoder(TNTFSdrive& drive, std::span<const uint8_t> record, uint64_t recordNumber, TNTFSDataPos& pos) {
  const TNTFSAttribute& data = pos.Data;
  uint32_t fileFlags = StandardInformationFlags(drive, record, recordNumber);
  pos.Encrypted = (data.Flags & AttrFlagEncrypted) || (fileFlags & FileAttributeEncrypted);
  // Encrypted data can only be read as stored: its key is not on the volume.
  if (pos.Encrypted) return;
  // The overlay filter compresses a file's unnamed data only (into a named stream of its own).
  if (auto wof = pos.Stream.empty() ? WofDecoderOf(drive, record, recordNumber, pos.Size) : nullptr) {
    pos.Compressed = true;
    pos.Decoder = std::move(wof);
    return;
  }
  if (data.Resident || !(data.Flags & AttrFlagCompressionMask)) return;
  pos.Compressed = true;
  uint64_t unitBytes = data.CompressionUnit < 16 ? uint64_t(drive.ClusterSize) << data.CompressionUnit : 0;
  if (data.CompressionUnit == 0 || unitBytes == 0 || unitBytes > kMaxUnitBytes) {
    pos.Decoder = std::make_shared<TUnusableDecoder>("the compressed data gives an implausible compression unit of 2^" +
                                                     std::to_string(data.CompressionUnit) + " clusters");
    return;
  }
  pos.Decoder = std::make_shared<TLznt1Decoder>(data, drive.ClusterSize);
}

uint64_t ReadDecodedBytes(TNTFSdrive& drive, TNTFSDataPos& pos, uint64_t count, uint8_t* buffer, bool& complete) {
  complete = true;
  if (pos.Position >= pos.Size) return 0;
  uint64_t n = std::min(count, pos.Size - pos.Position);
  uint64_t initialised = pos.Size;
  if (pos.Decoder->ZeroPastInitialised && pos.Data.InitializedSize)
    initialised = std::min(pos.Size, pos.Data.InitializedSize);
  uint64_t decoded = pos.Position < initialised ? std::min(n, initialised - pos.Position) : 0;
  if (decoded > 0) pos.Decoder->Read(drive, pos, pos.Position, decoded, buffer, complete);
  std::memset(buffer + decoded, 0, n - decoded);
  return n;
}

}  // namespace salvex
