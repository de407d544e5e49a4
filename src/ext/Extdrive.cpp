#include "ext/Extdrive.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "common/ByteReader.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtLostData.h"
#include "ext/ExtLostFolders.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Folders larger than this are damage; no kernel makes them (largedir tops out near 4 GiB of
// names, far beyond any real folder).
constexpr uint64_t kMaxDirectoryBytes = uint64_t(256) << 20;
constexpr size_t kInodeCacheBlocks = 4096;
constexpr uint64_t kInodeReadBlocks = 32;
// Groups whose backup superblocks are looked at when the first one is damaged.
constexpr uint64_t kBackupGroups[] = {1, 3, 5, 7, 9, 25, 27, 49};
const char kSuperblock[] = "ext superblock";

bool Newer(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

}  // namespace

std::unique_ptr<TCustomDrive> NewExtDrive() { return std::make_unique<TExtdrive>(); }

bool HasExtSuperblockSignature(std::span<const uint8_t> bytesFrom1024) {
  ByteReader r(bytesFrom1024);
  return r.U16(56) == ext::kMagic && r.U32(24) <= 6 && r.U32(32) != 0 && r.U32(40) != 0;
}

TExtdrive::TExtdrive() = default;
TExtdrive::~TExtdrive() = default;

TExtDirectory* TExtdrive::Root() const { return static_cast<TExtDirectory*>(RootFolder.get()); }
TExtDirectory* TExtdrive::DeletedRoot() const { return static_cast<TExtDirectory*>(DeletedFolder.get()); }

uint32_t TExtdrive::BytesPerSector() const {
  return Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
}

bool TExtdrive::ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device) return false;
  if (count == 0) return true;
  if (sector > UINT64_MAX - FirstSector) return false;
  const uint64_t bound = SectorCount ? FirstSector + SectorCount - 1 : FirstSector;
  return Device->ReadSectors(FirstSector + sector, count, showErrors, bound, buffer);
}

bool TExtdrive::ReadBytes(uint64_t offset, size_t length, uint8_t* out) {
  const uint32_t bps = BytesPerSector();
  const uint64_t first = offset / bps;
  const uint64_t within = offset % bps;
  const uint64_t sectors = (within + length + bps - 1) / bps;
  if (sectors > UINT32_MAX) return false;
  if (within == 0 && length % bps == 0) return ReadSectors(first, uint32_t(sectors), true, out);
  std::vector<uint8_t> temp(sectors * bps);
  if (!ReadSectors(first, uint32_t(sectors), true, temp.data())) return false;
  std::memcpy(out, temp.data() + within, length);
  return true;
}

bool TExtdrive::ReadBlock(uint64_t block, std::vector<uint8_t>& out) {
  out.resize(Sb.BlockSize);
  if (Sb.BlockSize != 0 && block < Sb.BlocksCount && ReadBytes(block * Sb.BlockSize, Sb.BlockSize, out.data()))
    return true;
  std::fill(out.begin(), out.end(), 0);
  return false;
}

bool TExtdrive::ReadSuperblockAt(uint64_t offset, TExtSuperblock& sb, std::string& why) {
  std::vector<uint8_t> bytes(ext::kSuperblockSize);
  if (!ReadBytes(offset, bytes.size(), bytes.data())) {
    why = TextF(txt::ExtSuperblockUnreadable);
    return false;
  }
  return ParseExtSuperblock(bytes, sb, why);
}

bool TExtdrive::FindBackupSuperblock(std::string& why) {
  for (uint32_t log = 0; log <= 6; ++log) {
    const uint64_t bs = 1024u << log, bpg = 8 * bs;
    for (uint64_t group : kBackupGroups) {
      const uint64_t block = group * bpg + (bs == 1024 ? 1 : 0);
      if (const uint64_t room = DeviceRoom(BytesPerSector()) * BytesPerSector(); room && block * bs >= room) break;
      TExtSuperblock sb;
      std::string ignored;
      if (!ReadSuperblockAt(block * bs, sb, ignored)) continue;
      if (sb.BlockSize != bs || sb.BlocksPerGroup != bpg || sb.BlockGroupNr != group) continue;
      Sb = sb;
      UsedBackupSuper = true;
      DebugLog("ext: using the backup superblock of group " + std::to_string(group), 1);
      return true;
    }
  }
  why += "; no backup superblock was found either";
  return false;
}

