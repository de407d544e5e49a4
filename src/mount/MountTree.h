#pragma once
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/DataStream.h"
#include "devices/Model.h"

namespace salvex {

// A read-only file system over volumes, as a mount shows them: for each volume the folders Root,
// Deleted and Lost, and below them the trees' items under the names a save gives them. Nothing here
// knows the kernel interface that serves it; results are 0 or an errno value, so that the adapter
// only translates. Single-threaded, as the model is.
class TMountTree {
 public:
  static constexpr uint64_t kTopIno = 1;

  struct TVolume {
    TCustomDrive* Drive = nullptr;
    std::string Folder;  // the volume's folder in the top one; empty: its trees are the top's
  };
  struct TAttr {
    uint64_t Ino = 0;
    bool Folder = false;
    uint64_t Size = 0;
    timespec Modified{};
  };
  struct TEntry {
    std::string Name;
    uint64_t Ino = 0;
    bool Folder = false;
  };

  // `findLost` runs the lost-data search of a volume, the first time its Lost folder is entered.
  // At most `folderBound` folders keep their listings (and the model its children) at once.
  TMountTree(std::vector<TVolume> volumes, std::function<void(TCustomDrive&)> findLost, size_t folderBound = 1024);
  ~TMountTree();

  int Lookup(uint64_t parent, const std::string& name, TAttr& attr);
  int GetAttr(uint64_t ino, TAttr& attr);
  // The folder's entries in a stable order (the same on every call while the mount lasts).
  int List(uint64_t ino, std::vector<TEntry>& entries);

  // Opens a file for reading; `handle` names it in Read and Release.
  int Open(uint64_t ino, uint64_t& handle);
  // Up to `size` bytes at `offset` (fewer only at the end of the file). EIO when any of them lies
  // in sectors that could not be read or in data that cannot be delivered (zeros are never passed
  // off as the file's bytes); the reason is kept for the condition attribute.
  int Read(uint64_t handle, uint64_t offset, size_t size, std::vector<uint8_t>& out);
  void Release(uint64_t handle);

  // user.salvex.condition, user.salvex.cluster / .inode / .record, user.salvex.state.
  std::vector<std::string> XattrNames(uint64_t ino);
  int GetXattr(uint64_t ino, const std::string& name, std::string& value);

  // Listings held now, for the tests of the bound.
  size_t CachedListings() const { return listings_.size(); }
  // How often a read had to open a file's data again (a stream that cannot seek), for the tests.
  uint64_t Reopens() const { return reopens_; }

 private:
  enum class TKind { Top, Volume, Tree, Item };
  struct TNode {
    TKind Kind = TKind::Item;
    uint64_t Parent = 0;
    size_t Volume = 0;
    TTreeKind Tree = TTreeKind::None;
    size_t Child = 0;  // Item: the index among its model folder's children
    std::string Name;
    bool Folder = false;
    TItem* Item = nullptr;  // valid while ItemGeneration is the parent listing's generation
    uint64_t ItemGeneration = 0;
    std::optional<uint64_t> DataSize;  // what the data stream delivers, once opened
    std::string Fault;  // what reading the data found wrong
  };
  struct TListing {
    std::vector<TEntry> Entries;
    std::unordered_map<std::string, size_t> ByName;
    uint64_t Generation = 0;
    bool LoadedHere = false;  // the model's children were read for this listing: they may go
    TCustomDirectory* Folder = nullptr;
    std::list<uint64_t>::iterator Use;
  };
  struct THandle {
    uint64_t Ino = 0;
    std::unique_ptr<TDataStream> Data;
    uint64_t Position = 0;
  };

  TNode& Node(uint64_t ino) { return nodes_[ino - 1]; }
  bool Valid(uint64_t ino) const { return ino >= 1 && ino <= nodes_.size(); }
  uint64_t AddNode(TNode node);
  uint64_t ChildIno(uint64_t parent, size_t key, TNode node);
  // The listing of a folder node, built (and its model folder read) when not held; null when the
  // node is no folder or no longer resolves.
  TListing* Listing(uint64_t ino);
  void BuildListing(uint64_t ino, TListing& listing);
  // Drops the least recently used listings past the bound, never one on the way to `keep`.
  void Evict(uint64_t keep);
  bool Within(uint64_t ino, uint64_t ancestor) const;
  // The model item of a Tree or Item node; null when it no longer resolves.
  TItem* ItemOf(uint64_t ino);
  TCustomDirectory* FolderOf(uint64_t ino);
  void FillAttr(uint64_t ino, TAttr& attr);
  int OpenStream(THandle& h);
  int Reposition(THandle& h, uint64_t offset);

  std::vector<TVolume> volumes_;
  std::function<void(TCustomDrive&)> findLost_;
  std::vector<bool> lostSearched_;
  size_t folderBound_;
  std::deque<TNode> nodes_;  // references stay valid as nodes are added
  std::map<std::pair<uint64_t, size_t>, uint64_t> childInos_;
  std::unordered_map<uint64_t, TListing> listings_;
  std::list<uint64_t> uses_;  // folder inos, most recently used first
  uint64_t generation_ = 0;
  std::unordered_map<uint64_t, THandle> handles_;
  uint64_t nextHandle_ = 1;
  uint64_t reopens_ = 0;
  timespec mounted_{};
};

}  // namespace salvex
