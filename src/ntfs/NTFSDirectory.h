#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "devices/Model.h"
#include "ntfs/MFTRecord.h"

namespace salvex {

class TNTFSdrive;
class TNTFSStreamFile;
struct TNTFSAttribute;

// A folder of an NTFS volume; its children come from the $I30 index of record MFTNumber.
class TNTFSDirectory : public TCustomDirectory {
 public:
  int64_t MFTNumber = 0;
  uint16_t Time = 0;
  uint16_t Date = 0;
  uint64_t ModificationTime = 0;  // FILETIME

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  bool Rename(const std::string& newName) override;
  void LoadListing(bool deletedMode) override;
  bool MayHaveSubfolders(bool) override { return HasChildDirs(); }
  TListRow ListRow(const TItem& child) const override;
  TSortKey SortKey(const TItem& child, bool withType) const override;
  void LoadChildren(bool deletedView) override;
  TFileMeta Meta() const override;

  // Reads the children from the index: names in the Win32, Win32+DOS and POSIX name spaces of
  // records 16 and up (a DOS-only name is the short twin of a Win32 name and is left out).
  // A folder that is this one or one of its ancestors is left out, so no walk can loop.
  void ReadChildren();
  // Whether the folder has a subfolder, without building children when none are read yet.
  bool HasChildDirs();
  // Visits every child in list order, descending into folders when recursive; false as soon as the
  // visitor answers false. Children read for the walk are dropped again afterwards. In the Deleted
  // tree nothing is read from an index: the Deleted folder is filled by the deleted search first.
  bool Search(const std::function<bool(TItem&)>& visitor, bool recursive) override;
  // Whether the folder is the volume's Deleted folder or lies below it.
  bool InDeletedTree() const;
  TNTFSdrive& Volume() const;
};

// Builds a child of `parent` from an index key (or a deleted record's $FILE_NAME) and appends it.
// For deleted entries the size and condition come from the record's $DATA when given.
TItem* AddEntry(TNTFSDirectory& parent, const ntfs::TFileNameView& key, const TNTFSAttribute* data, uint64_t number,
                bool deleted);

// Entries for the named $DATA attributes of record `number` (its bytes `record`), named
// "owner:stream" and belonging in `parent` beside `owner`, the file or folder the record lists as;
// a deleted owner's streams are deleted and judged like its data. `judge`, when given, sets up each
// entry from its attribute (null when it cannot be loaded) instead: a former record's streams are
// judged otherwise. Empty for a record without them.
using TStreamJudge = std::function<void(TNTFSStreamFile&, TNTFSAttribute*)>;
std::vector<std::unique_ptr<TItem>> StreamEntries(TNTFSdrive& drive, TCustomDirectory& parent, const TItem& owner,
                                                  std::span<const uint8_t> record, uint64_t number,
                                                  const TStreamJudge& judge = {});

// " good" / "poor" / "" as shown in the condition column.
std::string ConditionText(uint8_t flags, uint8_t condition);

}  // namespace salvex