bool TExtdrive::ReadGroupDescriptors(std::string& why) {
  const uint32_t bs = Sb.BlockSize, ds = Sb.DescSize;
  const uint64_t perBlock = bs / ds;
  Groups.assign(Sb.GroupCount, {});
  const bool metaBg = Sb.FeatureIncompat & ext::kIncompatMetaBg;
  // With a backup superblock its own group's descriptor copy follows it.
  const uint64_t base = UsedBackupSuper ? uint64_t(Sb.BlockGroupNr) * Sb.BlocksPerGroup + Sb.FirstDataBlock + 1
                                        : Sb.FirstDataBlock + 1;
  std::vector<uint8_t> block;
  uint64_t cached = UINT64_MAX;
  uint64_t bad = 0;
  for (uint64_t g = 0; g < Sb.GroupCount; ++g) {
    const uint64_t index = g / perBlock;
    uint64_t where;
    if (metaBg && index >= Sb.FirstMetaBg) {
      const uint64_t leader = index * perBlock;
      where = Sb.FirstDataBlock + leader * Sb.BlocksPerGroup + (ExtGroupHasSuper(Sb, leader) ? 1 : 0);
    } else {
      where = base + index;
    }
    if (where != cached) {
      cached = where;
      if (!ReadBlock(where, block)) {
        why = TextF(txt::ExtDescriptorBlockUnreadable, {std::to_string(where)});
        return false;
      }
    }
    TExtGroup& grp = Groups[g];
    grp = ParseExtGroup(std::span<const uint8_t>(block).subspan((g % perBlock) * ds, ds), Sb, g);
    if (!grp.ChecksumOk) GroupChecksumsOk = false;
    const uint64_t tableBlocks = (uint64_t(Sb.InodesPerGroup) * Sb.InodeSize + bs - 1) / bs;
    if (grp.InodeTable == 0 || grp.InodeTable >= Sb.BlocksCount || tableBlocks > Sb.BlocksCount - grp.InodeTable) {
      grp.TableUnusable = true;
      ++bad;
    }
  }
  if (bad == Sb.GroupCount) {
    why = TextF(txt::ExtNoInodeTable);
    return false;
  }
  return true;
}

