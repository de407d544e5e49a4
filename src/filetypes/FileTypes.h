#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace salvex {

// Continuation kinds reported by IdentifyFileType.
inline constexpr uint8_t kStartsNewFile = 1;
// A cluster of this type right after one of the same type continues that file (MPEG audio streams).
inline constexpr uint8_t kContinuesSameType = 2;

// Recognises the start of a known kind of file in one cluster by its content signature. Sets
// continuationKind to kStartsNewFile first; on a match stores the type name ("JPG", "DOC", ... "MP3")
// and, for MP3, kContinuesSameType, and returns true. Without a match typeName is left unchanged.
// Types of today that the older list lacks follow its fixed signatures: PDF of every version, MP4
// and MOV by their 'ftyp' box, 7Z, SQLITE, and MP3 files that start with an ID3v2 tag (kind
// kStartsNewFile: the tag begins a file).
// Reads nothing outside `cluster`, whatever its size.
bool IdentifyFileType(std::span<const uint8_t> cluster, std::string& typeName,
                      uint8_t& continuationKind);

// The length of the MPEG audio frame whose 4-byte header starts `header`, 0 when it is no valid header.
size_t MpegAudioFrameSize(std::span<const uint8_t> header);

// True when the buffer starts with the NTFS file record signature "FILE".
bool IsMFTRecord(std::span<const uint8_t> buffer);

// CRC-16 of MPEG audio frames: generator 0x8005, most significant bit first, no final inversion.
// Frames start it at 0xFFFF; pass a previous result to continue over a further range.
uint16_t MpegAudioCrc16(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF);

}  // namespace salvex
