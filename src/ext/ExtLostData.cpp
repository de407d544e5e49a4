#include "ext/ExtLostData.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>
#include <vector>

#include "common/Format.h"
#include "common/Host.h"
#include "common/Options.h"
#include "devices/Device.h"
#include "devices/LostDataScan.h"
#include "devices/StatusDialog.h"
#include "ext/ExtDirectory.h"
#include "ext/ExtFile.h"
#include "ext/ExtLostFolders.h"
#include "ext/Extdrive.h"
#include "filetypes/CarvedName.h"
#include "filetypes/Carver.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

constexpr uint64_t kWindowBytes = 4u << 20;
// A folder's blocks are looked for after its first one up to this many (a folder of many
// thousand names; larger ones keep the names of these blocks).
constexpr size_t kMaxFolderBlocks = 1024;

// Blocks the files listed elsewhere hold, as disjoint [first, end) ranges once Seal()ed.
class TBlockRanges {
 public:
  void Add(const TExtMap& map) {
    for (const TExtRun& run : map.Runs)
      if (!run.Unwritten) ranges_.emplace_back(run.Physical, run.Physical + run.Count);
  }
  void Seal() {
    std::sort(ranges_.begin(), ranges_.end());
    std::vector<std::pair<uint64_t, uint64_t>> joined;
    for (const auto& r : ranges_)
      if (!joined.empty() && r.first <= joined.back().second)
        joined.back().second = std::max(joined.back().second, r.second);
      else
        joined.push_back(r);
    ranges_ = std::move(joined);
  }
  bool Contains(uint64_t block) const {
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(block, UINT64_MAX));
    return it != ranges_.begin() && block < std::prev(it)->second;
  }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};

// The free blocks from a found file's first block on, as its data is read when saved; found one
// by one as the end finders ask for them.
class TFreeBlockSource {
 public:
  TFreeBlockSource(TExtdrive& drive, uint64_t first) : drive_(drive), blocks_{first} {}
  bool Read(uint64_t index, uint32_t count, uint8_t* out) {
    const uint32_t bs = drive_.Sb.BlockSize;
    for (uint32_t k = 0; k < count; ++k) {
      const uint64_t b = At(index + k);
      if (b == 0 || !drive_.ReadBytes(b * bs, bs, out + uint64_t(k) * bs)) return false;
    }
    return true;
  }

 private:
  uint64_t At(uint64_t index) {
    while (blocks_.size() <= index) {
      uint64_t b = blocks_.back() + 1;
      while (b < drive_.Sb.BlocksCount && drive_.BlockInUse(b)) ++b;
      if (b >= drive_.Sb.BlocksCount) return 0;
      blocks_.push_back(b);
    }
    return blocks_[index];
  }
  TExtdrive& drive_;
  std::vector<uint64_t> blocks_;
};

struct TFoundFolder {
  uint64_t Block = 0;
  uint32_t Self = 0, Parent = 0;
};

template <class T>
std::unique_ptr<T> LostItem(TExtdrive& drive, std::string name, TExtNode node, uint8_t condition) {
  auto item = std::make_unique<T>();
  item->Drive = &drive;
  item->Name = std::move(name);
  item->Node = std::move(node);
  item->Flags = ItemLost;
  item->Condition = condition;
  item->Parent = drive.LostFolder.get();
  return item;
}

std::unique_ptr<TItem> LostNodeItem(TExtdrive& drive, std::string name, TExtNode node, uint8_t condition) {
  if (node.Inode.IsDir()) return LostItem<TExtDirectory>(drive, std::move(name), std::move(node), condition);
  auto f = LostItem<TExtFile>(drive, std::move(name), std::move(node), condition);
  f->Size = f->Node.Inode.IsRegular() || f->Node.Inode.IsLink() ? f->Node.Inode.Size : 0;
  return f;
}

// The blocks after a folder's first that continue it, as far as they are free and read as
// folder blocks.
std::vector<uint64_t> FolderBlocks(TExtdrive& drive, uint64_t first) {
  std::vector<uint64_t> blocks{first};
  std::vector<uint8_t> bytes;
  for (uint64_t b = first + 1; b < drive.Sb.BlocksCount && blocks.size() < kMaxFolderBlocks; ++b) {
    if (drive.BlockInUse(b) || !drive.ReadBlock(b, bytes) || !IsExtFolderBlock(bytes, drive.Sb)) break;
    blocks.push_back(b);
  }
  return blocks;
}

