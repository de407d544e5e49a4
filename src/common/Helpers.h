#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace salvex {

// A path that does not fit `maximum` is shortened to "first component\...\tail".
// Separators are '\\' (listing paths) or '/'; both are accepted.
std::string ShortenPath(std::string_view path, size_t maximum);

// "dd.mm.yyyy hh:mm" from a DOS date and time.
std::string DosDateTimeText(uint16_t date, uint16_t time);

// The DOS date and time as the local time they were written in; none when they name no time.
std::optional<timespec> DosToTimespec(uint16_t date, uint16_t time);
// Makes the C library read the local time zone once for the run: with TZ unset it looks at
// /etc/localtime again on every local-time conversion, a file system call per file listed. Sets TZ
// to that same file, so the times do not change; called at the start of a program, before threads.
void ReadTimeZoneOnce();
// A FILETIME (100 ns since 1601, UTC); none before 1970.
std::optional<timespec> FileTimeToTimespec(uint64_t fileTime);

// Wildcard match on UTF-8 text: '?' one character, '*' any run; case-insensitive folds Latin, Greek
// and Cyrillic letters.
// Linear in practice (greedy with one backtrack point), so hostile names cannot make it explode.
bool MatchMask(std::string_view text, std::string_view mask, char one = '?', bool caseSensitive = false,
               char any = '*');

// Bit n in byte n / 8 at bit n % 8, least significant bit first. Out-of-range bits read as 0
// and are ignored on write.
class ByteBitmap {
 public:
  ByteBitmap() = default;
  explicit ByteBitmap(uint64_t bits) : bits_(bits), bytes_((bits + 7) / 8, 0) {}
  uint64_t Bits() const { return bits_; }
  bool Get(uint64_t n) const { return n < bits_ && (bytes_[n / 8] >> (n % 8)) & 1; }
  void Set(uint64_t n, bool value = true) {
    if (n >= bits_) return;
    if (value)
      bytes_[n / 8] |= uint8_t(1u << (n % 8));
    else
      bytes_[n / 8] &= uint8_t(~(1u << (n % 8)));
  }
  std::vector<uint8_t>& Bytes() { return bytes_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  uint64_t bits_ = 0;
  std::vector<uint8_t> bytes_;
};

// "976.56 MB" style size used by device names: sectors of 512 bytes, MB below 1000, else GB.
std::string SizeText(uint64_t sectors);

}  // namespace salvex
