#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/Model.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/RunList.h"

namespace salvex {

class TStatusDialog;
class TNTFSDirectory;
class TNTFSFile;
class TFoundMFT;

// One attribute as read from a record and, through an attribute list, from its other records: the
// resident value, or the runs of every extent in VCN order.
struct TNTFSAttribute {
  uint32_t Type = 0;
  bool Resident = true;
  uint16_t Flags = 0;
  std::vector<uint8_t> Value;     // resident value
  std::vector<ntfs::TRun> Runs;   // non-resident
  uint64_t DataSize = 0;          // bytes of content (resident: the value's length)
  uint64_t AllocatedSize = 0;
  uint64_t InitializedSize = 0;
  uint8_t CompressionUnit = 0;    // log2 of clusters per compression unit; 0 = stored as is
  uint64_t Size() const { return Resident ? Value.size() : DataSize; }
};

class TNTFSDecoder;

// Read position over a file's unnamed $DATA. The attribute is loaded once when opened, instead of
// re-reading the record for every piece. Compressed data (NTFS compression or the Windows Overlay
// Filter) is read through a decoder and Size is the decoded length; encrypted data reads as stored.
struct TNTFSDataPos {
  uint64_t Reference = 0;  // MFT record number
  uint64_t Position = 0;
  uint64_t Size = 0;
  bool Opened = false;
  bool Compressed = false;
  bool Encrypted = false;
  TNTFSAttribute Data;
  std::shared_ptr<TNTFSDecoder> Decoder;  // none: the bytes are read as stored
  // Why some bytes delivered are not the file's (a damaged compression unit, an unsupported
  // method); empty while every read was whole. DamagedUnits counts the units given as zeros.
  std::string Failure;
  uint64_t DamagedUnits = 0;
};

// An NTFS volume read from raw sectors: boot sector, MFT records, attributes and run lists.
class TNTFSdrive : public TCustomDrive {
 public:
  TNTFSdrive();
  ~TNTFSdrive() override;

  // Geometry from the boot sector.
  uint32_t SectorSize = 512;  // the volume's bytes per sector
  uint32_t SectorsPerCluster = 0;
  uint32_t ClusterSize = 0;
  uint64_t VolumeSectors = 0;
  // Bytes the volume holds: no file on it can be larger.
  uint64_t VolumeBytes() const override { return VolumeSectors * SectorSize; }
  uint64_t MFTStartLcn = 0;
  uint64_t MFTMirrStartLcn = 0;
  uint32_t BytesPerFileRecord = 0;
  uint32_t BytesPerIndexRecord = 0;
  std::vector<uint8_t> BootSectorBytes;
  std::vector<uint8_t> MFTRecord;  // the $MFT's own record, fixed up
  TNTFSAttribute MFTData;          // the $MFT's $DATA: where every record lies
  // Why the last Mount failed, for front ends; empty after a successful mount.
  std::string MountError;
  // Sectors that could not be read and were delivered as zeros since the volume was mounted.
  uint64_t UnreadableSectors = 0;
  // Structures (index, record, parent chain) skipped because reading them failed unexpectedly since
  // the volume was mounted; each is logged at level 1 with what was skipped.
  uint64_t CorruptStructures = 0;
  void NoteCorrupt(const std::string& what, const std::exception& error);

  bool ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) override;
  bool Mount(bool quiet) override;
  // The cluster scan for lost data is not part of this volume class yet.
  bool FindLostData(TStatusDialog* status) override;
  TSpecialNodes ScanDrive(TTreeView& tree, TStatusDialog* status) override;
  void SetupListColumns(TListView& list) override;
  void LoadSpecialFolders(TStatusDialog* status) override;
  std::string FileSystemName() const override { return "NTFS"; }
  uint32_t BytesPerSector() const override { return SectorSize; }
  uint32_t AllocationUnit() const override { return ClusterSize; }

  // Applies the boot sector's fields; false with MountError set when the volume is not usable.
  bool ApplyBootSector(std::span<const uint8_t> boot);

  // Reads `length` bytes at a volume byte offset. Sectors that cannot be read come back as zeros
  // and are counted; false when any could not be read.
  bool ReadVolumeBytes(uint64_t offset, uint64_t length, uint8_t* buffer);
  // `count` clusters from `lcn` on.
  bool ReadClusters(int64_t lcn, uint64_t count, uint8_t* buffer);

  // Number of records the $MFT's data holds.
  uint64_t MFTRecordCount() const;
  // Record n, fixed up, into `record` (resized to BytesPerFileRecord). False when it lies outside
  // the $MFT or could not be read (the buffer then holds zeros for the unread part).
  bool ReadMFTRecord(uint64_t n, std::vector<uint8_t>& record);
  // The records of former MFTs the last lost-data search found; its found files read through them.
  std::shared_ptr<const TFoundMFT> FoundRecords;
  // While set (see TFoundRecordScope), ReadMFTRecord reads these records instead of the $MFT's.
  const TFoundMFT* ReadingFoundRecords = nullptr;
  // Fixes up one record or index block read from disk; a mismatch leaves it as read and is logged.
  void FixupRecord(std::span<uint8_t> record, uint64_t where);

