#include "ntfs/MFTRecord.h"

#include "common/ByteReader.h"
#include "common/Unicode.h"

namespace salvex::ntfs {

namespace {
constexpr size_t kStride = 512;
constexpr uint32_t kResidentHeader = 0x18;
constexpr uint32_t kNonResidentHeader = 0x40;
}  // namespace

TFixup ApplyFixup(std::span<uint8_t> buffer) {
  ByteReader r(buffer);
  uint16_t usaOffset = r.U16(0x04);
  uint16_t usaCount = r.U16(0x06);
  if (r.Failed() || usaCount < 2) return TFixup::Malformed;
  size_t strides = usaCount - 1u;
  if (strides > buffer.size() / kStride || !r.Has(usaOffset, 2u * usaCount)) return TFixup::Malformed;
  // The array's place must not overlap the last bytes of the first stride it repairs.
  if (usaOffset + 2u * usaCount > kStride - 2) return TFixup::Malformed;
  uint16_t usn = r.U16(usaOffset);
  for (size_t i = 1; i <= strides; ++i)
    if (r.U16(i * kStride - 2) != usn) return TFixup::Mismatch;
  for (size_t i = 1; i <= strides; ++i) {
    buffer[i * kStride - 2] = buffer[usaOffset + 2 * i];
    buffer[i * kStride - 1] = buffer[usaOffset + 2 * i + 1];
  }
  return TFixup::Applied;
}

bool HasSignature(std::span<const uint8_t> record, const char* signature) {
  return ByteReader(record).Equals(0, std::string_view(signature, 4));
}

uint32_t FirstAttributeOffset(std::span<const uint8_t> record) { return ByteReader(record).U16(0x14); }

bool IsValidRecord(std::span<const uint8_t> record) {
  if (!HasSignature(record, "FILE") && !HasSignature(record, "INDX")) return false;
  uint32_t first = FirstAttributeOffset(record);
  return first > 42 && first < record.size();
}

uint16_t RecordFlags(std::span<const uint8_t> record) { return ByteReader(record).U16(0x16); }
uint16_t RecordSequence(std::span<const uint8_t> record) { return ByteReader(record).U16(0x10); }
uint64_t RecordBaseReference(std::span<const uint8_t> record) { return ByteReader(record).U64(0x20); }

uint32_t TAttrView::Type() const { return ByteReader(Record).U32(Offset); }
uint32_t TAttrView::Length() const { return ByteReader(Record).U32(Offset + 0x04); }
bool TAttrView::NonResident() const { return ByteReader(Record).U8(Offset + 0x08) != 0; }
uint8_t TAttrView::NameLength() const { return ByteReader(Record).U8(Offset + 0x09); }
uint16_t TAttrView::NameOffset() const { return ByteReader(Record).U16(Offset + 0x0A); }
uint16_t TAttrView::Flags() const { return ByteReader(Record).U16(Offset + 0x0C); }
std::span<const uint8_t> TAttrView::NameBytes() const {
  return ByteReader(Record).Sub(size_t(Offset) + NameOffset(), 2u * NameLength());
}
uint32_t TAttrView::ValueLength() const { return ByteReader(Record).U32(Offset + 0x10); }
uint16_t TAttrView::ValueOffset() const { return ByteReader(Record).U16(Offset + 0x14); }
std::span<const uint8_t> TAttrView::Value() const {
  return ByteReader(Record).Sub(size_t(Offset) + ValueOffset(), ValueLength());
}
int64_t TAttrView::StartVcn() const { return static_cast<int64_t>(ByteReader(Record).U64(Offset + 0x10)); }
int64_t TAttrView::LastVcn() const { return static_cast<int64_t>(ByteReader(Record).U64(Offset + 0x18)); }
std::span<const uint8_t> TAttrView::RunList() const {
  ByteReader r(Record);
  uint32_t start = r.U16(Offset + 0x20);
  uint32_t length = Length();
  if (start > length) return {};
  return r.Sub(size_t(Offset) + start, length - start);
}
uint64_t TAttrView::AllocatedSize() const { return ByteReader(Record).U64(Offset + 0x28); }
uint64_t TAttrView::DataSize() const { return ByteReader(Record).U64(Offset + 0x30); }
uint64_t TAttrView::InitializedSize() const { return ByteReader(Record).U64(Offset + 0x38); }
uint8_t TAttrView::CompressionUnit() const { return ByteReader(Record).U8(Offset + 0x22); }

bool IsValidAttribute(std::span<const uint8_t> record, uint32_t offset) {
  ByteReader r(record);
  if (!r.Has(offset, 16)) return false;
  uint32_t length = r.U32(offset + 4);
  if (length < 16 || !r.Has(offset, length)) return false;
  uint8_t nameLength = r.U8(offset + 9);
  uint16_t nameOffset = r.U16(offset + 10);
  if (nameLength != 0 && uint64_t(nameOffset) + 2u * nameLength > length) return false;
  if (r.U8(offset + 8) == 0) {
    if (length < kResidentHeader) return false;
    uint64_t valueEnd = uint64_t(r.U16(offset + 0x14)) + r.U32(offset + 0x10);
    return valueEnd <= length;
  }
  if (length < kNonResidentHeader) return false;
  uint16_t runs = r.U16(offset + 0x20);
  if (runs < kNonResidentHeader || runs > length) return false;
  int64_t first = static_cast<int64_t>(r.U64(offset + 0x10));
  int64_t last = static_cast<int64_t>(r.U64(offset + 0x18));
  // An empty non-resident value has last VCN = first VCN - 1.
  return first >= 0 && last >= first - 1;
}

bool NameEquals(std::span<const uint8_t> utf16le, std::u16string_view name) {
  if (utf16le.size() != 2 * name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (char16_t(utf16le[2 * i] | (utf16le[2 * i + 1] << 8)) != name[i]) return false;
  return true;
}

std::optional<TAttrView> FindAttributeInRecord(std::span<const uint8_t> record, uint32_t type, unsigned index,
                                               std::u16string_view name) {
  ByteReader r(record);
  uint64_t p = FirstAttributeOffset(record);
  unsigned seen = 0;
  while (p + 8 <= record.size()) {
    uint32_t t = r.U32(p);
    uint32_t length = r.U32(p + 4);
    if (t == AttrEnd || length == 0) break;
    TAttrView a{record, static_cast<uint32_t>(p)};
    bool valid = IsValidAttribute(record, a.Offset);
    if (t == type && (!valid || NameEquals(a.NameBytes(), name))) {
      if (seen == index) return valid ? std::optional<TAttrView>(a) : std::nullopt;
      ++seen;
    }
    if (!valid) break;
    p += length;
  }
  return std::nullopt;
}

uint64_t TFileNameView::ParentReference() const { return ByteReader(Value).U64(0x00); }
uint64_t TFileNameView::CreationTime() const { return ByteReader(Value).U64(0x08); }
uint64_t TFileNameView::ModificationTime() const { return ByteReader(Value).U64(0x10); }
uint64_t TFileNameView::DataSize() const { return ByteReader(Value).U64(0x30); }
uint32_t TFileNameView::Flags() const { return ByteReader(Value).U32(0x38); }
uint8_t TFileNameView::NameLength() const { return ByteReader(Value).U8(0x40); }
uint8_t TFileNameView::NameSpace() const { return ByteReader(Value).U8(0x41); }
std::span<const uint8_t> TFileNameView::NameBytes() const { return ByteReader(Value).Sub(0x42, 2u * NameLength()); }

std::string NameToUtf8(std::span<const uint8_t> utf16le, bool* lossy) { return Utf16LeToUtf8(utf16le, lossy); }

std::string RecordName(std::span<const uint8_t> utf16le, uint64_t recordNumber) {
  bool lossy = false;
  std::string name = NameToUtf8(utf16le, &lossy);
  return lossy ? TaggedName(name, "MFT " + std::to_string(recordNumber)) : name;
}

int NameSpaceRank(uint8_t nameSpace) {
  switch (nameSpace) {
    case NameWin32:
    case NameWin32AndDos: return 0;
    case NamePosix: return 1;
    default: return 2;
  }
}

std::optional<TFileNameView> FindFileNameInRecord(std::span<const uint8_t> record) {
  std::optional<TFileNameView> best;
  for (unsigned i = 0;; ++i) {
    auto a = FindAttributeInRecord(record, AttrFileName, i, u"");
    if (!a || a->NonResident()) break;
    TFileNameView n{a->Value()};
    if (!n.Valid()) continue;
    if (!best || NameSpaceRank(n.NameSpace()) < NameSpaceRank(best->NameSpace())) best = n;
    if (NameSpaceRank(n.NameSpace()) == 0) break;
  }
  return best;
}

}  // namespace salvex::ntfs
