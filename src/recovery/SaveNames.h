#pragma once
#include <cstdint>
#include <set>
#include <string>

namespace salvex {

// The longest name, in bytes, that Linux file systems take for one entry.
constexpr size_t kMaxNameBytes = 255;

// The name a saved item gets on Linux: the shown name with control characters, "/", NUL and ":"
// (refused by the FAT, exFAT and NTFS targets users save to) replaced, and "", "." and ".." prefixed with "_", so that it always names an entry of its own
// folder. It may still be too long (see FittedName).
std::string SafeSaveName(const std::string& shownName);

// `name` when it fits kMaxNameBytes; otherwise cut on a character boundary, keeping its extension,
// with "~<number>" before the extension so that two long names that start alike stay apart.
std::string FittedName(const std::string& name, uint64_t number);

// `name` with " (n)" before its extension ("report (2).doc"), within kMaxNameBytes.
std::string NumberedName(const std::string& name, unsigned n);

// Why an item whose safe name is `safe` is saved as `name`, `wanted` being `safe` short enough;
// empty when it is saved under its own name.
std::string RenameReason(const std::string& safe, const std::string& wanted, const std::string& name);

// The names one save has given in one folder: an item that meets a name the save already gave
// there gets the next free "name (n).ext", so that no item of a save replaces or drops another.
// Names are compared as bytes; a target that folds letter case is caught when its rename refuses.
class TNameClaims {
 public:
  // `name` when this save has not given it in the folder, else the first free numbered form; the
  // returned name is claimed.
  std::string Claim(const std::string& name);
  bool Claimed(const std::string& name) const { return names_.count(name) > 0; }
  // Gives back a name no file was saved under after all.
  void Release(const std::string& name) { names_.erase(name); }

 private:
  std::set<std::string> names_;
};

}  // namespace salvex