bool TExtdrive::Mount(bool quiet) {
  MountNotes.clear();
  if (!Device) return false;
  const auto fail = [&](const std::string& why) {
    SuperProblem = why;
    DebugLog("ext mount failed: " + why, 1);
    AddMountNote(TError::Corrupt(kSuperblock, why), true, quiet, TextF(txt::ExtVolumeUnreadable, {why}),
                 LoadText(txt::Error));
    return false;
  };
  std::string why;
  if (!ReadSuperblockAt(ext::kSuperblockOffset, Sb, why)) {
    SuperProblem = why;
    if (!FindBackupSuperblock(why)) return fail(why);
    AddMountNote(TError::Corrupt(kSuperblock, TextF(txt::ExtBackupSuperblockUsed, {SuperProblem})), false, quiet);
  }
  if (const uint64_t room = DeviceRoom(BytesPerSector()); room > 0) {
    const uint64_t roomBlocks = room * BytesPerSector() / Sb.BlockSize;
    if (Sb.BlocksCount > roomBlocks) {
      AddMountNote(CutToDeviceWarning(kSuperblock, Sb.BlocksCount * (Sb.BlockSize / 512), room * (BytesPerSector() / 512)),
                   false, quiet);
      Sb.BlocksCount = std::max<uint64_t>(roomBlocks, Sb.FirstDataBlock + 1);
      Sb.GroupCount = (Sb.BlocksCount - Sb.FirstDataBlock + Sb.BlocksPerGroup - 1) / Sb.BlocksPerGroup;
    }
  }
  if (!ReadGroupDescriptors(why)) return fail(why);
  if (!Sb.ChecksumOk) AddMountNote(TError::Corrupt(kSuperblock, TextF(txt::ExtChecksumWrong)), false, quiet);
  if (Sb.FeatureIncompat & ext::kIncompatRecover)
    AddMountNote(TError::Corrupt(kSuperblock, TextF(txt::ExtJournalNotReplayed)), false, quiet);
  if (Sb.FeatureIncompat & ext::kIncompatEncrypt)
    AddMountNote(TError::Corrupt(kSuperblock, TextF(txt::ExtEncryptedAsStored)), false, quiet);
  if (!MountNotes.empty()) DebugLog("ext mount: " + MountText(), 0);
  bitmaps_.assign(Groups.size(), {});
  bitmapRead_.assign(Groups.size(), false);
  inodeBitmaps_.assign(Groups.size(), {});
  inodeBitmapRead_.assign(Groups.size(), false);
  Name = Sb.VolumeName.empty() ? Sb.Flavour() + " volume" : ExtNameText(Sb.VolumeName);
  CreateSpecialFolders();
  return true;
}

bool TExtdrive::InodePlace(uint32_t ino, uint64_t& block, size_t& offset, bool unusedToo) const {
  if (ino == 0 || ino > Sb.InodesCount || Sb.InodesPerGroup == 0) return false;
  const uint64_t g = (ino - 1) / Sb.InodesPerGroup;
  if (g >= Groups.size() || Groups[g].TableUnusable || ((Groups[g].Flags & 1) && !unusedToo)) return false;
  const uint64_t bytes = uint64_t((ino - 1) % Sb.InodesPerGroup) * Sb.InodeSize;
  block = Groups[g].InodeTable + bytes / Sb.BlockSize;
  offset = size_t(bytes % Sb.BlockSize);
  return block < Sb.BlocksCount;
}

bool TExtdrive::ReadInode(uint32_t ino, TExtInode& inode, bool unusedToo) {
  uint64_t block;
  size_t offset;
  if (!InodePlace(ino, block, offset, unusedToo)) return false;
  auto it = inodeBlocks_.find(block);
  if (it == inodeBlocks_.end()) {
    if (inodeBlocks_.size() + kInodeReadBlocks > kInodeCacheBlocks) inodeBlocks_.clear();
    // The table blocks after this one, up to the group's table end, are read with it: a folder's
    // inodes lie close together.
    const uint64_t g = (ino - 1) / Sb.InodesPerGroup;
    const uint64_t tableEnd = Groups[g].InodeTable + (uint64_t(Sb.InodesPerGroup) * Sb.InodeSize + Sb.BlockSize - 1) / Sb.BlockSize;
    const uint64_t count = std::min<uint64_t>({kInodeReadBlocks, tableEnd - block, Sb.BlocksCount - block});
    std::vector<uint8_t>& run = inodeRun_;  // grown once, not zeroed per read
    if (run.size() < count * Sb.BlockSize) run.resize(count * Sb.BlockSize);
    if (count > 1 && ReadBytes(block * Sb.BlockSize, count * Sb.BlockSize, run.data())) {
      for (uint64_t k = 0; k < count; ++k)
        inodeBlocks_.try_emplace(block + k, run.begin() + ptrdiff_t(k * Sb.BlockSize),
                                 run.begin() + ptrdiff_t((k + 1) * Sb.BlockSize));
      it = inodeBlocks_.find(block);
    } else {
      std::vector<uint8_t> bytes;
      if (!ReadBlock(block, bytes)) return false;
      it = inodeBlocks_.emplace(block, std::move(bytes)).first;
    }
  }
  inode = ParseExtInode(std::span<const uint8_t>(it->second).subspan(offset, Sb.InodeSize), Sb, ino);
  return true;
}

