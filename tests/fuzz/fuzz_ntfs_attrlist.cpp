// Attribute lookup through attribute lists over an in-memory volume: the input replaces records
// 20 and 21 (a base record and its extension), then the volume looks up, reads, lists and walks them,
// named data streams too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/Debug.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSIndex.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"

namespace {
const std::vector<uint8_t>& BaseImage() {
  static std::vector<uint8_t> image = [] {
    salvex::test::NtfsImageBuilder b;
    b.AddDirectory(5, 5, u".", {{20, b.FileName(5, u"fuzzed", 1, true)}, {21, b.FileName(5, u"ext", 1, false)}});
    return b.Build();
  }();
  return image;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace salvex;
  using test::NtfsImageBuilder;
  if (size > 2 * NtfsImageBuilder::kRecord) return 0;
  std::vector<uint8_t> image = BaseImage();
  std::memcpy(image.data() + NtfsImageBuilder::kMFTLcn * NtfsImageBuilder::kCluster + 20 * NtfsImageBuilder::kRecord,
              data, size);
  test::TMemNTFSdrive drive(image);
  if (!drive.Mount(true)) return 0;
  std::vector<uint8_t> record;
  if (drive.ReadMFTRecord(20, record)) {
    for (uint32_t type : {0x30u, 0x80u, 0x90u, 0xA0u, 0xB0u}) {
      TNTFSAttribute a;
      if (drive.LoadAttribute(record, 20, type, type >= 0x90 ? u"$I30" : u"", a)) {
        uint8_t buffer[8192];
        drive.ReadAttributeBytes(a, 0, sizeof buffer, buffer);
        drive.ReadAttributeBytes(a, 5000, 100, buffer);
        drive.DataCondition(&a);
      }
    }
    drive.FindFileName(record, 20);
    for (const std::u16string& name : drive.Attributes().DataStreamNames(record)) {
      TNTFSAttribute a;
      uint8_t buffer[4096];
      if (drive.LoadAttribute(record, 20, 0x80, name, a)) drive.ReadAttributeBytes(a, 0, sizeof buffer, buffer);
    }
  }
  EnumerateIndex(drive, 20, [](uint64_t, std::span<const uint8_t>) { return true; });
  drive.Root()->Search([](TItem&) { return true; }, true);
  drive.DeletedFolder->Children.emplace();
  drive.FindDeleted(nullptr);
  return 0;
}
