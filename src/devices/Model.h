#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Error.h"
#include "common/Host.h"
#include "devices/DataStream.h"

namespace salvex {

class TDevice;
class TStatusDialog;
class TCustomDrive;
class TCustomFile;
class TCustomDirectory;

// The first cluster the properties dialog shows and lets the user change.
struct TClusterField {
  bool Editable = true;  // false: the data is found otherwise (through a file record or an inode)
  uint32_t Cluster = 0;
};

// What the properties dialog tells of an item beyond its listing: damage found in its own record,
// and the journal transaction it was rebuilt from.
struct TItemHistory {
  std::string Problem;
  std::optional<uint64_t> JournalSequence;
};

// Common base so that a folder's children can hold folders and files alike; AsFile and AsFolder
// tell which one an item is.
class TItem {
 public:
  virtual ~TItem() = default;
  virtual TCustomFile* AsFile() { return nullptr; }
  virtual const TCustomFile* AsFile() const { return nullptr; }
  virtual TCustomDirectory* AsFolder() { return nullptr; }
  virtual const TCustomDirectory* AsFolder() const { return nullptr; }
  // A copy for the search-results folder; a copied folder reads its children anew.
  virtual std::unique_ptr<TItem> Clone() const = 0;
  // Whether the name keeps a FAT directory entry's deleted-entry marker, which shown and saved
  // names replace (DisplayName); on other file systems that byte is a letter.
  virtual bool NameHasDeletedMark() const { return false; }
  // None for items without a properties dialog.
  virtual std::optional<TClusterField> ClusterField() const { return std::nullopt; }
  // The user's new first cluster (listing only; nothing is written to the disk).
  virtual void SetClusterField(uint32_t cluster) { (void)cluster; }
  virtual TItemHistory History() const { return {}; }
};

// The same for a pointer that may be null.
inline TCustomFile* AsFile(TItem* item) { return item ? item->AsFile() : nullptr; }
inline const TCustomFile* AsFile(const TItem* item) { return item ? item->AsFile() : nullptr; }
inline TCustomDirectory* AsFolder(TItem* item) { return item ? item->AsFolder() : nullptr; }
inline const TCustomDirectory* AsFolder(const TItem* item) { return item ? item->AsFolder() : nullptr; }

using TChildren = std::vector<std::unique_ptr<TItem>>;

// Which special folder an item lies under (following Parent to the top).
enum class TTreeKind { Root, Deleted, Lost, Search, None };

// What a column of a folder listing holds: front ends format and sort its cells by it.
enum class TColumnKind : uint8_t { Name, Size, Modified, Number, Condition, Type };
struct TListColumn {
  std::string Caption;
  int Width = 0;  // as designed, in pixels at 96 dots per inch
  bool RightAligned = false;
  TColumnKind Kind = TColumnKind::Name;
};
// The six columns every volume lists; `numberCaption` names its number (cluster, MFT entry, inode).
std::vector<TListColumn> StandardColumns(const std::string& numberCaption);

enum class TRowIcon : uint8_t { Folder, DeletedFolder, File, DeletedFile };

// One entry as a listing shows it: the name column, its icon, and the texts of the columns after
// it, as the volume wrote them (the front end localises sizes and dates).
struct TListRow {
  std::string Caption;
  TRowIcon Icon = TRowIcon::File;
  std::vector<std::string> Cells;
};

// What a listing sorts an entry by, one key per column kind. Stamp and Number keep their file
// system's order as unsigned values; names and types compare as TListOrder says.
struct TSortKey {
  std::string Name;
  uint64_t Size = 0;
  uint64_t Stamp = 0;
  uint64_t Number = 0;
  int Condition = 0;
  std::string Type;
};

// How a volume's listings order their rows. Folders come before files; names of two lost items
// compare in natural order (CompareNamesNatural).
struct TListOrder {
  // Names and types compared with ASCII letters folded, then byte by byte; otherwise
  // CompareNamesNoCase.
  bool AsciiFold = false;
  // Folders stay before files in descending order too; otherwise descending reverses it all.
  bool FoldersFirstAlways = false;
};

// The volume preview's fields; Known is false for a volume without a preview.
struct TPreviewFields {
  struct TEntry {
    std::string Name;
    bool Folder = false;
    uint64_t Size = 0;
    std::string Modified;  // "DD.MM.YYYY hh:mm" as the volume wrote it
  };
  bool Known = false;
  uint64_t TotalSectors = 0;
  uint64_t SectorsPerCluster = 0;
  std::string Oem, Label;
  bool HasFATType = false;
  std::string FATType;
  std::vector<TEntry> RootEntries;
};

enum TItemFlags : uint8_t { ItemDeleted = 1, ItemLost = 2 };

// Whether both items were found by the lost-data search: their names are made from cluster numbers
// and sort in natural order (CompareNamesNatural) in every listing.
bool BothLost(const TItem& a, const TItem& b);

// Where a file's Size comes from: its directory entry or record, the end its format gives (files
// found by their content), or the default lost size when the format gave none.
enum class TSizeOrigin : uint8_t { Entry, FormatEnd, Default };

class TCustomFile : public TItem {
 public:
  std::string Name;  // UTF-8 (see common/Unicode.h); FAT short names decoded from the OEM code page
  uint64_t Size = 0;
  TCustomDrive* Drive = nullptr;
  uint8_t Flags = 0;
  uint8_t Condition = 0;
  TSizeOrigin SizeOrigin = TSizeOrigin::Entry;
  TCustomDirectory* Parent = nullptr;
  // A file found by its content in two pieces: after FirstPieceBytes of it, GapBytes of other data
  // are passed over (OpenData streams do it through WithGap). Size does not count the gap.
  uint64_t FirstPieceBytes = 0, GapBytes = 0;

