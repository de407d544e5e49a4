#pragma once
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace salvex {

// One argument of Format. Texts are borrowed: they must outlive the Format call, which holds
// for temporaries written in the argument list.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Real, Text };

  template <std::integral T>
  FormatArg(T value) : bits_(sizeof(T) * 8) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      signed_ = value;
    } else {
      kind_ = Kind::Unsigned;
      unsigned_ = value;
    }
  }
  FormatArg(double value) : kind_(Kind::Real), real_(value) {}  // NOLINT
  FormatArg(std::string_view text) : kind_(Kind::Text), text_(text) {}  // NOLINT
  FormatArg(const std::string& text) : kind_(Kind::Text), text_(text) {}  // NOLINT
  FormatArg(const char* text)  // NOLINT
      : kind_(Kind::Text), text_(text ? std::string_view(text) : std::string_view()) {}

  Kind GetKind() const { return kind_; }
  int64_t Signed() const { return signed_; }
  uint64_t Unsigned() const { return unsigned_; }
  double Real() const { return real_; }
  std::string_view Text() const { return text_; }
  // Width in bits of the integer type given, so that %u and %x of a negative value show its
  // two's complement in that width (-1 as int gives 4294967295).
  int Bits() const { return bits_; }

 private:
  Kind kind_ = Kind::Text;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double real_ = 0;
  std::string_view text_;
  int bits_ = 64;
};

// Fills a string-table text. Specifiers: %s, %d and %D (decimal), %u (unsigned decimal),
// %x / %X (hexadecimal), %f (fixed, two decimals unless a precision is given) and %%; each may
// carry the flags '-' and '0', a width and a precision ("%02u", "%.1f", "%-8s"). Arguments
// are taken in order. A specifier without an argument left, or one that is not understood,
// appears as written; an argument of another kind is converted (a number for %s is written in
// decimal, a text for %d is written as it is). Widths count UTF-8 characters, not bytes.
std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args = {});

// Format(LoadText(offset), args): the current language's text for offset, filled in.
std::string TextF(int offset, std::initializer_list<FormatArg> args = {});

}  // namespace salvex
