#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace salvex {

namespace ext {
constexpr uint16_t kMagic = 0xEF53;
constexpr uint64_t kSuperblockOffset = 1024;
constexpr size_t kSuperblockSize = 1024;
constexpr uint32_t kRootInode = 2;
constexpr uint32_t kJournalInode = 8;

constexpr uint32_t kIncompatCompression = 0x1;
constexpr uint32_t kIncompatFiletype = 0x2;
constexpr uint32_t kIncompatRecover = 0x4;
constexpr uint32_t kIncompatJournalDev = 0x8;
constexpr uint32_t kIncompatMetaBg = 0x10;
constexpr uint32_t kIncompatExtents = 0x40;
constexpr uint32_t k64Bit = 0x80;
constexpr uint32_t kIncompatDirData = 0x1000;
constexpr uint32_t kIncompatCsumSeed = 0x2000;
constexpr uint32_t kIncompatInlineData = 0x8000;
constexpr uint32_t kIncompatEncrypt = 0x10000;
// Everything this reader understands; other bits refuse the volume.
constexpr uint32_t kIncompatKnown = 0x2 | 0x4 | 0x10 | 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x2000 | 0x4000 |
                                    0x8000 | 0x10000 | 0x20000;
constexpr uint32_t kCompatHasJournal = 0x4;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
constexpr uint32_t kRoCompatHugeFile = 0x8;
constexpr uint32_t kRoCompatGdtCsum = 0x10;
constexpr uint32_t kRoCompatBigalloc = 0x200;
constexpr uint32_t kRoCompatMetadataCsum = 0x400;

constexpr uint32_t kFlagEncrypt = 0x800;
constexpr uint32_t kFlagIndex = 0x1000;
constexpr uint32_t kFlagHugeFile = 0x40000;
constexpr uint32_t kFlagExtents = 0x80000;
constexpr uint32_t kFlagInlineData = 0x10000000;

constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeFifo = 0x1000;
constexpr uint16_t kModeChar = 0x2000;
constexpr uint16_t kModeDir = 0x4000;
constexpr uint16_t kModeBlock = 0x6000;
constexpr uint16_t kModeFile = 0x8000;
constexpr uint16_t kModeLink = 0xA000;
constexpr uint16_t kModeSocket = 0xC000;
}  // namespace ext

// CRC-32C (Castagnoli) without the final inversion, as ext4 and jbd2 chain their checksums.
uint32_t Crc32c(uint32_t crc, std::span<const uint8_t> bytes);

// The superblock fields the reader uses, validated.
struct TExtSuperblock {
  uint64_t InodesCount = 0;
  uint64_t BlocksCount = 0;
  uint32_t FirstDataBlock = 0;
  uint32_t BlockSize = 0;  // 1 KiB .. 64 KiB
  uint32_t ClusterRatio = 1;  // blocks per allocation unit (bigalloc)
  uint32_t BlocksPerGroup = 0;
  uint32_t InodesPerGroup = 0;
  uint32_t RevLevel = 0;
  uint32_t FirstInode = 11;
  uint16_t InodeSize = 128;
  uint16_t BlockGroupNr = 0;
  uint16_t DescSize = 32;
  uint32_t FeatureCompat = 0, FeatureIncompat = 0, FeatureRoCompat = 0;
  uint8_t Uuid[16] = {};
  std::string VolumeName;
  uint32_t JournalInode = 0;
  uint32_t FirstMetaBg = 0;
  uint32_t LastOrphan = 0;
  uint32_t ChecksumSeed = 0;  // for metadata_csum: stored or derived from the UUID
  bool ChecksumOk = true;     // the superblock's own checksum (metadata_csum only)
  uint64_t GroupCount = 0;

  bool Has64Bit() const { return FeatureIncompat & ext::k64Bit; }
  bool MetadataCsum() const { return FeatureRoCompat & ext::kRoCompatMetadataCsum; }
  bool HasJournal() const { return FeatureCompat & ext::kCompatHasJournal; }
  // "ext2", "ext3" or "ext4" as the tools call a volume with these features.
  std::string Flavour() const;
};

// A superblock of 1024 bytes; false with the reason when it is not one this reader can use.
bool ParseExtSuperblock(std::span<const uint8_t> bytes, TExtSuperblock& sb, std::string& why);
// Whether a group keeps a backup of the superblock and descriptors (sparse_super: 0, 1, powers of 3, 5, 7).
bool ExtGroupHasSuper(const TExtSuperblock& sb, uint64_t group);

struct TExtGroup {
  uint64_t BlockBitmap = 0;
  uint64_t InodeBitmap = 0;
  uint64_t InodeTable = 0;
  uint16_t Flags = 0;  // 1: inode table not initialised, 2: block bitmap not initialised
  bool ChecksumOk = true;
  bool TableUnusable = false;  // the inode table lies outside the volume
};
TExtGroup ParseExtGroup(std::span<const uint8_t> desc, const TExtSuperblock& sb, uint64_t group);

// An inode as stored, decoded.
struct TExtInode {
  uint16_t Mode = 0;
  uint64_t Size = 0;
  uint16_t Links = 0;
  uint32_t Flags = 0;
  uint32_t Generation = 0;
  uint32_t Dtime = 0;
  uint64_t Blocks = 0;  // i_blocks as stored (512-byte units unless huge_file says otherwise)
  uint64_t FileAcl = 0;
  std::optional<timespec> Atime, Mtime, Ctime, Crtime;
  uint8_t Block[60] = {};  // block map, extent tree root, inline data or a fast link's target
  std::vector<uint8_t> InlineXattr;  // the "system.data" value of inline data, when present
  bool ChecksumOk = true;

  uint16_t Type() const { return Mode & ext::kModeTypeMask; }
  bool IsDir() const { return Type() == ext::kModeDir; }
  bool IsLink() const { return Type() == ext::kModeLink; }
  bool IsRegular() const { return Type() == ext::kModeFile; }
  bool Deleted() const { return Links == 0 || Dtime != 0; }
  bool UsesExtents() const { return Flags & ext::kFlagExtents; }
  bool HasInlineData() const { return Flags & ext::kFlagInlineData; }
  // A link whose target is kept in the block area rather than in a data block.
  bool FastLink() const;
};
// The inode `number` from its on-disk bytes (the volume's inode size).
TExtInode ParseExtInode(std::span<const uint8_t> bytes, const TExtSuperblock& sb, uint32_t number);
// Seconds and nanoseconds from the 32-bit time and its extra field (2 epoch bits, 30 bits of ns).
timespec ExtTime(uint32_t seconds, uint32_t extra, bool hasExtra);

// One directory entry.
struct TExtDirEntry {
  uint32_t Inode = 0;
  uint8_t FileType = 0;  // 1 file, 2 dir, 7 link...; 0 when the volume has no filetype feature
  std::string Name;      // the bytes as stored
  size_t Offset = 0;     // in the directory's bytes
  bool Deleted = false;  // found in the gap after a live entry
};
// The entries of one directory block (or inline area). `gaps` also yields the entries still
// standing in the space a live entry took over when they were deleted.
std::vector<TExtDirEntry> ParseExtDirBlock(std::span<const uint8_t> block, const TExtSuperblock& sb, bool gaps,
                                           size_t baseOffset = 0);
// The name as UTF-8: valid UTF-8 as it is, other bytes as \xNN escapes.
std::string ExtNameText(const std::string& raw);

}  // namespace salvex
