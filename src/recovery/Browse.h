#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "devices/Model.h"
#include "recovery/Error.h"

namespace salvex {

class TStatusDialog;

// One entry of a folder as data: what a listing shows, without any window's formatting.
struct TItemRow {
  TItem* Item = nullptr;
  std::string Name;  // UTF-8, as shown
  std::string Path;  // from the top of its tree, '/'-separated, ending with Name
  bool Folder = false;
  uint64_t Size = 0;
  std::optional<timespec> Modified;
  uint32_t Attributes = 0;
  bool Deleted = false;
  bool Lost = false;
  enum class TCondition { None, Good, Poor } Condition = TCondition::None;
  std::string ConditionWhy;  // why it is poor, where something beyond the file system says so
  TLocation Location;
  TTreeKind Tree = TTreeKind::None;
};

TItemRow RowOf(TItem& item);
// The special folder of a volume for a tree; null when the volume has none.
TCustomDirectory* TopFolder(TCustomDrive& drive, TTreeKind tree);

// Checks that a volume is mounted with its special folders. The scans that fill a special folder
// (NTFS's deleted records) run when the folder is first read, or through LoadSpecialFolders.
TResult<TCustomDrive*> PrepareVolume(TCustomDrive& drive, TStatusDialog* status);

// Reads a folder's entries when they are not read yet (in the view of its tree). A read error
// when sectors it needed could not be read or were given as zeros: its listing may lack entries,
// and such a folder is a failure, never an empty folder.
std::optional<TError> LoadFolder(TCustomDirectory& folder);

// The rows of a folder (read when not read yet), folders first, then by name. `unreadable`, when
// given, receives LoadFolder's error.
std::vector<TItemRow> ListFolder(TCustomDirectory& folder, std::optional<TError>* unreadable = nullptr);
// The same order as ListFolder's rows, as the items alone: a listing that makes each row as it
// prints it holds one row, not one per entry of a folder of a million.
std::vector<TItem*> ListFolderOrder(TCustomDirectory& folder, std::optional<TError>* unreadable = nullptr);

// The item a path names inside a tree: components separated by '/' or '\', compared as the file
// systems do, without regard to letter case. An empty path names the tree's top folder.
TResult<TItem*> ResolvePath(TCustomDrive& drive, TTreeKind tree, const std::string& path);

// Every item of the Deleted, Lost and Root trees (in that order) whose name matches the mask;
// `onHit` sees each hit as found and ends the search by answering false. In the Deleted tree,
// folders that are there only to rebuild a path are walked but are no hits.
// How many entries a walk over a volume may deliver. Every entry takes at least 32 bytes of its
// volume, so a walk that delivers more goes round a damaged structure (folders that share their
// clusters) and must stop.
uint64_t MaxWalkEntries(const TCustomDrive& drive);

// `bounded`, when given, tells whether the walk stopped at MaxWalkEntries (damaged folders).
std::vector<TItemRow> FindItems(TCustomDrive& drive, const std::string& mask,
                                const std::function<bool(const TItemRow&)>& onHit = {}, bool* bounded = nullptr);
// The same walk for a caller that only looks at each hit as it comes: a row (and its Item) is valid
// during the call only, and the folders are released as they are walked, so that memory stays flat
// over millions of entries.
void StreamItems(TCustomDrive& drive, const std::string& mask, const std::function<bool(const TItemRow&)>& onHit,
                 bool* bounded = nullptr);

}  // namespace salvex
