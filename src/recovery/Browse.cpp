#include "recovery/Browse.h"

#include <algorithm>

#include "common/Format.h"
#include "common/Helpers.h"
#include "common/StringTable.h"
#include "common/Unicode.h"
#include "devices/ReadFailures.h"
#include "disk/PhysicalDisk.h"
#include "recovery/SaveEngine.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

constexpr int kMaxDepth = 4096;

// Letter case ignored as the file systems ignore it: ASCII and the two-byte Latin, Greek and
// Cyrillic capitals.
std::u32string Fold(const std::string& utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0 && i + 3 < utf8.size() + 0) {
      cp = ((c & 0x07u) << 18) | ((utf8[i + 1] & 0x3Fu) << 12) | ((utf8[i + 2] & 0x3Fu) << 6) | (utf8[i + 3] & 0x3Fu);
      len = 4;
    } else if (c >= 0xE0 && i + 2 < utf8.size()) {
      cp = ((c & 0x0Fu) << 12) | ((utf8[i + 1] & 0x3Fu) << 6) | (utf8[i + 2] & 0x3Fu);
      len = 3;
    } else if (c >= 0xC0 && i + 1 < utf8.size()) {
      cp = ((c & 0x1Fu) << 6) | (utf8[i + 1] & 0x3Fu);
      len = 2;
    }
    if (cp >= 'A' && cp <= 'Z') cp += 32;
    else if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) ||
             (cp >= 0x410 && cp <= 0x42F))
      cp += 32;
    else if (cp >= 0x400 && cp <= 0x40F)
      cp += 80;
    out.push_back(cp);
    i += len;
  }
  return out;
}

std::string PathOf(const TItem& item) {
  std::vector<std::string> parts{ShownName(item)};
  const TCustomDirectory* p = nullptr;
  if (auto* f = item.AsFile()) p = f->Parent;
  if (auto* d = item.AsFolder()) {
    if (!d->Parent) return "";
    p = d->Parent;
  }
  for (int depth = 0; p && p->Parent && depth < kMaxDepth; p = p->Parent, ++depth) parts.push_back(ShownName(*p));
  std::string path;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
  return path;
}

bool DeletedView(const TCustomDirectory& d) { return TreeOf(d) == TTreeKind::Deleted || (d.Flags & ItemDeleted); }

// Why a file found by its content is poor: the search marks it so when its format's own checks
// failed, and the size it took says which.
std::string LostFileDoubt(const TCustomFile& file) {
  if (file.SizeOrigin == TSizeOrigin::Default)
    return LoadText(txt::LostEndNotFound);
  return LoadText(txt::LostContentStops);
}

}  // namespace

TItemRow RowOf(TItem& item) {
  TItemRow row;
  row.Item = &item;
  row.Name = ShownName(item);
  row.Path = PathOf(item);
  row.Tree = TreeOf(item);
  uint8_t flags = 0, condition = 0;
  TFileMeta meta;
  if (auto* f = item.AsFile()) {
    row.Size = f->Size;
    flags = f->Flags;
    condition = f->Condition;
    meta = f->Meta();
    // The file system's own reason is the precise one, and damage (what a save fails with) before a
    // doubt; a file found by content has only its checks.
    if (condition == 2)
      row.ConditionWhy = !meta.Damage.empty()    ? meta.Damage
                         : !meta.Warning.empty() ? meta.Warning
                         : (f->Flags & ItemLost) ? LostFileDoubt(*f)
                                                 : "";
  } else if (auto* d = item.AsFolder()) {
    row.Folder = true;
    flags = d->Flags;
    condition = d->Condition;
    meta = d->Meta();
  }
  row.Deleted = flags & ItemDeleted;
  row.Lost = flags & ItemLost;
  // A live item has a condition only when it is damaged (a size larger than its volume).
  if (row.Deleted || condition == 2) row.Condition = condition == 2 ? TItemRow::TCondition::Poor : TItemRow::TCondition::Good;
  row.Modified = meta.Modified;
  row.Attributes = meta.Attributes;
  row.Location = meta.Location;
  return row;
}

