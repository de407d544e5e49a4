#include "common/Helpers.h"

#include <cstdio>
#include <cstdlib>

#include "common/Unicode.h"

namespace salvex {

std::string ShortenPath(std::string_view path, size_t maximum) {
  if (path.size() <= maximum) return std::string(path);
  auto isSep = [](char c) { return c == '\\' || c == '/'; };
  size_t first = std::string_view::npos;
  for (size_t i = 0; i < path.size(); ++i)
    if (isSep(path[i])) {
      first = i;
      break;
    }
  if (first == std::string_view::npos) return std::string(path);
  std::string proposal;
  bool any = false;
  // Each later separator (the last character excluded) proposes head + "..." + tail.
  for (size_t q = first + 1; q + 1 < path.size(); ++q) {
    if (!isSep(path[q])) continue;
    proposal = std::string(path.substr(0, first + 1)) + "..." + std::string(path.substr(q));
    any = true;
    if (proposal.size() <= maximum) return proposal;
  }
  return any ? proposal : std::string(path);
}

std::string DosDateTimeText(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u.%02u.%02u %02u:%02u", unsigned(date & 0x1F), unsigned((date >> 5) & 0x0F),
                unsigned((date >> 9) + 1980), unsigned(time >> 11), unsigned((time >> 5) & 0x3F));
  return buf;
}

bool MatchMask(std::string_view textUtf8, std::string_view maskUtf8, char one, bool caseSensitive, char any) {
  // On code points, so that "?" stands for one character of any script.
  auto decode = [&](std::string_view in) {
    std::u32string out;
    for (size_t p = 0; p < in.size();) {
      const char32_t c = NextCodePoint(in, p);
      out += caseSensitive ? c : FoldCase(c);
    }
    return out;
  };
  const std::u32string text = decode(textUtf8), mask = decode(maskUtf8);
  const char32_t oneCp = static_cast<unsigned char>(one), anyCp = static_cast<unsigned char>(any);
  auto same = [&](char32_t m, char32_t t) { return m == oneCp || m == t; };
  size_t i = 0, j = 0;
  size_t starMask = std::u32string::npos, starText = 0;
  while (j < text.size()) {
    if (i < mask.size() && mask[i] == anyCp) {
      starMask = ++i;
      starText = j;
    } else if (i < mask.size() && same(mask[i], text[j])) {
      ++i;
      ++j;
    } else if (starMask != std::u32string::npos) {
      i = starMask;
      j = ++starText;
    } else {
      return false;
    }
  }
  while (i < mask.size() && mask[i] == anyCp) ++i;
  return i == mask.size();
}

std::string SizeText(uint64_t sectors) {
  double mb = static_cast<double>(sectors) / 2048.0;
  char buf[64];
  if (mb >= 1000)
    std::snprintf(buf, sizeof buf, "%.2f GB", mb / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%.2f MB", mb);
  return buf;
}

std::optional<timespec> DosToTimespec(uint16_t date, uint16_t time) {
  if (date == 0 && time == 0) return std::nullopt;
  std::tm tm{};
  tm.tm_year = 80 + (date >> 9);
  tm.tm_mon = ((date >> 5) & 0x0F) - 1;
  tm.tm_mday = date & 0x1F;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday == 0) return std::nullopt;
  const time_t t = std::mktime(&tm);
  if (t == time_t(-1)) return std::nullopt;
  return timespec{t, 0};
}

void ReadTimeZoneOnce() {
  if (!std::getenv("TZ")) setenv("TZ", ":/etc/localtime", 0);
  tzset();
}

std::optional<timespec> FileTimeToTimespec(uint64_t fileTime) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  if (fileTime < kUnixEpoch) return std::nullopt;
  const uint64_t t = fileTime - kUnixEpoch;
  return timespec{static_cast<time_t>(t / 10000000ull), static_cast<long>((t % 10000000ull) * 100)};
}

}  // namespace salvex