  // The unnamed (or named) attribute of a type of the record `recordNumber` whose bytes are given,
  // following its $ATTRIBUTE_LIST into other records and joining the extents of a non-resident
  // attribute. False when it does not exist.
  bool LoadAttribute(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                     std::u16string_view name, TNTFSAttribute& out);
  // The preferred $FILE_NAME value of a record (Win32, then POSIX, then DOS), searched through its
  // attribute list as well; a copy, so it stays valid.
  std::optional<std::vector<uint8_t>> FindFileName(std::span<const uint8_t> record, uint64_t recordNumber);

  // Bytes of an attribute's content from `offset`; holes and the part past the initialised size
  // read as zeros. Returns the number of bytes delivered (cut at the content's size).
  uint64_t ReadAttributeBytes(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, uint8_t* buffer,
                              bool* complete = nullptr);
  // Where bytes of a non-resident attribute from `offset` lie in the device's plain image file, as
  // far as they lie there in one piece: allocated, initialised and inside the volume. False where
  // they must be read.
  bool PlainExtent(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, TPlainExtent& extent);
  // Bytes from consecutive clusters starting at `startCluster`, for files found without a record.
  bool ReadContiguous(uint8_t* buffer, uint64_t count, uint64_t position, uint64_t startCluster);
  // Bit n of a bitmap attribute (cluster or record in use).
  bool TestBitmapBit(const TNTFSAttribute& bitmap, uint64_t n);

  bool OpenDataPos(TNTFSDataPos& pos, uint64_t size, uint64_t recordNumber);
  // Up to `count` bytes from the position; false when the data cannot be found or read fully.
  bool ReadDataPos(TNTFSDataPos& pos, uint64_t count, uint64_t& delivered, uint8_t* buffer);
  bool SeekDataPos(TNTFSDataPos& pos, uint64_t position);

  // Deleted entries: the walk over the records the $MFT bitmap marks free.
  void FindDeleted(TStatusDialog* status);
  // The volume bitmap ($Bitmap's data, bit n for cluster n), loaded once; null when it cannot be read.
  const std::vector<uint8_t>* VolumeBitmap() { return LoadVolumeBitmap() ? &*volumeBitmap_ : nullptr; }
  // 0 not judged, 1 good (the first cluster is free), 2 poor (in use again, or unreachable).
  uint8_t DataCondition(const TNTFSAttribute* data);
  // The folder of the Deleted tree that stands for record p (pre-order, the last one met).
  TNTFSDirectory* FindDirectoryNode(TNTFSDirectory* top, uint64_t p);
  // The rebuilt former parent of an entry whose $FILE_NAME is `name`.
  TNTFSDirectory* RebuildParent(const ntfs::TFileNameView& name);

  TNTFSDirectory* Root() const;
  TNTFSDirectory* Deleted() const;

 private:
  friend class TNTFSFile;
  void CreateSpecialFolders();
  bool SetupMFT();
  void ReadVolumeLabel();
  bool LoadVolumeBitmap();
  TNTFSDirectory* RebuildParentFrom(const ntfs::TFileNameView& name, std::vector<uint64_t>& path);
  TNTFSDirectory* DeletedNode(uint64_t number);
  void FileDeletedRecord(uint64_t number, std::span<const uint8_t> record);
  // LoadAttribute's steps: the $ATTRIBUTE_LIST value (resident, or read through its run list; false
  // when it is implausibly large), then the pieces it names, from this record or extension records.
  bool ReadAttributeListValue(const ntfs::TAttrView& list, std::vector<uint8_t>& bytes);
  bool CollectListedPieces(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                           std::u16string_view name, std::span<const uint8_t> listBytes, TNTFSAttribute& out);

  // Folders of the Deleted tree by record number while the deleted walk builds it (the last one
  // added for a number wins, as in a pre-order search of the tree).
  std::unordered_map<uint64_t, TNTFSDirectory*> deletedNodes_;

  std::vector<uint8_t> sectorScratch_;
  // One aligned piece of the $MFT, so that neighbouring records cost one read.
  std::vector<uint8_t> mftCache_;
  uint64_t mftCacheStart_ = UINT64_MAX;
  uint64_t mftCacheLength_ = 0;
  // The volume bitmap ($Bitmap's data), loaded once for the condition of deleted entries.
  std::optional<std::vector<uint8_t>> volumeBitmap_;
  bool volumeBitmapTried_ = false;
};

// The volume class the drive list creates for NTFS partitions.
std::unique_ptr<TCustomDrive> NewNTFSDrive();

}  // namespace salvex
