#include "recovery/Error.h"

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

}  // namespace salvex
