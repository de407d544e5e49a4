#include "common/StringTable.h"

#include <algorithm>
#include <charconv>
#include <unordered_map>

#include "common/StringData.h"

namespace salvex {

int LanguageBase = 1000;

namespace {

// The language dialog lists the blocks in this order, whatever order the files come in.
constexpr int kListOrder[] = {19000, 21000, 1000, 9000, 5000, 3000, 7000, 17000, 13000, 11000};

// Identifiers of the string table are 16-bit.
constexpr int kMaxIdentifier = 65535;

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char next = s[i + 1];
    if (next == 'n') {
      out += '\n';
    } else if (next == 't') {
      out += '\t';
    } else if (next == '\\') {
      out += '\\';
    } else {
      // Not an escape: keep the backslash so that the text is not silently changed.
      out += '\\';
      continue;
    }
    ++i;
  }
  return out;
}

// A whole decimal number within [0, limit]; nullopt for anything else.
std::optional<int> ParseNumber(std::string_view s, int limit) {
  int value = 0;
  if (s.empty()) return std::nullopt;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || value < 0 || value > limit) {
    return std::nullopt;
  }
  return value;
}

struct Table {
  std::vector<LanguageInfo> Languages;
  std::unordered_map<int, std::string> Entries;
};

const Table& TheTable() {
  static const Table table = [] {
    Table t;
    std::vector<LanguageInfo> found;
    for (const StringFile& file : EmbeddedStringFiles()) {
      std::optional<StringFileContent> content = ParseStringFile(file.Text);
      if (!content) continue;
      // A block that would collide with one already loaded is ignored rather than mixed in.
      const bool taken = std::any_of(found.begin(), found.end(),
                                     [&](const LanguageInfo& l) { return l.Base == content->Base; });
      if (taken) continue;
      found.push_back({content->Name, content->Base, std::string(file.Stem)});
      if (!content->Credit.empty()) t.Entries.emplace(content->Base - 1, content->Credit);
      for (auto& [offset, text] : content->Entries) {
        if (content->Base + offset <= kMaxIdentifier) t.Entries.emplace(content->Base + offset, text);
      }
    }
    for (int base : kListOrder) {
      for (const LanguageInfo& l : found) {
        if (l.Base == base) t.Languages.push_back(l);
      }
    }
    // Blocks unknown to the dialog's order follow in ascending base order.
    std::sort(found.begin(), found.end(),
              [](const LanguageInfo& a, const LanguageInfo& b) { return a.Base < b.Base; });
    for (const LanguageInfo& l : found) {
      if (std::find(std::begin(kListOrder), std::end(kListOrder), l.Base) == std::end(kListOrder)) {
        t.Languages.push_back(l);
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

std::optional<StringFileContent> ParseStringFile(std::string_view text) {
  StringFileContent content;
  bool hasBase = false;
  // A UTF-8 byte order mark would otherwise hide the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '@') {
      const size_t space = line.find_first_of(" \t");
      const std::string_view key = line.substr(0, space);
      const std::string_view value =
          space == std::string_view::npos ? std::string_view() : TrimRight(TrimLeft(line.substr(space)));
      if (key == "@base") {
        // The credit entry sits at base - 1, so the base must be at least 1.
        std::optional<int> base = ParseNumber(value, kMaxIdentifier);
        if (base && *base >= 1) {
          content.Base = *base;
          hasBase = true;
        }
      } else if (key == "@name") {
        content.Name = Unescape(value);
      } else if (key == "@credit") {
        content.Credit = Unescape(value);
      }
      continue;
    }
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    std::optional<int> offset = ParseNumber(line.substr(0, tab), kMaxIdentifier);
    if (!offset) continue;
    content.Entries[*offset] = Unescape(line.substr(tab + 1));
  }
  if (!hasBase) return std::nullopt;
  return content;
}

const std::vector<LanguageInfo>& Languages() { return TheTable().Languages; }

std::string LoadTextAt(int id) {
  const auto& entries = TheTable().Entries;
  auto it = entries.find(id);
  return it == entries.end() ? std::string() : it->second;
}

std::string LoadText(int offset) { return LoadTextAt(LanguageBase + offset); }

}  // namespace salvex
