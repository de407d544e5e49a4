#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace salvex {

class TDriveList;

class TCustomDrive;
class TDevice;
class TLostDriveAnalyser;
struct TPartitionEntry;

// How many bytes of a volume's start a probe is shown: room for a boot sector of any size and for
// a superblock at byte 1024. Fewer when the volume or device is shorter, so probes check the size.
constexpr size_t kVolumeHeadBytes = 4096;

// Where the lost-drive search met a file system's announcing structure (see TLostVolumeRecogniser).
struct TLostVolumeSite {
  TDevice& Device;
  // From the announcing structure on to the end of the search window (at least 512 bytes).
  std::span<const uint8_t> Structure;
  // The device sector the volume starts at if the structure is its primary copy.
  uint64_t Sector = 0;
  // Whether a volume of the search already starts at a device sector (volumes the FAT analyser
  // rebuilt do not count: a real boot sector wins over them).
  std::function<bool(uint64_t firstSector)> Listed;
  // The volumes listed so far (from the partition tables and by the search), for a file system
  // that can tell a copy inside one of them (an ext journal's copy of its superblock).
  const TDriveList* Drives = nullptr;
};

// What the lost-drive search needs to tell a volume's start and size from a sector of the device.
struct TLostVolumeRecogniser {
  // Byte offset from the volume's start of the structure that announces the volume: 0 for a boot
  // sector, 1024 for a superblock there.
  uint32_t Offset = 0;
  // Whether `structure` (the bytes from that offset on, at least 512) announces a volume.
  bool (*Announces)(std::span<const uint8_t> structure) = nullptr;
  // Where the announced volume starts and how many device sectors it covers (0 = unknown; the
  // search keeps it within the device). Returns false when the structure is a backup copy of a
  // volume already listed, so that it does not become a second volume.
  bool (*Place)(const TLostVolumeSite& site, uint64_t& firstSector, uint64_t& sectorCount) = nullptr;
  // Finds volumes from other structures than the announcing one (FAT: its FATs and folders); none
  // for most file systems.
  std::unique_ptr<TLostDriveAnalyser> (*NewAnalyser)() = nullptr;
};

// One file system Salvex opens. An entry is made by a function in the file system's own folder
// (e.g. FATFileSystem() in fat/FATFileSystem.h) and listed once in recovery/FileSystems.cpp.
struct TFileSystem {
  std::string Name;  // "FAT", "NTFS", "exFAT"
  // Whether a volume starts with `head` (its first kVolumeHeadBytes, or fewer). Probes of different
  // entries never accept the same head.
  bool (*Probe)(std::span<const uint8_t> head) = nullptr;
  // The sector size in bytes that a head the probe accepted gives; 0 when it gives none. Tells the
  // sector size of a disk whose partition table does not.
  uint32_t (*SectorSize)(std::span<const uint8_t> head) = nullptr;
  // MBR type bytes under which this file system is looked for (by its probe).
  std::vector<uint8_t> MBRTypes;
  // Opens a partition of one of its MBR types even when no probe accepts its start: the type byte
  // alone says what it is, and mounting reports the damage (FAT's DOS types, NTFS's 0x07). Not for
  // types that other file systems share unlisted (Linux 0x83 also holds XFS, Btrfs, ...).
  bool OpensByMBRType = false;
  // GPT partition type GUIDs (upper-case text as GuidText gives it) that may hold this file system;
  // a GPT partition opens only through a probe, since these types are shared.
  std::vector<std::string> GPTTypes;
  // Also probed on partitions of any type when the entries listing the type did not take it (exFAT
  // has no partition type of its own).
  bool ProbeAnyPartition = false;
  // Opens a whole device whose start no probe accepts (a floppy with a damaged boot sector is still
  // a FAT volume). One entry at most.
  bool OpensUnrecognisedDevice = false;
  // Makes an unmounted volume object.
  std::unique_ptr<TCustomDrive> (*Open)() = nullptr;
  TLostVolumeRecogniser Lost;
  // Reads a file record of this file system that holds its file's data, found at the start of
  // `bytes` in another volume's clusters (this volume formatted over): the name (at most
  // maxNameChars characters), the data's length and its offset from the start of `bytes`. None for
  // file systems without such records.
  bool (*ParseLostRecord)(std::span<const uint8_t> bytes, size_t maxNameChars, std::string& name, uint32_t& size,
                          uint32_t& offset) = nullptr;
};

// The one table of file systems, in probing order. Defined in recovery/FileSystems.cpp, the layer
// that may see every file system's folder; the device layer uses it only through this header.
std::span<const TFileSystem> FileSystems();

// The entry whose probe accepts `head`; else nullptr.
const TFileSystem* ProbeFileSystem(std::span<const uint8_t> head);
// The entry that opens a whole device whose start is `head`: the probe's choice, else the entry
// that opens unrecognised devices.
const TFileSystem* FileSystemForDevice(std::span<const uint8_t> head);
// The entry that opens a partition of the walk (reads its start as needed); nullptr for extended,
// empty and unknown entries.
const TFileSystem* FileSystemForPartition(TDevice& device, const TPartitionEntry& entry);
const TFileSystem* FindFileSystem(std::string_view name);
// A file record with its data inside, of whichever file system's ParseLostRecord reads the start
// of `bytes`; false when none does. Lets one file system's lost-data search list another's records.
bool ParseLostRecord(std::span<const uint8_t> bytes, size_t maxNameChars, std::string& name, uint32_t& size,
                     uint32_t& offset);

// Up to kVolumeHeadBytes from device sector `first`, no further than `sectorCount` sectors (0 = to
// the device's end); empty when the first sector cannot be read. Read errors are not shown.
std::vector<uint8_t> ReadVolumeHead(TDevice& device, uint64_t first, uint64_t sectorCount);
// `count` sectors of `bytesPerSector` bytes in device sectors; 0 when that does not fit in 64 bits.
uint64_t InDeviceSectors(const TDevice& device, uint64_t count, uint64_t bytesPerSector);

}  // namespace salvex
