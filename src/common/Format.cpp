#include "common/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "common/StringTable.h"

namespace salvex {

namespace {

// Widths and precisions come from translators' texts; a typo must not allocate gigabytes.
constexpr int kMaxWidth = 256;

struct Spec {
  bool leftAlign = false;
  bool zeroPad = false;
  int width = 0;
  int precision = -1;
  char conversion = 0;
};

size_t Utf8Length(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

// Cuts s to at most max characters without splitting a UTF-8 sequence.
std::string_view Utf8Prefix(std::string_view s, size_t max) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == max) return s.substr(0, i);
      ++chars;
    }
  }
  return s;
}

std::string Decimal(int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string UnsignedText(uint64_t v, int base, bool upper) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v, base);
  std::string s(buf, r.ptr);
  if (upper) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return s;
}

// Locale-independent on purpose: the GUI sets the C locale from the environment, and texts
// must not change their decimal point with it.
std::string Fixed(double v, int precision) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
  if (r.ec != std::errc()) return "?";
  return std::string(buf, r.ptr);
}

// The value of an integer argument as an unsigned number of its own width.
uint64_t AsUnsigned(const FormatArg& a) {
  if (a.GetKind() == FormatArg::Kind::Unsigned) return a.Unsigned();
  uint64_t v = static_cast<uint64_t>(a.Signed());
  if (a.Bits() < 64) v &= (uint64_t(1) << a.Bits()) - 1;
  return v;
}

// A double as an integer for %d/%u/%x: rounded, clamped to the 64-bit range.
int64_t RealToInteger(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return std::llround(v);
}

std::string Convert(const Spec& spec, const FormatArg& a) {
  using K = FormatArg::Kind;
  switch (spec.conversion) {
    case 'd':
    case 'D':
      if (a.GetKind() == K::Signed) return Decimal(a.Signed());
      if (a.GetKind() == K::Unsigned) return UnsignedText(a.Unsigned(), 10, false);
      if (a.GetKind() == K::Real) return Decimal(RealToInteger(a.Real()));
      return std::string(a.Text());
    case 'u':
    case 'x':
    case 'X': {
      const int base = spec.conversion == 'u' ? 10 : 16;
      const bool upper = spec.conversion == 'X';
      if (a.GetKind() == K::Text) return std::string(a.Text());
      if (a.GetKind() == K::Real) {
        return UnsignedText(static_cast<uint64_t>(RealToInteger(a.Real())), base, upper);
      }
      return UnsignedText(AsUnsigned(a), base, upper);
    }
    case 'f': {
      const int precision = spec.precision < 0 ? 2 : std::min(spec.precision, 50);
      if (a.GetKind() == K::Real) return Fixed(a.Real(), precision);
      if (a.GetKind() == K::Signed) return Fixed(static_cast<double>(a.Signed()), precision);
      if (a.GetKind() == K::Unsigned) return Fixed(static_cast<double>(a.Unsigned()), precision);
      return std::string(a.Text());
    }
    case 's':
    default: {
      if (a.GetKind() == K::Signed) return Decimal(a.Signed());
      if (a.GetKind() == K::Unsigned) return UnsignedText(a.Unsigned(), 10, false);
      if (a.GetKind() == K::Real) return Fixed(a.Real(), 2);
      std::string_view t = a.Text();
      if (spec.precision >= 0) t = Utf8Prefix(t, static_cast<size_t>(spec.precision));
      return std::string(t);
    }
  }
}

void Pad(std::string& out, std::string value, const Spec& spec, bool numeric) {
  const size_t length = Utf8Length(value);
  const size_t width = static_cast<size_t>(spec.width);
  if (length >= width) {
    out += value;
    return;
  }
  const size_t fill = width - length;
  if (spec.leftAlign) {
    out += value;
    out.append(fill, ' ');
  } else if (spec.zeroPad && numeric) {
    // Zeros go between the sign and the digits: -0005, not 000-5.
    size_t signLength = (!value.empty() && value[0] == '-') ? 1 : 0;
    out.append(value, 0, signLength);
    out.append(fill, '0');
    out.append(value, signLength, std::string::npos);
  } else {
    out.append(fill, ' ');
    out += value;
  }
}

bool IsNumericResult(const Spec& spec, const FormatArg& a) {
  if (a.GetKind() == FormatArg::Kind::Text) return false;
  return spec.conversion != 's';
}

}  // namespace

std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  const FormatArg* next = args.begin();
  size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    Spec spec;
    while (i < fmt.size() && (fmt[i] == '-' || fmt[i] == '0')) {
      if (fmt[i] == '-') spec.leftAlign = true;
      if (fmt[i] == '0') spec.zeroPad = true;
      ++i;
    }
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      spec.width = std::min(spec.width * 10 + (fmt[i] - '0'), kMaxWidth);
      ++i;
    }
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      spec.precision = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        spec.precision = std::min(spec.precision * 10 + (fmt[i] - '0'), kMaxWidth);
        ++i;
      }
    }
    const char conv = i < fmt.size() ? fmt[i] : '\0';
    const bool known = conv == 's' || conv == 'd' || conv == 'D' || conv == 'u' || conv == 'x' ||
                       conv == 'X' || conv == 'f';
    if (!known) {
      // Not a specifier we understand (or a lone '%' at the end): keep the text as written.
      out.append(fmt.substr(start, i - start));
      continue;
    }
    ++i;
    if (next == args.end()) {
      out.append(fmt.substr(start, i - start));
      continue;
    }
    spec.conversion = conv;
    const FormatArg& arg = *next++;
    Pad(out, Convert(spec, arg), spec, IsNumericResult(spec, arg));
  }
  return out;
}

std::string TextF(int offset, std::initializer_list<FormatArg> args) {
  return Format(LoadText(offset), args);
}

}  // namespace salvex