// A folder found by its content that another folder found names as a subfolder is listed there.
std::set<uint32_t> Subfolders(TExtdrive& drive, const std::vector<TFoundFolder>& found) {
  std::map<uint32_t, std::set<uint32_t>> names;  // folder -> the folders its entries name
  for (const auto& [self, blocks] : drive.FoundFolders) {
    TExtNode node;
    node.Ino = self;
    node.FoundBlocks = blocks;
    for (const TExtDirEntry& e : drive.ReadDirectory(node, true))
      if (e.Inode != self && e.Name != "." && e.Name != ".." &&
          (e.FileType == 2 || (e.FileType == 0 && drive.FoundFolders.count(e.Inode))))
        names[self].insert(e.Inode);
  }
  std::map<uint32_t, uint32_t> parentOf;
  for (const TFoundFolder& f : found)
    if (f.Parent != f.Self && names[f.Parent].count(f.Self)) parentOf.emplace(f.Self, f.Parent);
  // Folders that name each other in a ring would hide each other: the ring stays at the top.
  std::set<uint32_t> hidden;
  for (const auto& [self, parent] : parentOf) {
    std::set<uint32_t> path{self};
    uint32_t at = parent;
    bool ring = false;
    while (parentOf.count(at) && !ring) {
      ring = !path.insert(at).second;
      at = parentOf[at];
    }
    if (!ring && at != self) hidden.insert(self);
  }
  return hidden;
}

