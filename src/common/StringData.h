#pragma once
#include <string_view>
#include <vector>

namespace salvex {

// One embedded string-table file: the language's file stem ("en", "de", ...) and its UTF-8 text.
struct StringFile {
  std::string_view Stem;
  std::string_view Text;
};

const std::vector<StringFile>& EmbeddedStringFiles();

}  // namespace salvex
