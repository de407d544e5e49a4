#include "recovery/SaveNames.h"

#include <sys/vfs.h>

#include "common/Format.h"
#include "common/StringTable.h"
#include "common/TerminalText.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Where the extension begins (its dot), or the name's end when it has none worth keeping: a dot
// at the start names a hidden file, and a long tail after a dot is no extension.
size_t ExtensionStart(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 32) return name.size();
  return dot;
}

// `text` cut to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string CutAt(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// stem + tag + extension within kMaxNameBytes, the stem giving way first.
std::string Join(const std::string& name, const std::string& tag) {
  const size_t ext = ExtensionStart(name);
  std::string extension = name.substr(ext);
  if (extension.size() + tag.size() >= kMaxNameBytes) extension.clear();
  const std::string stem = CutAt(name.substr(0, ext), kMaxNameBytes - tag.size() - extension.size());
  return stem + tag + extension;
}

std::optional<TColonRule> forcedColonRule;

}  // namespace

std::string SafeSaveName(const std::string& shownName, TColonRule colons) {
  // Control characters (a terminal escape in a name) would make every later listing of the
  // target act on the terminal.
  std::string name = WithoutControls(shownName);
  const bool replaceColons = colons == TColonRule::Replace;
  for (char& c : name)
    if (c == '/' || c == '\0' || (c == ':' && replaceColons)) c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

TColonRule ColonRuleOf(int folderFd) {
  if (forcedColonRule) return *forcedColonRule;
  struct statfs fs {};
  if (::fstatfs(folderFd, &fs) != 0) return TColonRule::Replace;
  // Only names the kernel's own POSIX file systems store as bytes; a FUSE file system (0x65735546)
  // may be NTFS or exFAT underneath, a network one may be served by Windows.
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x9123683E:  // btrfs
    case 0x58465342:  // xfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0xCA451A4E:  // bcachefs
    case 0x794C7630:  // overlayfs, whose upper layer must be one of these kinds
      return TColonRule::Keep;
    default:
      return TColonRule::Replace;
  }
}

void ForceColonRule(std::optional<TColonRule> rule) { forcedColonRule = rule; }

std::string FittedName(const std::string& name, uint64_t number) {
  if (name.size() <= kMaxNameBytes) return name;
  return Join(name, "~" + std::to_string(number));
}

std::string NumberedName(const std::string& name, unsigned n) { return Join(name, " (" + std::to_string(n) + ")"); }

std::string RenameReason(const std::string& shown, const std::string& safe, const std::string& wanted,
                         const std::string& name) {
  std::string why;
  if (safe.find(':') == std::string::npos && shown.find(':') != std::string::npos) why = LoadText(txt::NameHasColon);
  if (wanted != safe) why += (why.empty() ? "" : "; ") + TextF(txt::NameTooLong, {kMaxNameBytes});
  if (name != wanted) why += (why.empty() ? "" : "; ") + TextF(txt::NameTakenInSave, {wanted});
  return why.empty() ? why : TextF(txt::SavedUnderName, {why});
}

std::string TNameClaims::Claim(const std::string& name) {
  std::string candidate = name;
  for (unsigned n = 2; names_.count(candidate); ++n) candidate = NumberedName(name, n);
  names_.insert(candidate);
  return candidate;
}

}  // namespace salvex
