// One MFT record: update sequence fix-up, the record checks, attribute iteration and lookup,
// $FILE_NAME choice and run lists of non-resident attributes; the lost-data search's check of a
// record found outside the $MFT, over the input as a block at every 512-byte step.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/FoundMFT.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/RunList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex::ntfs;
  if (size > 4096) return 0;
  std::vector<uint8_t> record(data, data + size);
  for (uint32_t recordSize : {512u, 1024u, 4096u}) {
    salvex::ParseFoundRecord(record, recordSize, 0);
    salvex::TFoundMFT found(recordSize, {{512, 1024}});
    found.Examine(record, 0, record.size(), 512);
    found.Finish();
  }
  ApplyFixup(record);
  IsValidRecord(record);
  RecordFlags(record);
  ForEachAttribute(record, [&](const TAttrView& a) {
    a.NameBytes();
    if (a.NonResident()) {
      DecodeRunList(a.RunList(), a.StartVcn());
      a.DataSize();
    } else {
      auto v = a.Value();
      if (a.Type() == AttrFileName) {
        TFileNameView n{v};
        if (n.Valid()) NameToUtf8(n.NameBytes());
      }
    }
    return true;
  });
  for (uint32_t type : {0x10u, 0x20u, 0x30u, 0x80u, 0x90u, 0xA0u, 0xB0u})
    for (unsigned i = 0; i < 3; ++i) {
      FindAttributeInRecord(record, type, i, u"");
      FindAttributeInRecord(record, type, i, u"$I30");
    }
  if (auto n = FindFileNameInRecord(record)) NameToUtf8(n->NameBytes());
  return 0;
}
