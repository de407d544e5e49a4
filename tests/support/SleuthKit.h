#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace salvex::test {

// One line of `fls -p` output ("r/r * 45(realloc):\tDocs/a.txt").
struct FlsEntry {
  char NameType = '-';  // type from the directory entry: r, d, v (virtual: $MBR, $FAT1, ...)
  char MetaType = '-';  // type from the metadata (inode or MFT record)
  bool Deleted = false;
  bool Reallocated = false;
  uint64_t Inode = 0;
  std::string Address;  // as icat takes it: "64" or, for one attribute of the record, "64-128-4"
  std::string Path;
  bool Virtual() const { return NameType == 'v' || NameType == 'V'; }
};

std::vector<FlsEntry> ParseFls(const std::string& out);

}  // namespace salvex::test
