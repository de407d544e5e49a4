#include "mount/MountTree.h"

#include <algorithm>
#include <cerrno>

#include "disk/PhysicalDisk.h"
#include "recovery/Browse.h"
#include "recovery/SaveEngine.h"
#include "recovery/SaveNames.h"

namespace salvex {

namespace {

constexpr TTreeKind kTrees[] = {TTreeKind::Root, TTreeKind::Deleted, TTreeKind::Lost};

const char* TreeFolderName(TTreeKind tree) {
  return tree == TTreeKind::Root ? "Root" : tree == TTreeKind::Deleted ? "Deleted" : "Lost";
}

// What a read delivered that is not the file's, or did not deliver.
std::string FaultOf(const TDataStream& data, uint64_t zeroFilled, bool damaged, bool ended) {
  std::string text;
  if (zeroFilled > 0) text = std::to_string(zeroFilled) + " sector(s) could not be read";
  if (damaged) text += (text.empty() ? "" : "; ") + data.Damage;
  if (ended)
    text += (text.empty() ? "" : "; ") + (data.Failure.empty() ? std::string("the data ended early") : data.Failure);
  return text;
}

}  // namespace

TMountTree::TMountTree(std::vector<TVolume> volumes, std::function<void(TCustomDrive&)> findLost, size_t folderBound)
    : volumes_(std::move(volumes)),
      findLost_(std::move(findLost)),
      lostSearched_(volumes_.size(), false),
      folderBound_(std::max<size_t>(folderBound, 1)) {
  clock_gettime(CLOCK_REALTIME, &mounted_);
  TNode top;
  top.Kind = TKind::Top;
  top.Folder = true;
  AddNode(top);
}

TMountTree::~TMountTree() = default;

uint64_t TMountTree::AddNode(TNode node) {
  nodes_.push_back(std::move(node));
  return nodes_.size();
}

uint64_t TMountTree::ChildIno(uint64_t parent, size_t key, TNode node) {
  auto [it, added] = childInos_.try_emplace({parent, key}, 0);
  if (added) {
    node.Parent = parent;
    it->second = AddNode(std::move(node));
  }
  return it->second;
}

bool TMountTree::Within(uint64_t ino, uint64_t ancestor) const {
  for (uint64_t at = ino; at != 0; at = nodes_[at - 1].Parent)
    if (at == ancestor) return true;
  return false;
}

TItem* TMountTree::ItemOf(uint64_t ino) {
  TNode& n = Node(ino);
  if (n.Kind == TKind::Tree) return TopFolder(*volumes_[n.Volume].Drive, n.Tree);
  if (n.Kind != TKind::Item) return nullptr;
  TListing* parent = Listing(n.Parent);
  if (!parent) return nullptr;
  TNode& node = Node(ino);  // Listing may have added nodes
  if (node.Item && node.ItemGeneration == parent->Generation) return node.Item;
  return nullptr;
}

TCustomDirectory* TMountTree::FolderOf(uint64_t ino) { return AsFolder(ItemOf(ino)); }

TMountTree::TListing* TMountTree::Listing(uint64_t ino) {
  if (!Valid(ino) || !Node(ino).Folder) return nullptr;
  if (auto it = listings_.find(ino); it != listings_.end()) {
    uses_.splice(uses_.begin(), uses_, it->second.Use);
    return &it->second;
  }
  TListing listing;
  BuildListing(ino, listing);
  if (listing.Generation == 0) return nullptr;
  uses_.push_front(ino);
  listing.Use = uses_.begin();
  TListing& held = listings_[ino] = std::move(listing);
  for (const TEntry& e : held.Entries) {
    TNode& child = Node(e.Ino);
    if (child.Kind == TKind::Item) child.ItemGeneration = held.Generation;
  }
  Evict(ino);
  return &listings_.at(ino);
}

void TMountTree::BuildListing(uint64_t ino, TListing& listing) {
  const TNode n = Node(ino);
  auto add = [&](const std::string& name, uint64_t child) {
    listing.ByName.emplace(name, listing.Entries.size());
    listing.Entries.push_back({name, child, Node(child).Folder});
  };
  auto addTrees = [&](uint64_t parent, size_t volume) {
    for (size_t t = 0; t < 3; ++t) {
      if (!TopFolder(*volumes_[volume].Drive, kTrees[t])) continue;
      TNode tree;
      tree.Kind = TKind::Tree;
      tree.Volume = volume;
      tree.Tree = kTrees[t];
      tree.Name = TreeFolderName(kTrees[t]);
      tree.Folder = true;
      add(tree.Name, ChildIno(parent, t, tree));
    }
  };
  if (n.Kind == TKind::Top) {
    for (size_t v = 0; v < volumes_.size(); ++v) {
      if (volumes_[v].Folder.empty()) {
        addTrees(ino, v);
        continue;
      }
      TNode volume;
      volume.Kind = TKind::Volume;
      volume.Volume = v;
      volume.Name = volumes_[v].Folder;
      volume.Folder = true;
      // Keys past the three trees, so that trees and volumes at the top never share one.
      add(volume.Name, ChildIno(ino, 3 + v, volume));
    }
  } else if (n.Kind == TKind::Volume) {
    addTrees(ino, n.Volume);
  } else {
    if (n.Kind == TKind::Tree && n.Tree == TTreeKind::Lost && !lostSearched_[n.Volume]) {
      lostSearched_[n.Volume] = true;
      if (findLost_) findLost_(*volumes_[n.Volume].Drive);
    }
    TCustomDirectory* dir = FolderOf(ino);
    if (!dir) return;
    listing.LoadedHere = n.Kind == TKind::Item && !dir->Children;
    listing.Folder = dir;
    if (std::optional<TError> unreadable = LoadFolder(*dir)) Node(ino).Fault = unreadable->Why;
    // Bounded as every walk over a volume is: damaged folders can claim more entries than fit.
    const size_t count = dir->Children ? std::min<size_t>(dir->Children->size(), MaxWalkEntries(*dir->Drive)) : 0;
    TNameClaims claims;
    for (size_t i = 0; i < count; ++i) {
      TItem& item = *(*dir->Children)[i];
      const bool folder = item.AsFolder() != nullptr;
      const TFileMeta meta = folder ? static_cast<TCustomDirectory&>(item).Meta() : static_cast<TCustomFile&>(item).Meta();
      const std::string name = claims.Claim(FittedName(SafeSaveName(ShownName(item)), meta.Location.Value));
      TNode child;
      child.Kind = TKind::Item;
      child.Volume = n.Volume;
      child.Tree = n.Tree;
      child.Child = i;
      child.Name = name;
      child.Folder = folder;
      const uint64_t childIno = ChildIno(ino, i, child);
      TNode& held = Node(childIno);
      // A folder read again gives the same entries in the same order; one that does not is a
      // different folder now, and its former entries no longer resolve.
      if (held.Name != name || held.Folder != folder) continue;
      held.Item = &item;
      add(name, childIno);
    }
  }
  listing.Generation = ++generation_;
}

void TMountTree::Evict(uint64_t keep) {
  for (auto it = uses_.end(); listings_.size() > folderBound_ && it != uses_.begin();) {
    --it;
    const uint64_t ino = *it;
    TListing& listing = listings_.at(ino);
    // The trees' own listings stay, and so does every one on the way to the folder in use.
    if (Node(ino).Kind != TKind::Item || Within(keep, ino)) continue;
    // Children this listing read are read again when needed; others (filled by a scan) stay in the
    // model and only the listing goes.
    if (listing.LoadedHere) {
      listing.Folder->Children.reset();
      // The folders below went with the children.
      for (auto below = uses_.begin(); below != uses_.end();) {
        if (*below != ino && Within(*below, ino)) {
          listings_.erase(*below);
          below = uses_.erase(below);
        } else {
          ++below;
        }
      }
    }
    listings_.erase(ino);
    it = uses_.erase(it);
  }
}

void TMountTree::FillAttr(uint64_t ino, TAttr& attr) {
  TNode& n = Node(ino);
  attr.Ino = ino;
  attr.Folder = n.Folder;
  attr.Size = 0;
  attr.Modified = mounted_;
  if (n.Kind != TKind::Item) return;
  TItem* item = ItemOf(ino);
  if (!item) return;
  const TItemRow row = RowOf(*item);
  attr.Modified = row.Modified.value_or(timespec{});
  if (!n.Folder) attr.Size = Node(ino).DataSize.value_or(row.Size);
}

int TMountTree::Lookup(uint64_t parent, const std::string& name, TAttr& attr) {
  if (!Valid(parent)) return ENOENT;
  if (!Node(parent).Folder) return ENOTDIR;
  TListing* listing = Listing(parent);
  if (!listing) return EIO;
  auto it = listing->ByName.find(name);
  if (it == listing->ByName.end()) return ENOENT;
  FillAttr(listing->Entries[it->second].Ino, attr);
  return 0;
}

int TMountTree::GetAttr(uint64_t ino, TAttr& attr) {
  if (!Valid(ino)) return ENOENT;
  if (Node(ino).Kind == TKind::Item && !ItemOf(ino)) return ESTALE;
  FillAttr(ino, attr);
  return 0;
}

int TMountTree::List(uint64_t ino, std::vector<TEntry>& entries) {
  if (!Valid(ino)) return ENOENT;
  if (!Node(ino).Folder) return ENOTDIR;
  TListing* listing = Listing(ino);
  if (!listing) return ESTALE;
  entries = listing->Entries;
  return 0;
}

int TMountTree::OpenStream(THandle& h) {
  auto* file = AsFile(ItemOf(h.Ino));
  if (!file) return ESTALE;
  // Lost files have no chain in the allocation table in use (it is newer than they are): they are
  // read as a save of the Lost tree reads them, consecutive clusters on FAT.
  TReadChoice choice;
  const TNode& n = Node(h.Ino);
  if (TCustomDrive& drive = *volumes_[n.Volume].Drive; n.Tree == TTreeKind::Lost && !drive.ReadChoiceItems().empty())
    choice.FATCopy = drive.DefaultReadChoice(true);
  h.Data = file->OpenData(choice);
  h.Position = 0;
  Node(h.Ino).DataSize = h.Data ? h.Data->Size() : 0;
  return 0;
}

int TMountTree::Open(uint64_t ino, uint64_t& handle) {
  if (!Valid(ino)) return ENOENT;
  if (Node(ino).Folder) return EISDIR;
  THandle h;
  h.Ino = ino;
  if (const int e = OpenStream(h)) return e;
  // A file the model gives a size but no data to read: every read fails, the open does not, so
  // that its attributes stay readable.
  if (!h.Data && Node(ino).DataSize == 0) {
    const TItemRow row = RowOf(*ItemOf(ino));
    Node(ino).DataSize = row.Size;
    if (row.Size > 0) Node(ino).Fault = "the file has no data on the volume";
  }
  handle = nextHandle_++;
  handles_.emplace(handle, std::move(h));
  return 0;
}

int TMountTree::Reposition(THandle& h, uint64_t offset) {
  if (offset == h.Position) return 0;
  if (h.Data->Seek(offset)) {
    h.Position = offset;
    return 0;
  }
  // A stream that cannot seek (or has failed): backwards from a fresh one, forwards by reading.
  if (offset < h.Position || !h.Data->Failure.empty()) {
    ++reopens_;
    if (const int e = OpenStream(h)) return e;
    if (!h.Data) return EIO;
    if (h.Data->Seek(offset)) {
      h.Position = offset;
      return 0;
    }
  }
  std::vector<uint8_t> skip(64 * 1024);
  while (h.Position < offset) {
    const size_t n = h.Data->Read(skip.data(), size_t(std::min<uint64_t>(skip.size(), offset - h.Position)));
    if (n == 0) return EIO;
    h.Position += n;
  }
  return 0;
}

int TMountTree::Read(uint64_t handle, uint64_t offset, size_t size, std::vector<uint8_t>& out) {
  out.clear();
  auto it = handles_.find(handle);
  if (it == handles_.end()) return EBADF;
  THandle& h = it->second;
  TNode& n = Node(h.Ino);
  const uint64_t total = n.DataSize.value_or(0);
  if (offset >= total || size == 0) return 0;
  if (!h.Data) return EIO;
  size = size_t(std::min<uint64_t>(size, total - offset));
  if (const int e = Reposition(h, offset)) {
    Node(h.Ino).Fault = FaultOf(*h.Data, 0, false, true);
    return e;
  }
  const uint64_t zeroBefore = h.Data->ZeroFilledSectors;
  const uint64_t ignoredBefore = IgnoredReadCount();
  const std::string damageBefore = h.Data->Damage;
  const uint64_t damagedUnitsBefore = h.Data->DamagedUnits;
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    const size_t got = h.Data->Read(out.data() + done, size - done);
    if (got == 0) break;
    done += got;
  }
  h.Position += done;
  // Reads the host let through as zeros count as unreadable sectors too.
  const uint64_t zeroFilled = h.Data->ZeroFilledSectors - zeroBefore + (IgnoredReadCount() - ignoredBefore);
  // Counted, since a second damaged unit can say the same as the first.
  const bool damaged = h.Data->DamagedUnits != damagedUnitsBefore || h.Data->Damage != damageBefore;
  if (zeroFilled > 0 || damaged || done < size) {
    Node(h.Ino).Fault = FaultOf(*h.Data, zeroFilled, damaged, done < size);
    out.clear();
    return EIO;
  }
  return 0;
}

