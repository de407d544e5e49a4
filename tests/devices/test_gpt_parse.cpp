// The GPT header and entry parsers on inline bytes, each rule broken in turn.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>

#include "common/ByteReader.h"
#include "devices/GPT.h"

namespace salvex::test {
namespace {

// A valid header at LBA 1 of a 1000-sector disk: 128 entries of 128 bytes at LBA 2.
std::vector<uint8_t> Header(const std::function<void(std::vector<uint8_t>&)>& change = {}) {
  std::vector<uint8_t> h(512, 0);
  std::memcpy(h.data(), "EFI PART", 8);
  PutU32(&h[8], 0x00010000);
  PutU32(&h[12], 92);
  PutU32(&h[24], 1);
  PutU32(&h[32], 999);
  PutU32(&h[40], 34);
  PutU32(&h[48], 966);
  PutU32(&h[72], 2);
  PutU32(&h[80], 128);
  PutU32(&h[84], 128);
  if (change) change(h);
  uint32_t size = h[12] | (h[13] << 8);
  PutU32(&h[16], 0);
  PutU32(&h[16], uint32_t(crc32(0, h.data(), uInt(std::min<uint32_t>(size, 512)))));
  return h;
}

TEST(GptParse, HeaderRules) {
  struct Case {
    const char* What;
    std::function<void(std::vector<uint8_t>&)> Change;
    const char* Why;  // nullptr: accepted
  };
  const Case cases[] = {
      {"valid", {}, nullptr},
      {"signature", [](auto& h) { h[0] = 'X'; }, "no GPT signature"},
      {"short header", [](auto& h) { PutU32(&h[12], 91); }, "implausible header size 91"},
      {"header past the sector", [](auto& h) { PutU32(&h[12], 513); }, "implausible header size 513"},
      {"own LBA", [](auto& h) { PutU32(&h[24], 2); }, "header names LBA 2 as its own"},
      {"small entries", [](auto& h) { PutU32(&h[84], 64); }, "implausible entry array (128 entries of 64 bytes)"},
      {"huge array", [](auto& h) { PutU32(&h[80], 0x40000000); }, "implausible entry array (1073741824 entries of 128 bytes)"},
      {"over 128 KiB", [](auto& h) { PutU32(&h[80], 1025); }, "implausible entry array (1025 entries of 128 bytes)"},
      {"array past the disk", [](auto& h) { PutU32(&h[72], 990); }, "entry array outside the disk"},
      {"array at LBA 0", [](auto& h) { PutU32(&h[72], 0); }, "entry array outside the disk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TGPTHeader h;
    std::string why;
    std::vector<uint8_t> bytes = Header(c.Change);
    EXPECT_EQ(ParseGPTHeader(bytes, 1, 1000, h, why), c.Why == nullptr);
    EXPECT_EQ(why, c.Why ? c.Why : "");
  }
  std::vector<uint8_t> bytes = Header();
  bytes[100] ^= 1;  // outside the 92 bytes the checksum covers: still valid
  TGPTHeader h;
  std::string why;
  EXPECT_TRUE(ParseGPTHeader(bytes, 1, 1000, h, why));
  bytes[60] ^= 1;
  EXPECT_FALSE(ParseGPTHeader(bytes, 1, 1000, h, why));
  EXPECT_EQ(why, "header checksum mismatch");
}

TEST(GptParse, EntriesNamesAndChecksum) {
  uint8_t check[] = "123456789";
  EXPECT_EQ(Crc32({check, 9}), 0xCBF43926u);
  TGPTHeader header;
  header.EntryCount = 3;
  header.EntrySize = 128;
  std::vector<uint8_t> array(3 * 128, 0);
  // Entry 0 unused; entry 1 "Daten-Ä𝄞" (a surrogate pair) then a lone surrogate; entry 2 a 36-unit name.
  uint8_t* e = &array[128];
  e[0] = 0xA2, e[1] = 0xA0, e[2] = 0xD0, e[3] = 0xEB;  // basic data, first group little-endian
  e[4] = 0xE5, e[5] = 0xB9, e[6] = 0x33, e[7] = 0x44, e[8] = 0x87, e[9] = 0xC0;
  e[10] = 0x68, e[11] = 0xB6, e[12] = 0xB7, e[13] = 0x26, e[14] = 0x99, e[15] = 0xC7;
  PutU32(e + 32, 2048);
  PutU32(e + 40, 4095);
  const uint16_t name[] = {'D', 'a', 't', 'e', 'n', '-', 0xC4, 0xD834, 0xDD1E, 0xDC00};
  for (size_t i = 0; i < std::size(name); ++i) PutU16(e + 56 + 2 * i, name[i]);
  uint8_t* f = &array[256];
  f[0] = 1;
  for (size_t i = 0; i < 36; ++i) PutU16(f + 56 + 2 * i, uint16_t('a' + i % 26));
  auto entries = ParseGPTEntries(array, header);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Index, 1u);
  EXPECT_EQ(entries[0].Name, "Daten-\xC3\x84\xF0\x9D\x84\x9E\xEF\xBF\xBD");
  EXPECT_EQ(GPTTypeName(entries[0].TypeGuid), "basic data");
  EXPECT_EQ(GuidText(entries[0].TypeGuid), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_TRUE(GPTTypeMayHoldVolume(entries[0].TypeGuid));
  EXPECT_EQ(entries[0].FirstLBA, 2048u);
  EXPECT_EQ(entries[0].LastLBA, 4095u);
  EXPECT_EQ(entries[1].Name.size(), 36u);
  EXPECT_EQ(GPTTypeName(entries[1].TypeGuid), "");
  EXPECT_FALSE(GPTTypeMayHoldVolume(entries[1].TypeGuid));
  // An array shorter than the header says yields what it holds.
  header.EntryCount = 100;
  EXPECT_EQ(ParseGPTEntries(array, header).size(), 2u);
}

}  // namespace
}  // namespace salvex::test