TCustomDirectory* TopFolder(TCustomDrive& drive, TTreeKind tree) {
  switch (tree) {
    case TTreeKind::Root: return drive.RootFolder.get();
    case TTreeKind::Deleted: return drive.DeletedFolder.get();
    case TTreeKind::Lost: return drive.LostFolder.get();
    case TTreeKind::Search: return drive.SearchFolder.get();
    case TTreeKind::None: break;
  }
  return nullptr;
}

TResult<TCustomDrive*> PrepareVolume(TCustomDrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders()) {
    if (const TMountNote* failure = drive.MountFailure()) return failure->Error;
    TError e;
    e.Kind = TErrorKind::NotThisFileSystem;
    e.What = drive.Name;
    e.Why = LoadText(txt::VolumeNotMounted);
    return e;
  }
  // The special folders found by scanning (NTFS's Deleted tree) are built when first asked for:
  // listing or saving the live files never pays for them.
  (void)status;
  return &drive;
}

std::optional<TError> LoadFolder(TCustomDirectory& folder) {
  if (folder.Children) return std::nullopt;
  const uint64_t failedBefore = FailedDeviceReads();
  const uint64_t ignoredBefore = IgnoredReadCount();
  folder.LoadChildren(DeletedView(folder));
  const uint64_t failed = FailedDeviceReads() - failedBefore;
  const uint64_t ignored = IgnoredReadCount() - ignoredBefore;
  if (failed == 0 && ignored == 0) return std::nullopt;
  TError e;
  e.Kind = TErrorKind::ReadError;
  e.What = folder.Parent ? PathOf(folder) : ShownName(folder);
  e.Why = TextF(failed > 0 ? txt::FolderReadsFailed : txt::FolderReadsZeroed, {failed + ignored});
  return e;
}

std::vector<TItem*> ListFolderOrder(TCustomDirectory& folder, std::optional<TError>* unreadable) {
  std::optional<TError> failure = LoadFolder(folder);
  if (unreadable) *unreadable = std::move(failure);
  std::vector<TItem*> items;
  if (!folder.Children) return items;
  const size_t n = folder.Children->size();
  // Each name folded once, not once per comparison: a folder of many entries sorts in n log n
  // comparisons. The folded names are kept as UTF-8, which sorts as its code points do, at a
  // quarter of the memory; names of lost items are kept for the natural order among them.
  struct TKey {
    std::string Folded, LostName;
    bool Folder = false, Lost = false;
  };
  std::vector<TKey> keys(n);
  items.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    TItem& item = *(*folder.Children)[i];
    items.push_back(&item);
    TKey& k = keys[i];
    const std::string name = ShownName(item);
    const auto* sub = item.AsFolder();
    k.Folder = sub != nullptr;
    k.Lost = (sub ? sub->Flags : item.AsFile() ? item.AsFile()->Flags : 0) & ItemLost;
    for (char32_t c : Fold(name)) AppendUtf8Unchecked(k.Folded, c);  // none replaced: the bytes sort as the code points do
    if (k.Lost) k.LostName = name;
  }
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (keys[a].Folder != keys[b].Folder) return keys[a].Folder;
    if (keys[a].Lost && keys[b].Lost) return CompareNamesNatural(keys[a].LostName, keys[b].LostName) < 0;
    return keys[a].Folded < keys[b].Folded;
  });
  std::vector<TItem*> sorted;
  sorted.reserve(n);
  for (size_t i : order) sorted.push_back(items[i]);
  return sorted;
}

std::vector<TItemRow> ListFolder(TCustomDirectory& folder, std::optional<TError>* unreadable) {
  std::vector<TItemRow> rows;
  for (TItem* item : ListFolderOrder(folder, unreadable)) rows.push_back(RowOf(*item));
  return rows;
}

