#include "ext/ExtDirectory.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "common/Unicode.h"
#include "ext/ExtFile.h"
#include "ext/ExtLostFolders.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Deeper folders are not listed: no real path is this long, and every walk recurses per level.
constexpr size_t kMaxDepth = 256;
const char* kFolderTypeName = "File folder";

int64_t StampKey(const TExtNode& n) {
  return n.Inode.Mtime ? int64_t(n.Inode.Mtime->tv_sec) * 1000000000 + n.Inode.Mtime->tv_nsec : INT64_MIN;
}

std::string TimeText(const TExtNode& n) {
  if (!n.Inode.Mtime) return "";
  const time_t t = n.Inode.Mtime->tv_sec;
  struct tm tm{};
  if (!localtime_r(&t, &tm)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min);
  return text;
}

std::string ConditionText(uint8_t flags, uint8_t condition) {
  if (!(flags & (ItemDeleted | ItemLost)) && condition != 2) return "";
  return LoadText(condition == 2 ? txt::ConditionPoor : txt::ConditionGood);
}

const TExtNode* NodeOfItem(const TItem& item) {
  if (auto* f = dynamic_cast<const TExtFile*>(&item)) return &f->Node;
  if (auto* d = dynamic_cast<const TExtDirectory*>(&item)) return &d->Node;
  return nullptr;
}

}  // namespace

bool ExtEntryTypeMatches(uint8_t entryType, uint16_t mode) {
  static const uint16_t kModes[8] = {0, ext::kModeFile, ext::kModeDir, ext::kModeChar,
                                     ext::kModeBlock, ext::kModeFifo, ext::kModeSocket, ext::kModeLink};
  return entryType == 0 || entryType > 7 || (mode & ext::kModeTypeMask) == kModes[entryType];
}

TFileMeta ExtMeta(const TExtNode& node) {
  TFileMeta meta;
  meta.Location = node.CarvedBlock ? TLocation{TLocation::TKind::Cluster, node.CarvedBlock}
                                   : TLocation{TLocation::TKind::Inode, node.Ino};
  meta.Attributes = node.Inode.Mode;
  meta.Modified = node.Inode.Mtime;
  meta.Warning = node.Problem;
  return meta;
}

bool PrepareDeletedNode(TExtdrive& drive, TExtNode& node, uint8_t entryType, uint8_t& condition) {
  TExtInode& n = node.Inode;
  if (!n.Deleted()) return false;
  if (n.Mode != 0 && !ExtEntryTypeMatches(entryType, n.Mode)) return false;
  const bool mapped = n.Size > 0 && (n.HasInlineData() || n.FastLink() ||
                                     (n.UsesExtents() ? ExtentRootHasEntries(n.Block) : BlockPointersSet(n.Block)));
  if (!mapped && !drive.RecoverFromJournal(node)) {
    // Nothing left to read: listed with its name so the user knows, but poor.
    if (n.Mode == 0) n.Mode = entryType == 2 ? ext::kModeDir : ext::kModeFile;
    node.Problem = n.Size > 0 || !drive.Journal() ? TextF(txt::ExtBlockMapCleared) : TextF(txt::ExtSizeAndMapCleared);
    condition = 2;
    return true;
  }
  condition = 1;
  if (!n.ChecksumOk) node.Problem = TextF(txt::ExtInodeChecksumWrong);
  const TExtMap map = drive.MapOf(node);
  if (!map.Problem.empty()) node.Problem = map.Problem;
  node.OwnsBlocks = !node.FromJournal && drive.InodeInUse(node.Ino);
  uint64_t reused = 0;
  for (const TExtRun& run : map.Runs)
    for (uint64_t i = 0; i < run.Count && reused == 0 && !node.OwnsBlocks; ++i) reused += drive.BlockInUse(run.Physical + i);
  if (reused) node.Problem = TextF(txt::ExtBlocksTakenByOthers);
  if (!node.Problem.empty()) condition = 2;
  return true;
}