bool TExtdrive::BlockInUse(uint64_t block) {
  if (block < Sb.FirstDataBlock || block >= Sb.BlocksCount) return false;
  const uint64_t rel = block - Sb.FirstDataBlock;
  const uint64_t g = rel / Sb.BlocksPerGroup;
  if (g >= Groups.size() || (Groups[g].Flags & 2)) return false;
  if (!bitmapRead_[g]) {
    bitmapRead_[g] = true;
    if (!ReadBlock(Groups[g].BlockBitmap, bitmaps_[g])) bitmaps_[g].clear();
  }
  const uint64_t bit = (rel % Sb.BlocksPerGroup) / Sb.ClusterRatio;
  return bit / 8 < bitmaps_[g].size() && (bitmaps_[g][bit / 8] >> (bit % 8)) & 1;
}

bool TExtdrive::InodeInUse(uint32_t ino) {
  if (ino == 0 || ino > Sb.InodesCount || Sb.InodesPerGroup == 0) return false;
  const uint64_t g = (ino - 1) / Sb.InodesPerGroup;
  if (g >= Groups.size() || (Groups[g].Flags & 1)) return false;
  if (!inodeBitmapRead_[g]) {
    inodeBitmapRead_[g] = true;
    if (!ReadBlock(Groups[g].InodeBitmap, inodeBitmaps_[g])) inodeBitmaps_[g].clear();
  }
  const uint64_t bit = (ino - 1) % Sb.InodesPerGroup;
  return bit / 8 < inodeBitmaps_[g].size() && (inodeBitmaps_[g][bit / 8] >> (bit % 8)) & 1;
}

TExtMap TExtdrive::MapOf(const TExtNode& node, const TExtBlockReader& read) {
  if (node.CarvedBlock) return FreeRunsFrom(*this, node.CarvedBlock, (node.Inode.Size + Sb.BlockSize - 1) / Sb.BlockSize);
  const TExtInode& n = node.Inode;
  if (n.HasInlineData() || n.FastLink()) return {};
  const uint16_t t = n.Type();
  if (t != ext::kModeFile && t != ext::kModeDir && t != ext::kModeLink) return {};
  const uint64_t limit = (n.Size + Sb.BlockSize - 1) / Sb.BlockSize;
  return n.UsesExtents() ? MapExtentTree(n.Block, Sb, read, limit) : MapBlockPointers(n.Block, Sb, read, limit);
}

TExtMap TExtdrive::MapOf(const TExtNode& node) { return MapOf(node, TreeReader(node)); }

TExtBlockReader TExtdrive::TreeReader(const TExtNode& node) {
  if (!node.FromJournal)
    return [this](uint64_t block, std::vector<uint8_t>& out) { return ReadBlock(block, out); };
  const uint32_t seq = node.JournalSequence;
  return [this, seq](uint64_t block, std::vector<uint8_t>& out) {
    if (const TExtJournal* j = Journal())
      if (const auto* copies = j->CopiesOf(block))
        for (const TExtJournalCopy& c : *copies)
          if (!Newer(c.Sequence, seq) && j->ReadCopy(c, out)) return true;
    return ReadBlock(block, out);
  };
}

bool TExtdrive::JournalHolds(uint64_t block) {
  if (!journalMap_) {
    journalMap_.emplace();
    TExtNode node;
    node.Ino = Sb.JournalInode;
    if (Sb.HasJournal() && Sb.JournalInode != 0 && ReadInode(node.Ino, node.Inode)) journalMap_ = MapOf(node);
  }
  for (const TExtRun& run : journalMap_->Runs)
    if (block >= run.Physical && block - run.Physical < run.Count) return true;
  return false;
}

