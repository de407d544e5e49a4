#include "common/Error.h"

#include <cstring>

namespace salvex {

std::string TError::Text() const {
  if (What.empty()) return Why;
  if (Why.empty()) return What;
  return What + ": " + Why;
}

TError TError::FromErrno(TErrorKind kind, std::string what, int err) {
  TError e;
  e.Kind = kind;
  e.What = std::move(what);
  e.Why = std::strerror(err);
  e.Errno = err;
  return e;
}

TError TError::Corrupt(std::string what, std::string why) {
  TError e;
  e.Kind = TErrorKind::Corrupt;
  e.What = std::move(what);
  e.Why = std::move(why);
  return e;
}

}  // namespace salvex