  TCustomFile* AsFile() final { return this; }
  const TCustomFile* AsFile() const final { return this; }
  // Copies the common fields when source is a file; otherwise nothing changes.
  virtual void Assign(const TItem& source);
  virtual void AssignTo(TItem& target) const;
  // Changes the name in the listing only; nothing is written to the disk.
  virtual bool Rename(const std::string& newName) {
    Name = newName;
    return true;
  }
  // Path of the folder holding the file, from just below stop down to Parent, joined with '\'.
  virtual std::string GetPath(const TCustomDirectory* stop) const = 0;
  // The file's bytes for saving and viewing; null when the file has no data source.
  virtual std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice);
  // The file's bytes for the viewer, which jumps about in them (Seek); by default OpenData's.
  virtual std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) { return OpenData(choice); }
  virtual TFileMeta Meta() const;
};

class TCustomDirectory : public TItem {
 public:
  TCustomDirectory() = default;
  // Copies what Assign copies: a copy reads its own children.
  TCustomDirectory(const TCustomDirectory& source) : TItem() { TCustomDirectory::Assign(source); }
  ~TCustomDirectory() override;

  std::string Name;  // UTF-8
  TCustomDrive* Drive = nullptr;
  bool TreeBuilt = false;
  uint8_t Flags = 0;
  uint8_t Condition = 0;
  std::optional<TChildren> Children;  // empty optional = not read yet
  TCustomDirectory* Parent = nullptr;

  TCustomDirectory* AsFolder() final { return this; }
  const TCustomDirectory* AsFolder() const final { return this; }
  virtual void Assign(const TItem& source);
  virtual void AssignTo(TItem& target) const;
  virtual void ClearChildren();
  virtual std::string GetPath(const TCustomDirectory* stop) const = 0;
  // As TCustomFile::Rename.
  virtual bool Rename(const std::string& newName) {
    Name = newName;
    return true;
  }
  // Reads the children for a listing or a tree shown in the deleted view or not, when they are
  // not read yet. Throws what reading the folder throws; the front end tells the user.
  virtual void LoadListing(bool deletedMode) = 0;
  // Whether a tree should offer to open the folder: a quick look that need not read it whole.
  virtual bool MayHaveSubfolders(bool deletedMode) = 0;
  // The folder's name as its tree node shows it.
  virtual std::string TreeName() const { return Name; }
  // How a listing of this folder shows `child`, and what it sorts it by (the type key only when
  // `withType`: it can take a lookup per name).
  virtual TListRow ListRow(const TItem& child) const = 0;
  virtual TSortKey SortKey(const TItem& child, bool withType) const = 0;
  virtual bool HasSubdirectories() const;
  // Reads the children when they are not read yet, in the view of the tree the folder belongs to.
  virtual void LoadChildren(bool deletedView);
  virtual TFileMeta Meta() const;
  // Visits every child in list order, descending into folders when recursive; false as soon as
  // `visit` answers false. The folder knows its own view: a Deleted tree walks what the deleted
  // search found (never the live folders again), FAT folders keep their deleted-mode choice.
  // Children read only for the walk are released afterwards.
  virtual bool Search(const std::function<bool(TItem&)>& visit, bool recursive) = 0;

  // Appends a child this folder will own and returns it.
  template <class T>
  T* Adopt(std::unique_ptr<T> child) {
    T* raw = child.get();
    if (!Children) Children.emplace();
    Children->push_back(std::move(child));
    return raw;
  }
  void SetTreeBuilt(bool value, bool recursive);
  // How many folders lie above this one.
  size_t Depth() const;
};


// What the last lost-data search did, so that a front end can tell a failed search from one that
// found nothing.
struct TLostSearchReport {
  bool Ran = false;           // a range was chosen and the search started
  bool Cancelled = false;
  std::string Failure;        // not empty: the search stopped early for this reason
  uint64_t Folders = 0;       // lost folders listed at the top of Lost
  uint64_t Files = 0;         // lost files listed by their content
  uint64_t FilesCutAtEnd = 0; // of those, files whose size is their format's own end
  uint64_t NestedHits = 0;    // signatures inside files already found, not listed
};

// Something mounting found that the user must hear: the damage that stopped it, or damage it
// worked around. The core shows none of it: the command line prints Error, the desktop program
// shows Message in a message box.
struct TMountNote {
  TError Error;          // the structure, the field and its value
  bool Stopped = false;  // the volume did not mount because of it
  std::string Message;   // the desktop program's text; empty when it shows none (quiet mounts too)
  std::string Caption;
  TMsgIcon Icon = TMsgIcon::Information;
};