const TExtJournal* TExtdrive::Journal() {
  if (journalTried_) return journal_.get();
  journalTried_ = true;
  if (!Sb.HasJournal() || Sb.JournalInode == 0) {
    JournalProblem = TextF(txt::ExtNoJournal);
    return nullptr;
  }
  TExtNode node;
  node.Ino = Sb.JournalInode;
  if (!ReadInode(node.Ino, node.Inode)) {
    JournalProblem = TextF(txt::ExtJournalInodeUnreadable);
    return nullptr;
  }
  const TExtMap map = MapOf(node);
  auto journal = std::make_unique<TExtJournal>();
  journal->Bulk = [this](uint64_t block, uint32_t count, uint8_t* out) {
    return block < Sb.BlocksCount && count <= Sb.BlocksCount - block &&
           ReadBytes(block * Sb.BlockSize, size_t(count) * Sb.BlockSize, out);
  };
  if (!journal->Load(map, [this](uint64_t b, std::vector<uint8_t>& out) { return ReadBlock(b, out); }, Sb.BlockSize,
                     JournalProblem)) {
    DebugLog("ext: journal not used: " + JournalProblem, 1);
    return nullptr;
  }
  DebugLog("ext: journal holds " + std::to_string(journal->Copies) + " block copies of " +
               std::to_string(journal->Transactions) + " transactions",
           1);
  journal_ = std::move(journal);
  return journal_.get();
}

bool TExtdrive::RecoverFromJournal(TExtNode& node) {
  const TExtJournal* j = Journal();
  uint64_t block;
  size_t offset;
  if (!j || !InodePlace(node.Ino, block, offset)) return false;
  const auto* copies = j->CopiesOf(block);
  if (!copies) return false;
  std::vector<uint8_t> scratch;
  for (const TExtJournalCopy& c : *copies) {
    // Most copies are looked at only to be passed over: they are neither copied out of the journal
    // nor checksummed. Copies from after the deletion, or of an earlier file of the number, are
    // passed over unparsed.
    std::span<const uint8_t> bytes = j->View(c, scratch, false);
    if (bytes.size() < offset + Sb.InodeSize) continue;
    const ByteReader peek(bytes.subspan(offset, Sb.InodeSize));
    if (peek.U16(26) == 0 || peek.U32(20) != 0 || peek.U32(100) != node.Inode.Generation) continue;
    bytes = j->View(c, scratch);
    if (bytes.size() < offset + Sb.InodeSize) continue;
    const std::span<const uint8_t> raw = bytes.subspan(offset, Sb.InodeSize);
    TExtInode old = ParseExtInode(raw, Sb, node.Ino);
    if (old.Deleted() || old.Generation != node.Inode.Generation) continue;
    if (node.Inode.Mode != 0 && old.Type() != node.Inode.Type()) continue;
    const bool hasData = old.Size == 0 || old.HasInlineData() || old.FastLink() ||
                         (old.UsesExtents() ? ExtentRootHasEntries(old.Block) : BlockPointersSet(old.Block));
    if (!hasData) continue;
    node.Inode = old;
    node.FromJournal = true;
    node.JournalSequence = c.Sequence;
    return true;
  }
  return false;
}

TExtNode TExtdrive::NodeOf(uint32_t ino) {
  TExtNode node;
  node.Ino = ino;
  if (!ReadInode(ino, node.Inode))
    node.Problem = TextF(txt::ExtInodeOutsideTables, {std::to_string(ino)});
  else if (!node.Inode.ChecksumOk)
    node.Problem = TextF(txt::ExtInodeChecksumWrong);
  return node;
}

