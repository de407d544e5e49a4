#include "support/SleuthKit.h"

#include <sstream>

namespace salvex::test {

std::vector<FlsEntry> ParseFls(const std::string& out) {
  std::vector<FlsEntry> entries;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    auto tab = line.find('\t');
    if (tab == std::string::npos || tab < 4) continue;
    const std::string head = line.substr(0, tab);
    FlsEntry e;
    e.NameType = head[0];
    e.MetaType = head[2];
    e.Path = line.substr(tab + 1);
    e.Deleted = head.find(" * ") != std::string::npos;
    e.Reallocated = head.find("realloc") != std::string::npos;
    size_t p = head.find(' ');
    while (p < head.size() && (head[p] == ' ' || head[p] == '*')) ++p;
    if (p >= head.size() || head[p] < '0' || head[p] > '9') continue;
    e.Inode = std::stoull(head.substr(p));
    e.Address = head.substr(p, head.find_first_not_of("0123456789-", p) - p);
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace salvex::test
