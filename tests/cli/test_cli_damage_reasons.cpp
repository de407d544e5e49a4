// The command line on real volumes damaged in one field: each failure names the structure, the
// field and the value found there, where the core used to say only "could not be mounted" or
// nothing at all.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/ByteReader.h"
#include "support/Cli.h"
#include "support/Fixtures.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Load(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The byte offset of the first mapping pair of the non-resident $DATA of the MFT record that names
// `name` (ASCII) in its $FILE_NAME; 0 when there is none.
size_t DataRunListOf(const std::vector<uint8_t>& image, const std::string& name) {
  std::u16string wide(name.begin(), name.end());
  for (size_t rec = 0; rec + 1024 <= image.size(); rec += 1024) {
    if (std::memcmp(&image[rec], "FILE", 4) != 0) continue;
    ByteReader r(&image[rec], 1024);
    bool named = false;
    for (size_t p = r.U16(0x14); p + 16 < 1024 && r.U32(p) != 0xFFFFFFFF && r.U32(p + 4) >= 16; p += r.U32(p + 4)) {
      const uint32_t type = r.U32(p);
      if (type == 0x30) {
        const size_t value = p + r.U16(p + 0x14);
        named = r.U8(value + 0x40) == wide.size() &&
                std::memcmp(&image[rec + value + 0x42], wide.data(), wide.size() * 2) == 0;
      } else if (type == 0x80 && named && r.U8(p + 8) == 1) {
        return rec + p + r.U16(p + 0x20);
      }
    }
  }
  return 0;
}

struct CliDamageReasons : TempFolderTest {};

TEST_F(CliDamageReasons, EachFailureNamesTheStructureAndTheValue) {
  struct Case {
    const char* what;
    const char* fixture;
    std::function<void(std::vector<uint8_t>&)> damage;
    std::vector<std::string> command;  // after the image
    int exitCode;
    const char* reason;  // on stderr
  } cases[] = {
      {"NTFS boot sector", "ntfs.img.gz", [](std::vector<uint8_t>& b) { b[0x0D] = 3; }, {"ls"}, 1,
       "NTFS boot sector: sectors per cluster (offset 0x0D) 3 is not a power of two"},
      {"NTFS run list", "ntfs.img.gz",
       [](std::vector<uint8_t>& b) {
         const size_t at = DataRunListOf(b, "nonresident.bin");
         ASSERT_NE(at, 0u);
         b[at] = 0x09;  // nine length bytes
       },
       {"save", "--to", (dir / "out").string(), "/nonresident.bin"}, 1,
       "nonresident.bin: the $DATA run list: entry at byte 0: header 0x09 gives 9 length and 0 offset bytes"},
      {"NTFS run list, cat", "ntfs.img.gz",
       [](std::vector<uint8_t>& b) {
         const size_t at = DataRunListOf(b, "nonresident.bin");
         ASSERT_NE(at, 0u);
         b[at] = 0x09;
       },
       {"cat", "/nonresident.bin"}, 1,
       "/nonresident.bin': the $DATA run list: entry at byte 0: header 0x09 gives 9 length and 0 offset bytes"},
      {"FAT32 root cluster", "fat32.img.gz",
       [](std::vector<uint8_t>& b) {
         b[0x2C] = 0x40;  // cluster 0x00FFFF40, far past the volume's last
         b[0x2D] = 0xFF;
         b[0x2E] = 0xFF;
         b[0x2F] = 0x00;
       },
       {"ls"}, 0, "FAT boot sector: root folder cluster (offset 0x2C) 16777024 lies outside the volume's clusters 2.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = Load(UnpackedImage(c.fixture));
    ASSERT_FALSE(bytes.empty());
    c.damage(bytes);
    if (HasFatalFailure()) return;
    const fs::path image = dir / "damaged.img";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    std::vector<std::string> args{SALVEX_CLI_PATH, c.command.front(), image.string()};
    args.insert(args.end(), c.command.begin() + 1, c.command.end());
    const CommandResult r = RunCommand(args);
    EXPECT_EQ(r.ExitCode, c.exitCode) << r.Err;
    EXPECT_NE(r.Err.find(c.reason), std::string::npos) << r.Err;
  }
}

}  // namespace
}  // namespace salvex::test
