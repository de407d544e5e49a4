#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace salvex {

// What kind of thing went wrong, so that a front end can tell the user's mistake from a damaged
// disk from a full target.
enum class TErrorKind {
  NotThisFileSystem,  // the volume holds another file system or none
  Corrupt,            // a structure on the disk is damaged (which and why in the text)
  ReadError,          // the device could not deliver sectors
  TargetError,        // the folder saved into refused a file or folder
  NotFound,           // a path or volume the caller named does not exist
  BadArgument,        // the request itself is impossible (a range, a mask)
  Cancelled,
};

struct TError {
  TErrorKind Kind = TErrorKind::Corrupt;
  std::string What;  // the object: a path, a volume, a structure
  std::string Why;   // the reason; the system's text where errno gave one
  int Errno = 0;
  uint64_t Sector = 0;  // for read errors

  // "What: Why", or just one of them.
  std::string Text() const;
  // The failure of a system call on `what`, with strerror's text.
  static TError FromErrno(TErrorKind kind, std::string what, int err);
  // A damaged structure: `what` names it (and where it lies), `why` the field and its value.
  static TError Corrupt(std::string what, std::string why);
};

// A value or the error that prevented it.
template <class T>
class TResult {
 public:
  TResult(T value) : v_(std::move(value)) {}  // NOLINT: implicit on purpose
  TResult(TError error) : v_(std::move(error)) {}  // NOLINT
  bool Ok() const { return v_.index() == 0; }
  explicit operator bool() const { return Ok(); }
  T& Value() { return std::get<0>(v_); }
  const T& Value() const { return std::get<0>(v_); }
  const TError& Error() const { return std::get<1>(v_); }

 private:
  std::variant<T, TError> v_;
};

}  // namespace salvex
