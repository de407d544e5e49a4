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
#include "ntfs/NTFSAttributeReader.h"
#include "ntfs/NTFSDeletedTree.h"
#include "ntfs/RunList.h"

namespace salvex {

class TStatusDialog;
class TNTFSDirectory;
class TNTFSFile;
class TFoundMFT;

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
  std::vector<TListColumn> ListColumns() const override;
  bool TopMayHaveSubfolders(TTreeKind tree) override;
  TPreviewFields Preview() override;
  TListOrder ListOrder() const override { return {false, true}; }
  // Builds the Deleted tree (a walk over every free record of the $MFT). Only what shows deleted
  // items asks for it, here or through the Deleted folder's children; the other commands never do.
  void LoadSpecialFolders(TStatusDialog* status) override;
  std::string FileSystemName() const override { return "NTFS"; }
  uint32_t BytesPerSector() const override { return SectorSize; }
  uint32_t AllocationUnit() const override { return ClusterSize; }

  // Applies the boot sector's fields; false with a mount note saying why when the volume is not usable.
  bool ApplyBootSector(std::span<const uint8_t> boot);
  // Records why the boot sector stops the mount.
  void Stop(std::string why);

  // Reads `length` bytes at a volume byte offset. Sectors that cannot be read come back as zeros
  // and are counted; false when any could not be read.
  bool ReadVolumeBytes(uint64_t offset, uint64_t length, uint8_t* buffer);
  // `count` clusters from `lcn` on.
  bool ReadClusters(int64_t lcn, uint64_t count, uint8_t* buffer);

  // Number of records the $MFT's data holds.
  uint64_t MFTRecordCount() const;
  // Record n, fixed up, into `record` (resized to BytesPerFileRecord). False when it lies outside
  // the $MFT or could not be read (the buffer then holds zeros for the unread part). With `alone` a
  // record outside the cached piece of the $MFT is read by itself and the piece kept: for records
  // met one by one far apart (the folders of a listing), which would each cost a whole piece.
  bool ReadMFTRecord(uint64_t n, std::vector<uint8_t>& record, bool alone = false);
  // The records of former MFTs the last lost-data search found; its found files read through them.
  std::shared_ptr<const TFoundMFT> FoundRecords;
  // While set (see TFoundRecordScope), ReadMFTRecord reads these records instead of the $MFT's.
  const TFoundMFT* ReadingFoundRecords = nullptr;
  // Fixes up one record or index block read from disk; a mismatch leaves it as read and is logged.
  void FixupRecord(std::span<uint8_t> record, uint64_t where);

  // The attribute reader and the Deleted tree builder of this volume; the forwarders below keep the
  // volume the one entry point of its readers.
  TNTFSAttributeReader& Attributes() { return attributes_; }
  TNTFSDeletedTree& DeletedTree() { return deletedTree_; }

  bool LoadAttribute(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                     std::u16string_view name, TNTFSAttribute& out) {
    return attributes_.LoadAttribute(record, recordNumber, type, name, out);
  }
  std::optional<std::vector<uint8_t>> FindFileName(std::span<const uint8_t> record, uint64_t recordNumber) {
    return attributes_.FindFileName(record, recordNumber);
  }
  uint64_t ReadAttributeBytes(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, uint8_t* buffer,
                              bool* complete = nullptr) {
    return attributes_.ReadAttributeBytes(attr, offset, count, buffer, complete);
  }
  bool PlainExtent(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, TPlainExtent& extent) {
    return attributes_.PlainExtent(attr, offset, count, extent);
  }
  bool ReadContiguous(uint8_t* buffer, uint64_t count, uint64_t position, uint64_t startCluster) {
    return attributes_.ReadContiguous(buffer, count, position, startCluster);
  }
  bool OpenDataPos(TNTFSDataPos& pos, uint64_t size, uint64_t recordNumber, std::u16string_view stream = {}) {
    return attributes_.OpenDataPos(pos, size, recordNumber, stream);
  }
  bool ReadDataPos(TNTFSDataPos& pos, uint64_t count, uint64_t& delivered, uint8_t* buffer) {
    return attributes_.ReadDataPos(pos, count, delivered, buffer);
  }
  bool SeekDataPos(TNTFSDataPos& pos, uint64_t position) { return attributes_.SeekDataPos(pos, position); }

  void FindDeleted(TStatusDialog* status) { deletedTree_.FindDeleted(status); }
  const std::vector<uint8_t>* VolumeBitmap() { return deletedTree_.VolumeBitmap(); }
  uint8_t DataCondition(const TNTFSAttribute* data, uint64_t* reused = nullptr) {
    return deletedTree_.DataCondition(data, reused);
  }
  TNTFSDirectory* RebuildParent(const ntfs::TFileNameView& name) { return deletedTree_.RebuildParent(name); }

  TNTFSDirectory* Root() const;
  TNTFSDirectory* Deleted() const;

 private:
  friend class TNTFSFile;
  void CreateSpecialFolders();
  bool SetupMFT();
  void ReadVolumeLabel();

  TNTFSAttributeReader attributes_{*this};
  TNTFSDeletedTree deletedTree_{*this};

  std::vector<uint8_t> sectorScratch_;
  // One aligned piece of the $MFT, so that neighbouring records cost one read.
  std::vector<uint8_t> mftCache_;
  uint64_t mftCacheStart_ = UINT64_MAX;
  uint64_t mftCacheLength_ = 0;
};

// The volume class the drive list creates for NTFS partitions.
std::unique_ptr<TCustomDrive> NewNTFSDrive();

}  // namespace salvex
