#include "ntfs/AttributeList.h"

#include "common/ByteReader.h"
#include "ntfs/MFTRecord.h"

namespace salvex::ntfs {

namespace {
constexpr size_t kFixedPart = 0x1A;
}  // namespace

std::vector<TAttrListEntry> ParseAttributeList(std::span<const uint8_t> list) {
  std::vector<TAttrListEntry> entries;
  ByteReader r(list);
  for (size_t p = 0; p + kFixedPart <= list.size();) {
    const uint16_t length = r.U16(p + 4);
    if (length < kFixedPart || !r.Has(p, length)) break;
    TAttrListEntry e;
    e.Type = r.U32(p);
    e.StartVcn = static_cast<int64_t>(r.U64(p + 8));
    e.Holder = RecordNumberOf(r.U64(p + 0x10));
    e.Name = r.Sub(p + r.U8(p + 7), 2u * r.U8(p + 6));
    if (r.Failed()) break;
    entries.push_back(e);
    p += length;
  }
  return entries;
}

}  // namespace salvex::ntfs
