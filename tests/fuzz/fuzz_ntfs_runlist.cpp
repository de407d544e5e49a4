// Run-list decoding and VCN lookup on arbitrary mapping-pairs bytes.
#include <cstddef>
#include <cstdint>

#include "ntfs/RunList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex::ntfs;
  if (size == 0) return 0;
  int64_t start = data[0] & 0x0F;
  auto runs = DecodeRunList({data + 1, size - 1}, start).Runs;
  TRunHit hit;
  for (const TRun& r : runs) {
    FindRun(runs, r.Vcn, hit);
    FindRun(runs, r.Vcn + int64_t(r.Length) - 1, hit);
    FindRun(runs, r.Vcn + int64_t(r.Length), hit);
  }
  FindRun(runs, -1, hit);
  return 0;
}
