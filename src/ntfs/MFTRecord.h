#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace salvex::ntfs {

// Attribute types the program reads.
enum TAttrType : uint32_t {
  AttrStandardInformation = 0x10,
  AttrAttributeList = 0x20,
  AttrFileName = 0x30,
  AttrVolumeName = 0x60,
  AttrData = 0x80,
  AttrIndexRoot = 0x90,
  AttrIndexAllocation = 0xA0,
  AttrBitmap = 0xB0,
  AttrEnd = 0xFFFFFFFF,
};

constexpr uint16_t RecordInUse = 0x0001;
constexpr uint16_t RecordIsDirectory = 0x0002;
constexpr uint32_t FileNameIsDirectory = 0x10000000;
// File attribute flags, as in $STANDARD_INFORMATION and $FILE_NAME.
constexpr uint32_t FileAttributeCompressed = 0x0800;
constexpr uint32_t FileAttributeEncrypted = 0x4000;
enum TNameSpace : uint8_t { NamePosix = 0, NameWin32 = 1, NameDos = 2, NameWin32AndDos = 3 };

// MFT references carry the record number in their low 48 bits.
inline uint64_t RecordNumberOf(uint64_t reference) { return reference & 0xFFFFFFFFFFFFull; }

// Outcome of applying an update sequence array to a multi-sector structure.
enum class TFixup { Applied, Mismatch, Malformed };

// Puts back the last two bytes of every 512-byte stride from the update sequence array ("FILE"
// records and "INDX" blocks). Without it those bytes hold the sequence number, corrupting names,
// run lists and resident data that cross a stride. When a stride's sequence number does not match
// (a torn write) or the array does not fit, the buffer is left exactly as read.
TFixup ApplyFixup(std::span<uint8_t> buffer);

// "FILE" or "INDX" signature and a first-attribute offset inside the record.
bool IsValidRecord(std::span<const uint8_t> record);
bool HasSignature(std::span<const uint8_t> record, const char* signature);
uint16_t RecordFlags(std::span<const uint8_t> record);
uint16_t RecordSequence(std::span<const uint8_t> record);
uint64_t RecordBaseReference(std::span<const uint8_t> record);

// A view of one attribute header at `offset` inside a record buffer. All accessors are
// bounds-checked; a view is only handed out after IsValidAttribute accepted it.
struct TAttrView {
  std::span<const uint8_t> Record;
  uint32_t Offset = 0;

  uint32_t Type() const;
  uint32_t Length() const;
  bool NonResident() const;
  uint8_t NameLength() const;
  uint16_t NameOffset() const;
  uint16_t Flags() const;  // 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
  std::span<const uint8_t> NameBytes() const;  // UTF-16LE
  // Resident attributes.
  uint32_t ValueLength() const;
  uint16_t ValueOffset() const;
  std::span<const uint8_t> Value() const;  // empty when it does not fit
  // Non-resident attributes.
  int64_t StartVcn() const;
  int64_t LastVcn() const;
  std::span<const uint8_t> RunList() const;  // up to the attribute's end
  uint64_t AllocatedSize() const;
  uint64_t DataSize() const;
  uint64_t InitializedSize() const;
  // Compressed data: clusters per compression unit as a power of two (0 = not compressed).
  uint8_t CompressionUnit() const;
  // Non-resident data size or resident value length.
  uint64_t ContentSize() const { return NonResident() ? DataSize() : ValueLength(); }
};

// The structural checks an attribute must pass before any of its fields are used: it lies wholly
// inside the record, its name lies inside it, and its value or run list lies inside it.
bool IsValidAttribute(std::span<const uint8_t> record, uint32_t offset);

// Names compare as UTF-16 code units, case-sensitively; an empty name matches unnamed attributes.
bool NameEquals(std::span<const uint8_t> utf16le, std::u16string_view name);

// The index-th attribute of a type and name in this record alone. An attribute that fails the
// checks at the asked index ends the lookup with none.
std::optional<TAttrView> FindAttributeInRecord(std::span<const uint8_t> record, uint32_t type, unsigned index,
                                               std::u16string_view name);

// Calls visit(view) for every attribute in record order until it returns false; stops at the end
// marker, a zero length, an attribute running past the record or one that fails the checks.
template <class Visit>
void ForEachAttribute(std::span<const uint8_t> record, Visit&& visit);

// $FILE_NAME value fields.
struct TFileNameView {
  std::span<const uint8_t> Value;

  bool Valid() const { return Value.size() >= 0x42 && Value.size() >= 0x42 + 2u * NameLength(); }
  uint64_t ParentReference() const;
  uint64_t CreationTime() const;
  uint64_t ModificationTime() const;
  uint64_t DataSize() const;
  uint32_t Flags() const;
  uint8_t NameLength() const;
  uint8_t NameSpace() const;
  std::span<const uint8_t> NameBytes() const;
  bool IsDirectory() const { return (Flags() & FileNameIsDirectory) != 0; }
};

// UTF-16LE name to UTF-8 without loss; an unpaired surrogate becomes U+FFFD and sets *lossy.
std::string NameToUtf8(std::span<const uint8_t> utf16le, bool* lossy = nullptr);
// The name of a file record for listing: UTF-8, and when a character was lost the record number is
// added ("name\uFFFD (MFT 42).txt") so that two names never become one.
std::string RecordName(std::span<const uint8_t> utf16le, uint64_t recordNumber);
// Kept for the lost-data search, which still calls it: now UTF-8 as NameToUtf8.

// The preferred $FILE_NAME of one record buffer alone: the first Win32 or Win32+DOS name, else the
// first POSIX name, else the last one found.
std::optional<TFileNameView> FindFileNameInRecord(std::span<const uint8_t> record);

// Rank of a name space when one name of a record is chosen: Win32 names first, then POSIX, then
// DOS-only.
int NameSpaceRank(uint8_t nameSpace);

// --- template definition

uint32_t FirstAttributeOffset(std::span<const uint8_t> record);

template <class Visit>
void ForEachAttribute(std::span<const uint8_t> record, Visit&& visit) {
  uint64_t p = FirstAttributeOffset(record);
  // Each step advances by at least the header size, so the walk ends within the record.
  while (p + 8 <= record.size()) {
    TAttrView a{record, static_cast<uint32_t>(p)};
    if (a.Type() == AttrEnd || a.Length() == 0) return;
    if (!IsValidAttribute(record, a.Offset)) return;
    if (!visit(a)) return;
    p += a.Length();
  }
}

}  // namespace salvex::ntfs
