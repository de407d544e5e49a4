#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace salvex {

// The longest name, in bytes, that Linux file systems take for one entry.
constexpr size_t kMaxNameBytes = 255;

// Whether saved names keep ':'. FAT, exFAT and NTFS targets (and SMB shares) refuse it, and it is
// in every NTFS stream's name ("report.doc:Zone.Identifier"); Linux file systems take it.
enum class TColonRule { Replace, Keep };

// The name a saved item gets on Linux: the shown name with control characters, "/", NUL and, by
// `colons`, ":" replaced, and "", "." and ".." prefixed with "_", so that it always names an entry
// of its own folder. It may still be too long (see FittedName).
std::string SafeSaveName(const std::string& shownName, TColonRule colons = TColonRule::Replace);

// Keep when the folder is on a file system known to take ':' (the usual Linux ones); Replace on
// any other, unknown and FUSE ones (ntfs-3g, exfat-fuse) included, and when it cannot be asked.
TColonRule ColonRuleOf(int folderFd);
// Makes ColonRuleOf answer `rule` whatever the folder (tests: the rule must not depend on the
// machine's /tmp); nullopt asks the folder again.
void ForceColonRule(std::optional<TColonRule> rule);

// `name` when it fits kMaxNameBytes; otherwise cut on a character boundary, keeping its extension,
// with "~<number>" before the extension so that two long names that start alike stay apart.
std::string FittedName(const std::string& name, uint64_t number);

// `name` with " (n)" before its extension ("report (2).doc"), within kMaxNameBytes.
std::string NumberedName(const std::string& name, unsigned n);

// Why an item shown as `shown` is saved as `name`, `safe` being its safe name and `wanted` that
// name short enough; empty when it is saved under its own name.
std::string RenameReason(const std::string& shown, const std::string& safe, const std::string& wanted,
                         const std::string& name);

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