void TMountTree::Release(uint64_t handle) { handles_.erase(handle); }

std::vector<std::string> TMountTree::XattrNames(uint64_t ino) {
  std::vector<std::string> names;
  if (!Valid(ino) || Node(ino).Kind != TKind::Item) return names;
  TItem* item = ItemOf(ino);
  if (!item) return names;
  names = {"user.salvex.condition", "user.salvex.state"};
  const TItemRow row = RowOf(*item);
  if (row.Location.Kind == TLocation::TKind::Cluster) names.push_back("user.salvex.cluster");
  if (row.Location.Kind == TLocation::TKind::Inode || row.Location.Kind == TLocation::TKind::Record)
    names.push_back("user.salvex.inode");
  return names;
}

int TMountTree::GetXattr(uint64_t ino, const std::string& name, std::string& value) {
  const std::vector<std::string> names = XattrNames(ino);
  if (std::find(names.begin(), names.end(), name) == names.end()) return ENODATA;
  const TItemRow row = RowOf(*ItemOf(ino));
  if (name == "user.salvex.state") {
    value = row.Lost ? "lost" : row.Deleted ? "deleted" : "live";
  } else if (name == "user.salvex.condition") {
    const std::string& fault = Node(ino).Fault;
    std::string warning;
    if (!row.Folder) {
      const TFileMeta meta = static_cast<TCustomFile*>(row.Item)->Meta();
      warning = meta.Warning.empty() ? meta.Damage : meta.Warning;
    }
    value = row.Condition == TItemRow::TCondition::Poor || !fault.empty() ? "poor" : "good";
    for (const std::string* why : {&fault, static_cast<const std::string*>(&warning)})
      if (!why->empty()) value += ": " + *why;
  } else {
    value = std::to_string(row.Location.Value);
  }
  return 0;
}

}  // namespace salvex