bool IsZeroBlock(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

bool FindExtLostData(TExtdrive& drive, TStatusDialog* status) {
  const TExtSuperblock& sb = drive.Sb;
  if (!drive.HasSpecialFolders() || sb.BlocksCount <= sb.FirstDataBlock || sb.BlockSize == 0 ||
      sb.BlocksPerGroup == 0)
    return false;
  const uint64_t lowest = sb.FirstDataBlock, highest = sb.BlocksCount - 1;
  uint64_t first = 0, last = 0;
  if (!AskLostRange(lowest, highest, first, last)) return false;
  // The inodes of the groups the range touches are looked at for orphans.
  const uint64_t firstIno = (first - sb.FirstDataBlock) / sb.BlocksPerGroup * sb.InodesPerGroup + 1;
  const uint64_t lastIno =
      std::min<uint64_t>(sb.InodesCount, ((last - sb.FirstDataBlock) / sb.BlocksPerGroup + 1) * sb.InodesPerGroup);

  const bool findFiles = Options().FindLostFiles;
  TLostDataScan scan(drive, status, (last - first + 1) + (lastIno >= firstIno ? lastIno - firstIno + 1 : 0));
  TStatusDialog& dialog = scan.Dialog();
  if (drive.Device) drive.Device->SetCacheEnabled(true);
  drive.FoundFolders.clear();
  TCustomDirectory& lost = *drive.LostFolder;
  try {
    // Inodes a name in the Deleted tree reaches are listed there already, and so are the blocks
    // of its files.
    std::set<uint32_t> named;
    TBlockRanges listed;
    drive.DeletedRoot()->Search(
        [&](TItem& item) {
          if (auto* f = dynamic_cast<TExtFile*>(&item)) {
            named.insert(f->Node.Ino);
            if (f->Flags & ItemDeleted) listed.Add(drive.MapOf(f->Node));
          }
          if (auto* d = dynamic_cast<TExtDirectory*>(&item)) named.insert(d->Node.Ino);
          return !dialog.Cancelled;
        },
        true);

    // Free blocks: first blocks of folders, and files by their content.
    const uint32_t bs = sb.BlockSize;
    const uint64_t perWindow = std::max<uint64_t>(1, kWindowBytes / bs);
    std::vector<uint8_t> window(perWindow * bs);
    std::vector<uint8_t> free(perWindow);
    TFileCarver carver(bs, Options().LostDefaultSize);
    std::vector<TFoundFolder> found;
    std::vector<std::unique_ptr<TExtFile>> carved;
    for (uint64_t base = first; base <= last && !dialog.Cancelled; base += perWindow) {
      const uint64_t count = std::min(perWindow, last - base + 1);
      for (uint64_t k = 0; k < count; ++k) free[k] = !drive.BlockInUse(base + k);
      for (uint64_t k = 0; k < count;) {
        if (!free[k]) {
          ++k;
          continue;
        }
        uint64_t run = 1;
        while (k + run < count && free[k + run]) ++run;
        uint8_t* at = window.data() + k * bs;
        // Unreadable blocks read as zeros, which match nothing.
        if (!drive.ReadBytes((base + k) * bs, size_t(run * bs), at))
          for (uint64_t i = 0; i < run; ++i)
            if (!drive.ReadBytes((base + k + i) * bs, bs, at + i * bs)) std::fill_n(at + i * bs, bs, 0);
        k += run;
      }
      for (uint64_t k = 0; k < count && !dialog.Cancelled; ++k) {
        const uint64_t b = base + k;
        dialog.Step();
        if (dialog.UpdateDue()) {
          dialog.UpdateTexts("", TextF(txt::ScanningCluster, {b}),
                             TextF(txt::LostFoldersFound, {uint64_t(found.size())}),
                             TextF(txt::LostFilesFound, {uint64_t(carved.size())}));
          Host().ProcessMessages();
        }
        if (!free[k]) continue;
        std::span<const uint8_t> bytes(window.data() + k * bs, bs);
        TFoundFolder folder{b, 0, 0};
        if (IsExtFolderStart(bytes, sb, folder.Self, folder.Parent)) {
          found.push_back(folder);
          carver.NoteOther(b, "folder");
          continue;
        }
        if (!findFiles || IsZeroBlock(bytes)) continue;
        TFreeBlockSource source(drive, b);
        TBlockSource following(bs, sb.BlocksCount - b, [&source](uint64_t index, uint32_t n, uint8_t* out) {
          return source.Read(index, n, out);
        });
        const TCarveResult hit = carver.Examine(b, bytes, following);
        if (hit.Verdict == TCarveVerdict::Nested) scan.NoteNestedHit();
        if (hit.Verdict != TCarveVerdict::NewFile) continue;
        TExtNode node;
        node.CarvedBlock = b;
        node.Inode.Mode = ext::kModeFile | 0644;
        // The blocks read: both pieces of a file found in two, and what lies between them.
        node.Inode.Size = std::min(hit.Size + hit.GapBytes, drive.VolumeBytes());
        auto file = LostItem<TExtFile>(drive, "", std::move(node), 0);
        DescribeCarvedFile(hit, *file);
        file->Name = "block " + std::to_string(b) + "." + CarvedExtension(hit.Type);
        file->Size = std::min(hit.Size, drive.VolumeBytes());
        carved.push_back(std::move(file));
      }
    }

    // The folders found, each with the blocks that continue it; subfolders of others are listed
    // inside them, with their names.
    for (const TFoundFolder& f : found)
      if (!named.count(f.Self)) drive.FoundFolders.emplace(f.Self, FolderBlocks(drive, f.Block));
    const std::set<uint32_t> inside = Subfolders(drive, found);
    std::set<uint32_t> reached;
    for (const TFoundFolder& f : found) {
      if (dialog.Cancelled) break;
      auto it = drive.FoundFolders.find(f.Self);
      if (it == drive.FoundFolders.end() || it->second.front() != f.Block || inside.count(f.Self)) continue;
      TExtNode node;
      node.Ino = f.Self;
      uint8_t condition = 0;
      // A former volume's inode of the folder reads all its blocks; else the blocks found do.
      const bool byInode = PrepareLostNode(drive, node, 2, condition) && node.FoundBlocks.empty() &&
                           condition == 1 && node.Inode.IsDir() && [&] {
                             const TExtMap map = drive.MapOf(node);
                             return !map.Runs.empty() && map.Runs.front().Physical == f.Block;
                           }();
      if (!byInode) {
        node.Inode = TExtInode{};
        node.Inode.Mode = ext::kModeDir | 0755;
        node.FromJournal = false;
        node.Problem.clear();
        node.FoundBlocks = it->second;
        condition = 1;
      }
      auto dir = LostItem<TExtDirectory>(drive, "block " + std::to_string(f.Block), std::move(node), condition);
      // Only an inode that gave an item its data is reached: a name alone may be of a number the
      // volume has given to another file since.
      if (byInode) reached.insert(f.Self);
      dir->Search(
          [&](TItem& item) {
            if (auto* file = dynamic_cast<TExtFile*>(&item); file && file->Condition == 1) {
              reached.insert(file->Node.Ino);
              listed.Add(drive.MapOf(file->Node));
            }
            if (auto* d = dynamic_cast<TExtDirectory*>(&item); d && d->Condition == 1 && d->Node.FoundBlocks.empty())
              reached.insert(d->Node.Ino);
            return !dialog.Cancelled;
          },
          true);
      lost.Adopt(std::move(dir));
    }

    // Inodes no name reaches: deleted ones the kernel left a trace of, and, after a format, a
    // former volume's files the new one does not use.
    for (uint64_t ino = std::max<uint64_t>(firstIno, sb.FirstInode); ino <= lastIno && !dialog.Cancelled; ++ino) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(txt::ScanningCluster, {last}),
                           TextF(txt::LostFoldersFound, {uint64_t(found.size())}),
                           TextF(txt::LostFilesFound, {uint64_t(carved.size())}));
        Host().ProcessMessages();
      }
      dialog.Step();
      if (named.count(uint32_t(ino)) || reached.count(uint32_t(ino))) continue;
      TExtNode node;
      node.Ino = uint32_t(ino);
      if (!drive.ReadInode(node.Ino, node.Inode, true) || node.Inode.Mode == 0) continue;
      uint8_t condition = 0;
      if (node.Inode.Dtime != 0 || node.Inode.Links == 0) {
        if (!PrepareDeletedNode(drive, node, 0, condition)) continue;
        if (condition == 2 && !node.FromJournal && node.Inode.Size == 0) continue;
      } else {
        const uint16_t t = node.Inode.Type();
        if (drive.InodeInUse(node.Ino) || (t != ext::kModeFile && t != ext::kModeDir && t != ext::kModeLink)) continue;
        // Only what reads as a sound file: stray bytes of an old table make poor ones.
        if (!PrepareLostNode(drive, node, 0, condition) || condition != 1 || !node.FoundBlocks.empty()) continue;
      }
      if (!node.Inode.IsDir()) listed.Add(drive.MapOf(node));
      lost.Adopt(LostNodeItem(drive, "inode " + std::to_string(ino), std::move(node), condition));
    }

    // A file found by its content where a file listed with its inode lies is that file again.
    listed.Seal();
    for (auto& file : carved)
      if (!listed.Contains(file->Node.CarvedBlock)) lost.Adopt(std::move(file));
  } catch (const std::exception& e) {
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