TExtdrive* TExtDirectory::ExtDrive() const { return dynamic_cast<TExtdrive*>(Drive); }

std::unique_ptr<TItem> TExtDirectory::Clone() const {
  auto d = std::make_unique<TExtDirectory>();
  d->Assign(*this);
  return d;
}

void TExtDirectory::Assign(const TItem& source) {
  TCustomDirectory::Assign(source);
  if (auto* s = dynamic_cast<const TExtDirectory*>(&source)) {
    Node = s->Node;
    IsRoot = s->IsRoot;
  }
}

void TExtDirectory::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TExtDirectory*>(&target))
    t->Assign(*this);
  else
    TCustomDirectory::AssignTo(target);
}

std::string TExtDirectory::GetPath(const TCustomDirectory* stop) const {
  if (this == stop) return "";
  std::string path = Name;
  for (const TCustomDirectory* p = Parent; p && p != stop; p = p->Parent) path = p->Name + "\\" + path;
  return path;
}

bool TExtDirectory::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

bool TExtDirectory::InodeOnPath(uint32_t ino) const {
  for (const TCustomDirectory* d = this; d; d = d->Parent)
    if (auto* e = dynamic_cast<const TExtDirectory*>(d); e && e->Node.Ino == ino) return true;
  return false;
}

size_t TExtDirectory::Depth() const {
  size_t n = 0;
  for (const TCustomDirectory* d = Parent; d; d = d->Parent) ++n;
  return n;
}

bool TExtDirectory::DeletedView() const {
  return TreeOf(*this) == TTreeKind::Deleted || (Flags & (ItemDeleted | ItemLost));
}

void TExtDirectory::ReadChildren(bool deletedView) {
  Children.emplace();
  TExtdrive* drive = ExtDrive();
  if (!drive || Node.Ino == 0) return;
  const bool deep = Depth() >= kMaxDepth;
  // Everything in a deleted or lost folder is deleted with it.
  const uint8_t inherited = Flags & (ItemDeleted | ItemLost);
  const std::vector<TExtDirEntry> entries = drive->ReadDirectory(Node, deletedView);
  // A name met again for the same inode (a gap or an older copy repeating it) is listed once, where
  // it was first met. Sorted indexes rather than a set of names: no copy of each name.
  std::vector<uint32_t> order(entries.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    if (entries[a].Inode != entries[b].Inode) return entries[a].Inode < entries[b].Inode;
    const int c = entries[a].Name.compare(entries[b].Name);
    return c != 0 ? c < 0 : a < b;
  });
  std::vector<bool> repeated(entries.size(), false);
  for (size_t k = 1; k < order.size(); ++k) {
    const TExtDirEntry &x = entries[order[k - 1]], &y = entries[order[k]];
    if (x.Inode == y.Inode && x.Name == y.Name) repeated[order[k]] = true;
  }
  Children->reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const TExtDirEntry& e = entries[i];
    if (repeated[i] || e.Name == "." || e.Name == "..") continue;
    TExtNode node = drive->NodeOf(e.Inode);
    // A name whose inode cannot be read is still listed, poor, with its kind from the entry.
    if (!node.Problem.empty() && node.Inode.Mode == 0 && !e.Deleted)
      node.Inode.Mode = e.FileType == 2 ? ext::kModeDir : ext::kModeFile;
    uint8_t flags = inherited, condition = node.Problem.empty() ? 0 : 2;
    if (inherited & ItemLost) {
      if (!PrepareLostNode(*drive, node, e.FileType, condition)) continue;
      flags |= e.Deleted ? ItemDeleted : 0;
    } else if (deletedView && (e.Deleted || inherited)) {
      if (!PrepareDeletedNode(*drive, node, e.FileType, condition)) continue;
      flags |= ItemDeleted;
    } else if (deletedView) {
      // Live folders only, so the deleted files below them keep their paths.
      if (!node.Inode.IsDir()) continue;
    } else if (e.Deleted) {
      continue;
    }
    std::string name = ExtNameText(e.Name);
    if (node.Inode.IsDir()) {
      if (deep || InodeOnPath(e.Inode)) continue;
      auto d = std::make_unique<TExtDirectory>();
      d->Drive = drive;
      d->Name = std::move(name);
      d->Node = std::move(node);
      d->Flags = flags;
      d->Condition = condition;
      d->Parent = this;
      Adopt(std::move(d));
    } else {
      auto f = std::make_unique<TExtFile>();
      f->Drive = drive;
      f->Name = std::move(name);
      f->Node = std::move(node);
      f->Size = f->Node.Inode.IsRegular() || f->Node.Inode.IsLink() ? f->Node.Inode.Size : 0;
      f->Flags = flags;
      f->Condition = condition;
      f->Parent = this;
      Adopt(std::move(f));
    }
  }
}

