#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/Model.h"
#include "ext/ExtBlockMap.h"
#include "ext/ExtJournal.h"
#include "ext/ExtStructures.h"

namespace salvex {

class TExtDirectory;

// What folders and files of an ext volume share: their inode, as read now or as a journal copy
// gave it back, and why they are not sound.
struct TExtNode {
  uint32_t Ino = 0;
  TExtInode Inode;
  bool FromJournal = false;      // Inode is an older copy found in the journal
  uint32_t JournalSequence = 0;  // the transaction of that copy
  std::string Problem;           // why the item is poor; empty when it is not
  // A lost folder read from its blocks found by content rather than through its inode.
  std::vector<uint64_t> FoundBlocks;
  // A lost file found by its content: its first block (its data is the free blocks from there).
  uint64_t CarvedBlock = 0;
  // Deleted, but the inode bitmap still gives the inode out (the orphan list of a file deleted
  // while open): the blocks in use are its own.
  bool OwnsBlocks = false;
};

class TExtdrive : public TCustomDrive {
 public:
  TExtdrive();
  ~TExtdrive() override;

  TExtSuperblock Sb;
  std::vector<TExtGroup> Groups;
  bool UsedBackupSuper = false;
  std::string SuperProblem;  // why the first superblock was not used, or why mounting failed
  bool GroupChecksumsOk = true;

  // TCustomDrive
  bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) override;
  bool Mount(bool quiet) override;
  bool FindLostData(TStatusDialog* status) override;
  std::vector<TListColumn> ListColumns() const override;
  bool TopMayHaveSubfolders(TTreeKind tree) override;
  TListOrder ListOrder() const override { return {true, false}; }
  std::string FileSystemName() const override { return Sb.BlockSize ? Sb.Flavour() : "ext4"; }
  uint32_t BytesPerSector() const override;
  uint32_t AllocationUnit() const override { return Sb.BlockSize; }
  uint64_t VolumeBytes() const override { return Sb.BlocksCount * Sb.BlockSize; }

  // Volume-relative bytes; false when the device cannot give them.
  bool ReadBytes(uint64_t offset, size_t length, uint8_t* out);
  bool ReadBlock(uint64_t block, std::vector<uint8_t>& out);
  // The inode's bytes on the volume (its table block and the offset in it); false for a number
  // outside the volume or a group whose table was never written.
  // `unusedToo`: also in a group whose table the volume never initialised (a former volume's
  // inodes may still be there).
  bool InodePlace(uint32_t ino, uint64_t& block, size_t& offset, bool unusedToo = false) const;
  bool ReadInode(uint32_t ino, TExtInode& inode, bool unusedToo = false);
  // Whether the block bitmap gives the block to a file (or to metadata); unknown bitmaps say false.
  bool BlockInUse(uint64_t block);
  // Whether the inode bitmap gives the inode to a file; unknown bitmaps say false.
  bool InodeInUse(uint32_t ino);
  // Lost folders the lost-data search found by content: the inode "." names -> their blocks.
  std::unordered_map<uint32_t, std::vector<uint64_t>> FoundFolders;
  // The runs of an item's data, its tree blocks read through `read` (disk, or older copies).
  TExtMap MapOf(const TExtNode& node, const TExtBlockReader& read);
  TExtMap MapOf(const TExtNode& node);
  // The reader for the tree blocks of a node: a journal copy gives the tree as it was then.
  TExtBlockReader TreeReader(const TExtNode& node);
  // Whether a block of the volume belongs to its internal journal (its map is read on first use).
  bool JournalHolds(uint64_t block);
  // The journal, read on first use; null when the volume has none or it cannot be read.
  const TExtJournal* Journal();
  std::string JournalProblem;
  // For a deleted inode whose map was cleared: the newest journal copy of its table block in
  // which it was live with the same generation. False when the journal holds none.
  bool RecoverFromJournal(TExtNode& node);
  // Reads an inode for a listing: the node, with Problem set for a bad checksum.
  TExtNode NodeOf(uint32_t ino);
  // The directory entries of a folder, in order; gaps too when `deleted`.
  std::vector<TExtDirEntry> ReadDirectory(const TExtNode& dir, bool deleted);
  // The most bytes any file on the volume can have.
  uint64_t MaxFileBytes() const { return VolumeBytes(); }

  TExtDirectory* Root() const;
  TExtDirectory* DeletedRoot() const;
  void CreateSpecialFolders();

 private:
  bool ReadSuperblockAt(uint64_t offset, TExtSuperblock& sb, std::string& why);
  bool ReadGroupDescriptors(std::string& why);
  bool FindBackupSuperblock(std::string& why);
  std::unordered_map<uint64_t, std::vector<uint8_t>> inodeBlocks_;  // a small cache of inode table blocks
  std::vector<uint8_t> inodeRun_;
  std::vector<std::vector<uint8_t>> bitmaps_;
  std::vector<bool> bitmapRead_;
  std::vector<std::vector<uint8_t>> inodeBitmaps_;
  std::vector<bool> inodeBitmapRead_;
  std::unique_ptr<TExtJournal> journal_;
  std::optional<TExtMap> journalMap_;
  bool journalTried_ = false;
};

// The factory for the drive list.
std::unique_ptr<TCustomDrive> NewExtDrive();
// Whether a volume's byte 1024 holds an ext superblock signature (probing; no validation).
bool HasExtSuperblockSignature(std::span<const uint8_t> bytesFrom1024);

}  // namespace salvex
