#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/Error.h"
#include "devices/DataStream.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/RunList.h"

namespace salvex {

class TNTFSdrive;

// One attribute as read from a record and, through an attribute list, from its other records: the
// resident value, or the runs of every extent in VCN order.
struct TNTFSAttribute {
  uint32_t Type = 0;
  bool Resident = true;
  uint16_t Flags = 0;
  std::vector<uint8_t> Value;     // resident value
  std::vector<ntfs::TRun> Runs;   // non-resident
  std::optional<TError> RunDamage;  // why a piece's run list ended early; Runs holds what came before
  uint64_t DataSize = 0;          // bytes of content (resident: the value's length)
  uint64_t AllocatedSize = 0;
  uint64_t InitializedSize = 0;
  uint8_t CompressionUnit = 0;    // log2 of clusters per compression unit; 0 = stored as is
  uint64_t Size() const { return Resident ? Value.size() : DataSize; }
};

class TNTFSDecoder;

// Read position over a file's $DATA (the unnamed one, or a named stream). The attribute is loaded once when opened, instead of
// re-reading the record for every piece. Compressed data (NTFS compression or the Windows Overlay
// Filter) is read through a decoder and Size is the decoded length; encrypted data reads as stored.
struct TNTFSDataPos {
  uint64_t Reference = 0;  // MFT record number
  std::u16string Stream;   // the $DATA attribute's name; empty for the file's unnamed data
  uint64_t Position = 0;
  uint64_t Size = 0;
  bool Opened = false;
  bool Compressed = false;
  bool Encrypted = false;
  TNTFSAttribute Data;
  std::shared_ptr<TNTFSDecoder> Decoder;  // none: the bytes are read as stored
  // Why some bytes delivered are not the file's (a damaged compression unit, an unsupported
  // method); empty while every read was whole. DamagedUnits counts the units given as zeros.
  std::string Failure;
  uint64_t DamagedUnits = 0;
};

// Reads the attributes of a volume's records: joins an attribute's pieces across its attribute
// list, and reads its content through the run lists, holes and initialised size.
class TNTFSAttributeReader {
 public:
  explicit TNTFSAttributeReader(TNTFSdrive& drive) : drive_(drive) {}

  // The unnamed (or named) attribute of a type of the record `recordNumber` whose bytes are given,
  // following its $ATTRIBUTE_LIST into other records and joining the extents of a non-resident
  // attribute. False when it does not exist.
  bool LoadAttribute(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                     std::u16string_view name, TNTFSAttribute& out);
  // The preferred $FILE_NAME value of a record (Win32, then POSIX, then DOS), searched through its
  // attribute list as well; a copy, so it stays valid.
  std::optional<std::vector<uint8_t>> FindFileName(std::span<const uint8_t> record, uint64_t recordNumber);
  // The names of a record's named $DATA attributes (alternate data streams), each once, in the order
  // met: the base record's, then those its attribute list names. Empty for most records, at the cost
  // of one walk over attributes already in memory. Each stream is looked up through the whole list,
  // so a crafted list of a million names stops at kMaxStreamsPerRecord; `more` says so.
  static constexpr size_t kMaxStreamsPerRecord = 1024;
  std::vector<std::u16string> DataStreamNames(std::span<const uint8_t> record, bool* more = nullptr);

  // Bytes of an attribute's content from `offset`; holes and the part past the initialised size
  // read as zeros. Returns the number of bytes delivered (cut at the content's size).
  uint64_t ReadAttributeBytes(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, uint8_t* buffer,
                              bool* complete = nullptr);
  // Where bytes of a non-resident attribute from `offset` lie in the device's plain image file, as
  // far as they lie there in one piece: allocated, initialised and inside the volume. False where
  // they must be read.
  bool PlainExtent(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, TPlainExtent& extent);
  // Bytes from consecutive clusters starting at `startCluster`, for files found without a record.
  bool ReadContiguous(uint8_t* buffer, uint64_t count, uint64_t position, uint64_t startCluster);
  // Bit n of a bitmap attribute (cluster or record in use).
  bool TestBitmapBit(const TNTFSAttribute& bitmap, uint64_t n);

  // The record's unnamed $DATA, or the named one `stream`.
  bool OpenDataPos(TNTFSDataPos& pos, uint64_t size, uint64_t recordNumber, std::u16string_view stream = {});
  // Up to `count` bytes from the position; false when the data cannot be found or read fully.
  bool ReadDataPos(TNTFSDataPos& pos, uint64_t count, uint64_t& delivered, uint8_t* buffer);
  bool SeekDataPos(TNTFSDataPos& pos, uint64_t position);

 private:
  // LoadAttribute's steps: the $ATTRIBUTE_LIST value (resident, or read through its run list; false
  // when it is implausibly large), then the pieces it names, from this record or extension records.
  bool ReadAttributeListValue(const ntfs::TAttrView& list, std::vector<uint8_t>& bytes);
  bool CollectListedPieces(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                           std::u16string_view name, std::span<const uint8_t> listBytes, TNTFSAttribute& out);

  TNTFSdrive& drive_;
};

}  // namespace salvex
