#include "common/Options.h"

namespace salvex {

TOptions& Options() {
  static TOptions options;
  return options;
}

std::string DisplayName(std::string_view name, const TOptions& options) {
  if (!name.starts_with(kDeletedMarker)) return std::string(name);
  const std::string& replacement =
      options.DeletedUseMultiByte ? options.DeletedCharMultibyte : options.DeletedCharAnsi;
  return replacement + std::string(name.substr(kDeletedMarker.size()));
}

std::string DisplayName(std::string_view name) { return DisplayName(name, Options()); }

}  // namespace salvex
