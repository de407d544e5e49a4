#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace salvex {

// Base of the chosen language's block: every user-visible text is entry LanguageBase + offset.
// 1000 (English) until the language dialog has run; set once per run.
extern int LanguageBase;

struct LanguageInfo {
  std::string Name;  // text of the language list ("English", "German", ..., "simplified")
  int Base;          // first identifier of the block; Base - 1 holds the credit line
  std::string Stem;  // file stem of the embedded table ("en", "de", ...)
};

// The languages in the order of the language dialog's list.
const std::vector<LanguageInfo>& Languages();

// Entry LanguageBase + offset as UTF-8; "" when absent.
std::string LoadText(int offset);

// Entry by absolute identifier (base + offset); "" when absent.
std::string LoadTextAt(int id);

// One language file as written in src/common/strings: '#' comment lines, "@base <N>",
// "@name <text>", "@credit <text>", then "<offset><TAB><text>" lines with the escapes
// \n, \t and \\. Entries are keyed by offset (the credit line is not among them).
struct StringFileContent {
  int Base = 0;
  std::string Name;
  std::string Credit;
  std::map<int, std::string> Entries;
};

// Lines that cannot be understood are skipped; nullopt when the file has no valid @base.
std::optional<StringFileContent> ParseStringFile(std::string_view text);

}  // namespace salvex
