#include "ntfs/LostRecord.h"

#include <vector>

#include "common/ByteReader.h"
#include "ntfs/MFTRecord.h"

namespace salvex {

using namespace ntfs;

bool ParseNTFSLostRecord(std::span<const uint8_t> buffer, size_t maxNameChars, std::string& name, uint32_t& size,
                         uint32_t& offset) {
  if (!IsValidRecord(buffer)) return false;
  // The record's own length (allocated size) when it is sensible, else the whole buffer.
  ByteReader header(buffer);
  uint64_t length = header.U32(0x1C);
  if (length < 512 || length > buffer.size()) length = buffer.size();
  std::vector<uint8_t> record(buffer.begin(), buffer.begin() + length);
  ApplyFixup(record);
  if (!IsValidRecord(record)) return false;
  auto fileName = FindFileNameInRecord(record);
  if (!fileName || !fileName->Valid()) return false;
  auto data = FindAttributeInRecord(record, AttrData, 0, u"");
  if (!data || data->NonResident()) return false;
  std::span<const uint8_t> chars = fileName->NameBytes();
  if (chars.size() > 2 * maxNameChars) chars = chars.first(2 * maxNameChars);
  std::string text = NameToUtf8(chars);
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  name = text;
  size = data->ValueLength();
  offset = data->Offset + data->ValueOffset();
  return true;
}

}  // namespace salvex