void TExtDirectory::LoadListing(bool deletedMode) {
  if (!Children) ReadChildren(deletedMode);
}

TListRow ExtRow(const TItem& object) {
  TListRow row;
  if (auto* d = dynamic_cast<const TExtDirectory*>(&object)) {
    row.Icon = (d->Flags & ItemDeleted) ? TRowIcon::DeletedFolder : TRowIcon::Folder;
    row.Caption = d->Name;
    row.Cells = {"", TimeText(d->Node), std::to_string(d->Node.Ino), ConditionText(d->Flags, d->Condition),
                 kFolderTypeName};
  } else if (auto* f = dynamic_cast<const TExtFile*>(&object)) {
    row.Icon = (f->Flags & ItemDeleted) ? TRowIcon::DeletedFile : TRowIcon::File;
    row.Caption = f->Name;
    row.Cells = {std::to_string(f->Size), TimeText(f->Node), f->Node.Ino ? std::to_string(f->Node.Ino) : "",
                 ConditionText(f->Flags, f->Condition),
                 f->Node.Inode.IsLink() ? std::string("Symbolic link") : Host().TypeName(row.Caption)};
  }
  return row;
}

TListRow TExtDirectory::ListRow(const TItem& child) const { return ExtRow(child); }

void TExtDirectory::LoadChildren(bool deletedView) {
  if (!Children) ReadChildren(deletedView);
}

TFileMeta TExtDirectory::Meta() const { return ExtMeta(Node); }

TSortKey TExtDirectory::SortKey(const TItem& child, bool withType) const {
  TSortKey key;
  const TExtNode* node = NodeOfItem(child);
  if (!node) return key;
  const bool folder = dynamic_cast<const TCustomDirectory*>(&child) != nullptr;
  if (auto* f = dynamic_cast<const TCustomFile*>(&child)) {
    key.Name = f->Name;
    key.Size = f->Size;
    key.Condition = f->Condition;
  } else if (auto* d = dynamic_cast<const TCustomDirectory*>(&child)) {
    key.Name = d->Name;
    key.Condition = d->Condition;
  }
  // Times before 1970 are negative: the sign bit flipped keeps their order as unsigned values.
  key.Stamp = uint64_t(StampKey(*node)) ^ (uint64_t(1) << 63);
  key.Number = node->Ino;
  // Folders are all of one type.
  if (withType && !folder) key.Type = Host().TypeName(key.Name);
  return key;
}

bool TExtDirectory::Search(const std::function<bool(TItem&)>& visit, bool recursive) {
  const bool readHere = !Children;
  if (readHere) ReadChildren(DeletedView());
  bool result = true;
  for (auto& child : *Children) {
    result = visit(*child);
    if (!result) break;
    if (recursive)
      if (auto* d = dynamic_cast<TExtDirectory*>(child.get())) {
        result = d->Search(visit, recursive);
        if (!result) break;
      }
  }
  if (readHere) Children.reset();
  return result;
}

TItemHistory TExtDirectory::History() const { return ExtHistory(Node); }

}  // namespace salvex