std::vector<TExtDirEntry> TExtdrive::ReadDirectory(const TExtNode& dir, bool deleted) {
  std::vector<TExtDirEntry> entries;
  const TExtInode& n = dir.Inode;
  if (!dir.FoundBlocks.empty()) {
    std::vector<uint8_t> block;
    for (size_t i = 0; i < dir.FoundBlocks.size(); ++i) {
      if (!ReadBlock(dir.FoundBlocks[i], block) || IsExtHashNode(block, Sb)) continue;
      // The hash index after ".." is no gap of deleted names.
      const bool gaps = deleted && !IsExtHashRoot(block, Sb);
      auto found = ParseExtDirBlock(block, Sb, gaps, i * Sb.BlockSize);
      entries.insert(entries.end(), found.begin(), found.end());
    }
    return entries;
  }
  if (n.HasInlineData()) {
    // The parent's number comes first; entries follow, then more in the "system.data" attribute.
    auto more = ParseExtDirBlock(std::span<const uint8_t>(n.Block).subspan(4), Sb, deleted, 4);
    entries.insert(entries.end(), more.begin(), more.end());
    more = ParseExtDirBlock(n.InlineXattr, Sb, deleted, 60);
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
  }
  const TExtMap map = MapOf(dir);
  const TExtJournal* journal = deleted ? Journal() : nullptr;
  std::vector<uint8_t> block, old;
  uint64_t bytes = 0;
  for (const TExtRun& run : map.Runs) {
    for (uint64_t i = 0; i < run.Count && !run.Unwritten; ++i) {
      if ((bytes += Sb.BlockSize) > kMaxDirectoryBytes) return entries;
      const uint64_t logical = run.Logical + i, physical = run.Physical + i;
      if (!ReadBlock(physical, block)) continue;
      ByteReader r(block);
      const bool hashed = n.Flags & ext::kFlagIndex;
      // Interior nodes of a hashed folder are one empty entry over the whole block.
      if (hashed && logical > 0 && r.U32(0) == 0 && r.U16(4) == (Sb.BlockSize & 0xFFFF) && r.U8(6) == 0) continue;
      const bool gaps = deleted && !(hashed && logical == 0);
      auto found = ParseExtDirBlock(block, Sb, gaps, size_t(logical) * Sb.BlockSize);
      // Older copies of the block in the journal keep entries whose space was reused or whose
      // number was cleared (the first entry of a block loses only its number).
      if (gaps && journal)
        if (const auto* copies = journal->CopiesOf(physical)) {
          std::set<std::pair<uint32_t, std::string>> seen;
          for (const auto& e : found) seen.insert({e.Inode, e.Name});
          std::vector<uint8_t> previous;
          for (const TExtJournalCopy& c : *copies) {
            // The log holds the same block many times over: a copy as the block is now, or as the
            // copy before it, has no name those lack (and needs no checksum).
            std::span<const uint8_t> copy = journal->View(c, old, false);
            if (copy.empty() || std::ranges::equal(copy, block) || std::ranges::equal(copy, previous)) continue;
            if ((copy = journal->View(c, old)).empty()) continue;
            previous.assign(copy.begin(), copy.end());
            for (auto& e : ParseExtDirBlock(previous, Sb, true, size_t(logical) * Sb.BlockSize))
              if (seen.insert({e.Inode, e.Name}).second) {
                e.Deleted = true;
                found.push_back(std::move(e));
              }
          }
        }
      entries.insert(entries.end(), found.begin(), found.end());
    }
  }
  return entries;
}

void TExtdrive::CreateSpecialFolders() {
  MakeSpecialFolders([this](bool root) {
    auto d = std::make_unique<TExtDirectory>();
    if (root) {
      d->Node = NodeOf(ext::kRootInode);
      d->IsRoot = true;
    }
    return d;
  });
}

bool TExtdrive::TopMayHaveSubfolders(TTreeKind tree) {
  if (!HasSpecialFolders()) return false;
  if (tree == TTreeKind::Root) return true;
  if (tree == TTreeKind::Deleted) return true;
  return TCustomDrive::TopMayHaveSubfolders(tree);
}

std::vector<TListColumn> TExtdrive::ListColumns() const { return StandardColumns(LoadText(txt::ColumnInode)); }

bool TExtdrive::FindLostData(TStatusDialog* status) { return FindExtLostData(*this, status); }

}  // namespace salvex