enum TLostFlags : uint8_t { DriveLost = 1, DriveRebuilt = 2, DriveNoFAT = 4 };

class TCustomDrive {
 public:
  virtual ~TCustomDrive() = default;

  TDevice* Device = nullptr;
  std::string Name;
  uint8_t Lost = 0;
  uint64_t BootSector = 0;   // device-absolute
  uint64_t FirstSector = 0;  // device-absolute sector 0 of the volume
  uint64_t SectorCount = 0;  // as set by the creator; 0 when not known
  std::unique_ptr<TCustomDirectory> RootFolder;
  std::unique_ptr<TCustomDirectory> DeletedFolder;
  std::unique_ptr<TCustomDirectory> LostFolder;
  std::unique_ptr<TCustomDirectory> SearchFolder;
  TLostSearchReport LastLostSearch;  // filled by FindLostData
  // The program's progress window, for the slots that take none (SaveSelectedTo); may be null.
  TStatusDialog* Progress = nullptr;

  // What the last Mount found, in the order found; each Mount starts it afresh.
  std::vector<TMountNote> MountNotes;
  // The note that stopped the last Mount; nullptr when none did.
  const TMountNote* MountFailure() const;
  // Every note's error text joined by "; " (for logs and tests).
  std::string MountText() const;
  // Records a note; `message` is dropped for a quiet mount (a probe shows nothing).
  void AddMountNote(TError error, bool stopped, bool quiet, std::string message = {}, std::string caption = {},
                    TMsgIcon icon = TMsgIcon::Information);

  // Sectors of `bytesPerSector` bytes from the volume's first sector to the device's end; 0 when
  // the device's size is not known. A volume cannot be larger.
  uint64_t DeviceRoom(uint32_t bytesPerSector) const;
  // The note for a boot sector that claims `claimed` sectors where the device has `room`.
  static TError CutToDeviceWarning(const std::string& bootSector, uint64_t claimed, uint64_t room);
  // Bytes the volume covers (after any cut to its device); 0 when not known.
  virtual uint64_t VolumeBytes() const;
  // Where a byte of the volume lies on its device, from the device's first byte.
  uint64_t DeviceByte(uint64_t volumeByte) const;

  // Volume-relative read through the device.
  virtual bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) = 0;
  virtual bool Mount(bool quiet) = 0;
  // False when the search did not run (the range dialog was cancelled).
  virtual bool FindLostData(TStatusDialog* status) = 0;
  // The columns of the volume's listings, the name first.
  virtual std::vector<TListColumn> ListColumns() const = 0;
  // How the volume's listings order their rows.
  virtual TListOrder ListOrder() const { return {}; }
  // Whether a tree should offer to open a special folder (a quick look, as MayHaveSubfolders).
  virtual bool TopMayHaveSubfolders(TTreeKind tree);
  // What the volume preview shows: boot-sector fields and the root folder's live entries.
  virtual TPreviewFields Preview() { return {}; }
  // The items of the save dialog's read choice ("no FAT (consecutive)", "FAT 1", ...) and the one
  // preselected for the normal or the Deleted tree; none for file systems without a choice.
  virtual std::vector<std::string> ReadChoiceItems() const { return {}; }
  virtual int DefaultReadChoice(bool deletedView) const {
    (void)deletedView;
    return 0;
  }
  // The FAT copies a user picks from when opening the volume or viewing a file; none on volumes
  // without that choice (exFAT's FAT choice is the save's only, through ReadChoiceItems).
  virtual std::optional<uint32_t> ChoosableFATs() const { return std::nullopt; }
  // The FAT copy followed for live files: 0 none (consecutive clusters), 1..ChoosableFATs().
  virtual int FATChoice() const { return 0; }
  virtual void SetFATChoice(int choice) { (void)choice; }
  // Whether reading passes over the clusters the FAT marks bad.
  virtual void SetSkipBadClusters(bool skip) { (void)skip; }
  // Prepares the special folders' contents that are found by scanning (NTFS's Deleted tree).
  virtual void LoadSpecialFolders(TStatusDialog* status) { (void)status; }

  // "FAT12", "FAT16", "FAT32", "NTFS": for listings.
  virtual std::string FileSystemName() const = 0;
  virtual uint32_t BytesPerSector() const = 0;
  // The volume's allocation unit in bytes (cluster or block); 0 when not known.
  virtual uint32_t AllocationUnit() const { return 0; }
  // Whether the special folders exist (an NTFS volume that failed to mount has none).
  bool HasSpecialFolders() const { return RootFolder && DeletedFolder && LostFolder && SearchFolder; }

 protected:
  // Makes the four special folders with `make`, named and tied to this volume: Root and Deleted
  // (made with `root` true) read the root folder, Lost and Search start empty.
  void MakeSpecialFolders(const std::function<std::unique_ptr<TCustomDirectory>(bool root)>& make);
};

TTreeKind TreeOf(const TItem& item);

}  // namespace salvex
