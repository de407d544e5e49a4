#include "common/Options.h"

namespace salvex {

TOptions& Options() {
  static TOptions options;
  return options;
}

std::string DisplayName(std::string_view name, const TOptions& options) {
  std::string shown(name);
  const size_t marker = shown.find("\xC3\xA5");
  if (marker == std::string::npos) return shown;
  const std::string& replacement =
      options.DeletedUseMultiByte ? options.DeletedCharMultibyte : options.DeletedCharAnsi;
  shown.replace(marker, 2, replacement);
  return shown;
}

std::string DisplayName(std::string_view name) { return DisplayName(name, Options()); }

}  // namespace salvex
