// Compressed NTFS data: the first byte chooses the target. 0, 1 and 3 feed the rest to the LZNT1,
// XPRESS Huffman and LZX wrappers (a failed decode must leave its output all zeros); 2 replaces record 20
// of an in-memory volume with the next 1024 bytes and clusters 40 on with the rest, then reads the
// record's data through its decoder (compressed runs, WOF reparse data and chunk table).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ntfs/NTFSCompression.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"

namespace {
const std::vector<uint8_t>& BaseImage() {
  static std::vector<uint8_t> image = [] {
    salvex::test::NtfsImageBuilder b;
    return b.Build();
  }();
  return image;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  using test::NtfsImageBuilder;
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 4;
  std::span<const uint8_t> rest(data + 2, size - 2);
  if (mode != 2) {
    std::vector<uint8_t> out((size_t(data[1]) + 1) * (mode == 3 ? 128 : 256), 0xEE);
    bool ok = mode == 0   ? ntfs::DecompressLznt1(rest, out)
              : mode == 1 ? ntfs::DecompressXpressHuffman(rest, out)
                          : ntfs::DecompressLzx(rest, out);
    if (!ok && std::any_of(out.begin(), out.end(), [](uint8_t b) { return b != 0; })) abort();
    return 0;
  }
  constexpr uint64_t kRecordAt = NtfsImageBuilder::kMFTLcn * NtfsImageBuilder::kCluster + 20 * NtfsImageBuilder::kRecord;
  constexpr uint64_t kDataAt = 40 * NtfsImageBuilder::kCluster;
  std::vector<uint8_t> image = BaseImage();
  size_t record = std::min<size_t>(rest.size(), NtfsImageBuilder::kRecord);
  std::memcpy(image.data() + kRecordAt, rest.data(), record);
  size_t tail = std::min<size_t>(rest.size() - record, image.size() - kDataAt);
  std::memcpy(image.data() + kDataAt, rest.data() + record, tail);
  test::TMemNTFSdrive drive(image);
  if (!drive.Mount(true)) return 0;
  TNTFSDataPos pos;
  if (!drive.OpenDataPos(pos, 0, 20)) return 0;
  std::vector<uint8_t> buffer(65536);
  // Sizes are the record's; a bound keeps a crafted size from making the run long.
  for (uint64_t read = 0; read < (4u << 20); read += buffer.size()) {
    uint64_t n = 0;
    drive.ReadDataPos(pos, buffer.size(), n, buffer.data());
    if (n == 0) break;
  }
  if (pos.Size > 10) {
    drive.SeekDataPos(pos, pos.Size / 3);
    uint64_t n = 0;
    drive.ReadDataPos(pos, 10, n, buffer.data());
  }
  return 0;
}
