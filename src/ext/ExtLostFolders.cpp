#include "ext/ExtLostFolders.h"

#include "common/ByteReader.h"
#include "common/Format.h"
#include "ext/ExtDirectory.h"
#include "ext/Extdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

struct TEntryReader {
  const ByteReader& R;
  size_t Size;
  bool Typed;

  size_t RecLen(size_t off) const {
    const uint32_t v = R.U16(off + 4);
    if (Size >= 65536 && (v == 65535 || v == 0)) return 65536;
    return (v & 0xFFFC) | ((v & 3) << 16);
  }
  size_t NameLen(size_t off) const { return Typed ? R.U8(off + 6) : R.U16(off + 6); }
  bool NameIs(size_t off, const char* name, size_t n) const {
    if (NameLen(off) != n) return false;
    for (size_t i = 0; i < n; ++i)
      if (R.U8(off + 8 + i) != uint8_t(name[i])) return false;
    return true;
  }
  bool NameValid(size_t off) const {
    const size_t n = NameLen(off);
    if (n == 0 || off + 8 + n > Size) return false;
    for (size_t i = 0; i < n; ++i)
      if (const uint8_t c = R.U8(off + 8 + i); c == 0 || c == '/') return false;
    return true;
  }
};

// The entries from `from` on hold their names, name inodes of the volume and end exactly at the
// block's end (the checksum tail is an entry of this shape too).
bool ChainsToEnd(const TEntryReader& e, size_t from, const TExtSuperblock& sb) {
  size_t off = from;
  while (off < e.Size) {
    if (off + 8 > e.Size) return false;
    const size_t len = e.RecLen(off), nl = e.NameLen(off);
    if (len < 8 || len % 4 || len > e.Size - off || 8 + nl > len) return false;
    const uint32_t ino = e.R.U32(off);
    if (ino > sb.InodesCount || (e.Typed && e.R.U8(off + 7) > 7 && e.R.U8(off + 7) != 0xDE)) return false;
    if (ino != 0 && !e.NameValid(off)) return false;
    off += len;
  }
  return off == e.Size;
}

}  // namespace

bool IsExtFolderStart(std::span<const uint8_t> block, const TExtSuperblock& sb, uint32_t& self, uint32_t& parent) {
  ByteReader r(block);
  const TEntryReader e{r, block.size(), bool(sb.FeatureIncompat & ext::kIncompatFiletype)};
  if (block.size() < 24) return false;
  self = r.U32(0);
  parent = r.U32(12);
  if (self == 0 || self > sb.InodesCount || parent == 0 || parent > sb.InodesCount) return false;
  if (e.RecLen(0) != 12 || !e.NameIs(0, ".", 1) || !e.NameIs(12, "..", 2)) return false;
  if (e.Typed && (r.U8(7) != 2 || r.U8(19) != 2)) return false;
  return IsExtHashRoot(block, sb) || ChainsToEnd(e, 12, sb);
}

bool IsExtHashRoot(std::span<const uint8_t> block, const TExtSuperblock& sb) {
  ByteReader r(block);
  const TEntryReader e{r, block.size(), bool(sb.FeatureIncompat & ext::kIncompatFiletype)};
  // After "..": reserved zero, hash version, info length 8, levels.
  return block.size() >= 40 && e.RecLen(12) == block.size() - 12 && e.NameIs(12, "..", 2) && r.U32(24) == 0 &&
         r.U8(28) <= 5 && r.U8(29) == 8 && r.U8(30) < 3;
}

bool IsExtHashNode(std::span<const uint8_t> block, const TExtSuperblock& sb) {
  ByteReader r(block);
  const TEntryReader e{r, block.size(), bool(sb.FeatureIncompat & ext::kIncompatFiletype)};
  const uint32_t limit = r.U16(8), count = r.U16(10);
  return block.size() >= 16 && r.U32(0) == 0 && e.RecLen(0) == block.size() && r.U16(6) == 0 && count >= 1 &&
         count <= limit && limit <= (block.size() - 8) / 8;
}

bool IsExtFolderBlock(std::span<const uint8_t> block, const TExtSuperblock& sb) {
  if (IsExtHashNode(block, sb)) return true;
  ByteReader r(block);
  const TEntryReader e{r, block.size(), bool(sb.FeatureIncompat & ext::kIncompatFiletype)};
  // A first entry deleted keeps its name with inode 0.
  return block.size() >= 12 && e.NameValid(0) && !e.NameIs(0, ".", 1) && ChainsToEnd(e, 0, sb);
}

bool PrepareLostNode(TExtdrive& drive, TExtNode& node, uint8_t entryType, uint8_t& condition) {
  const uint32_t ino = node.Ino;
  const bool wantDir = entryType == 2 || (entryType == 0 && drive.FoundFolders.count(ino));
  auto fromFound = [&] {
    auto it = drive.FoundFolders.find(ino);
    if (!wantDir || it == drive.FoundFolders.end()) return false;
    node.Inode = TExtInode{};
    node.Inode.Mode = ext::kModeDir | 0755;
    node.FromJournal = false;
    node.FoundBlocks = it->second;
    node.Problem.clear();
    condition = 1;
    return true;
  };
  auto nameOnly = [&](const std::string& why) {
    node.Inode = TExtInode{};
    node.Inode.Mode = wantDir ? ext::kModeDir : ext::kModeFile;
    node.Problem = why;
    condition = 2;
    return true;
  };
  if (drive.InodeInUse(ino)) return fromFound() || nameOnly(TextF(txt::ExtInodeBelongsToVolume));
  TExtInode& n = node.Inode;
  if (drive.ReadInode(ino, n, true)) node.Problem.clear();
  if (n.Mode == 0 || n.Deleted()) {
    TExtNode deleted = node;
    uint8_t was = 0;
    const bool listed = PrepareDeletedNode(drive, deleted, entryType, was);
    if ((!listed || was == 2) && fromFound()) return true;
    if (!listed) return false;
    node = std::move(deleted);
    condition = was;
    return true;
  }
  // A former volume's inode that the volume does not use. Its checksum was made with that
  // volume's seed, so it says nothing here; the kind, the map and the blocks do.
  if (!ExtEntryTypeMatches(entryType, n.Mode) || n.Size > drive.VolumeBytes())
    return fromFound() || nameOnly(TextF(txt::ExtInodeReused));
  condition = 1;
  const TExtMap map = drive.MapOf(node);
  if (!map.Problem.empty()) node.Problem = map.Problem;
  if (map.Runs.empty() && n.Size > 0 && !n.HasInlineData() && !n.FastLink())
    node.Problem = TextF(txt::ExtInodeNoBlocks);
  bool reused = false;
  for (const TExtRun& run : map.Runs)
    for (uint64_t i = 0; i < run.Count && !reused; ++i) reused = drive.BlockInUse(run.Physical + i);
  if (reused) node.Problem = TextF(txt::ExtBlocksTakenByVolume);
  if (!node.Problem.empty()) {
    if (n.IsDir() && fromFound()) return true;
    condition = 2;
  }
  return true;
}

TExtMap FreeRunsFrom(TExtdrive& drive, uint64_t first, uint64_t blocks) {
  TExtMap map;
  uint64_t logical = 0;
  for (uint64_t b = first; b < drive.Sb.BlocksCount && logical < blocks; ++b) {
    if (b != first && drive.BlockInUse(b)) continue;
    if (!map.Runs.empty() && map.Runs.back().Physical + map.Runs.back().Count == b)
      ++map.Runs.back().Count;
    else
      map.Runs.push_back({logical, b, 1, false});
    ++logical;
  }
  return map;
}

}  // namespace salvex