TResult<TItem*> ResolvePath(TCustomDrive& drive, TTreeKind tree, const std::string& path) {
  TCustomDirectory* folder = TopFolder(drive, tree);
  if (!folder) {
    TError e;
    e.Kind = TErrorKind::NotFound;
    e.What = drive.Name;
    e.Why = LoadText(txt::NoSuchTree);
    return e;
  }
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  TItem* item = folder;
  std::string walked;
  for (size_t i = 0; i < parts.size(); ++i) {
    walked += (walked.empty() ? "" : "/") + parts[i];
    auto* dir = AsFolder(item);
    if (!dir) {
      TError e;
      e.Kind = TErrorKind::NotFound;
      e.What = walked;
      e.Why = LoadText(txt::InsideAFile);
      return e;
    }
    const std::optional<TError> unreadable = LoadFolder(*dir);
    const std::u32string want = Fold(parts[i]);
    TItem* exact = nullptr;
    TItem* folded = nullptr;
    if (dir->Children)
      for (auto& child : *dir->Children) {
        const std::string name = ShownName(*child);
        if (name == parts[i]) {
          exact = child.get();
          break;
        }
        if (!folded && Fold(name) == want) folded = child.get();
      }
    item = exact ? exact : folded;
    if (!item && unreadable) return *unreadable;
    if (!item) {
      TError e;
      e.Kind = TErrorKind::NotFound;
      e.What = walked;
      e.Why = LoadText(txt::ErrnoNoEntry);
      return e;
    }
  }
  return item;
}

uint64_t MaxWalkEntries(const TCustomDrive& drive) {
  const uint64_t bytes = drive.VolumeBytes();
  // A volume of unknown size still gets a bound: 2^32 entries is more than any file system holds.
  return bytes > 0 ? std::max<uint64_t>(bytes / 32, 16) : uint64_t(1) << 32;
}

namespace {

// The walk behind FindItems and StreamItems. With `keep`, folders that hold hits stay read (the
// rows point into them); without, every folder read for the walk is released once walked, so that
// memory does not grow with the volume.
void WalkMatches(TCustomDrive& drive, const std::string& mask, const std::function<bool(TItemRow&)>& onHit, bool keep,
                 bool* bounded) {
  drive.LoadSpecialFolders(nullptr);
  bool go = true;
  uint64_t budget = MaxWalkEntries(drive);
  uint64_t kept = 0;
  std::function<void(TCustomDirectory&, bool, int)> walk = [&](TCustomDirectory& dir, bool deletedTree, int depth) {
    if (depth > kMaxDepth) return;
    if (budget == 0) {
      go = false;
      return;
    }
    const bool readHere = !dir.Children;
    const uint64_t keptBefore = kept;
    dir.LoadChildren(deletedTree || (dir.Flags & ItemDeleted));
    if (dir.Children)
      for (auto& child : *dir.Children) {
        if (!go || budget == 0) break;
        --budget;
        auto* sub = child->AsFolder();
        const bool eligible = !sub || !deletedTree || (sub->Flags & ItemDeleted);
        if (eligible && MatchMask(ShownName(*child), mask)) {
          TItemRow row = RowOf(*child);
          if (keep) ++kept;
          if (!onHit(row)) go = false;
        }
        if (sub && go) walk(*sub, deletedTree, depth + 1);
      }
    if (readHere && kept == keptBefore) dir.Children.reset();
  };
  for (TTreeKind tree : {TTreeKind::Deleted, TTreeKind::Lost, TTreeKind::Root})
    if (TCustomDirectory* top = TopFolder(drive, tree); top && go) walk(*top, tree == TTreeKind::Deleted, 0);
  if (bounded) *bounded = budget == 0;
}

}  // namespace

std::vector<TItemRow> FindItems(TCustomDrive& drive, const std::string& mask,
                                const std::function<bool(const TItemRow&)>& onHit, bool* bounded) {
  std::vector<TItemRow> hits;
  WalkMatches(
      drive, mask,
      [&](TItemRow& row) {
        hits.push_back(std::move(row));
        return !onHit || onHit(hits.back());
      },
      true, bounded);
  return hits;
}

void StreamItems(TCustomDrive& drive, const std::string& mask, const std::function<bool(const TItemRow&)>& onHit,
                 bool* bounded) {
  WalkMatches(drive, mask, [&](TItemRow& row) { return onHit(row); }, false, bounded);
}

}  // namespace salvex
