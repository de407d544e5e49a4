#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "devices/Model.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

class TStatusDialog;

// FILETIME (100 ns since 1601, UTC) to a DOS date and time in local time; both 0 when it does not
// convert.
void FileTimeToDos(uint64_t fileTime, uint16_t& date, uint16_t& time);

// A file of an NTFS volume: one with an MFT record (listed from an index or found deleted), or one
// found by the cluster scan (MFTNumber < 0), read as consecutive clusters from StartCluster.
class TNTFSFile : public TCustomFile {
 public:
  // The small fields side by side: a Deleted tree holds one of these per deleted file.
  uint32_t Attributes = 0;  // $FILE_NAME flags
  uint16_t Time = 0;
  uint16_t Date = 0;
  int64_t MFTNumber = 0;    // < 0: found by the cluster scan; 0: no source
  int64_t StartCluster = 0;
  // A file of a former MFT found by the lost-data search: the volume byte offset of its record
  // (MFTNumber is then the former number); 0 for a record of the current $MFT.
  uint64_t RecordOffset = 0;
  uint64_t ModificationTime = 0;  // FILETIME of the entry, applied to the saved file
  // From the entry's flags: compressed data reads decompressed; encrypted data (EFS) can only be
  // read as stored, so saving it does not give the file's contents.
  bool Compressed = false;
  bool Encrypted = false;
  // A deleted file's clusters that the volume bitmap gives to other files now (saturating).
  uint32_t ReusedClusters = 0;

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  bool Rename(const std::string& newName) override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;
  TFileMeta Meta() const override;
  // The name of the $DATA attribute that holds the bytes: empty for the file's unnamed data.
  virtual std::u16string_view DataName() const { return {}; }

  // From a pool of slots without a heap header each: a Deleted tree of a million-record volume
  // holds hundreds of thousands of these at once.
  static void* operator new(size_t size);
  static void operator delete(void* p, size_t size) noexcept;
};

// An MFT record found in a free cluster, whose data is resident inside it.
class TNTFSMFTFile : public TCustomFile {
 public:
  uint32_t DataOffset = 0;  // of the resident data inside its cluster
  uint64_t Cluster = 0;

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  bool Rename(const std::string& newName) override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  std::unique_ptr<TDataStream> OpenViewData(const TReadChoice& choice) override;
  std::optional<TClusterField> ClusterField() const override;
  void SetClusterField(uint32_t cluster) override;
  TFileMeta Meta() const override;
};

// Read-only byte streams over NTFS data for the viewer. Read never goes past Size.
class TNTFSReadStream {
 public:
  enum Origin { FromBeginning = 0, FromCurrent = 1, FromEnd = 2 };
  virtual ~TNTFSReadStream() = default;
  virtual uint64_t Read(uint8_t* buffer, uint64_t count) = 0;
  // The new position; positions are clamped to 0..Size.
  int64_t Seek(int64_t offset, Origin origin);
  // Why some bytes read so far are not the file's (for example a damaged compression unit given as
  // zeros); empty while every read was whole.
  virtual std::string Failure() const { return {}; }
  uint64_t Position = 0;
  uint64_t Size = 0;

 protected:
  explicit TNTFSReadStream(TNTFSdrive& drive) : Drive(drive) {}
  TNTFSdrive& Drive;
};

// The unnamed (or a named) $DATA of a record; holes read as zeros.
class TNTFSStream : public TNTFSReadStream {
 public:
  // A record of the current $MFT, or with recordOffset a former record found by the lost-data search.
  TNTFSStream(TNTFSdrive& drive, uint64_t size, uint64_t reference, uint64_t recordOffset = 0,
              std::u16string_view stream = {});
  uint64_t Read(uint8_t* buffer, uint64_t count) override;
  std::string Failure() const override { return DataPos.Failure; }
  uint64_t Reference;
  TNTFSDataPos DataPos;
};

// Resident data of a record found in a free cluster: Size bytes from Base bytes into Cluster.
class TNTFSMFTStream : public TNTFSReadStream {
 public:
  TNTFSMFTStream(TNTFSdrive& drive, uint32_t base, uint64_t size, uint64_t cluster);
  uint64_t Read(uint8_t* buffer, uint64_t count) override;
  uint64_t Cluster;
  uint32_t Base;
};

// Consecutive clusters from Cluster on (files found by the cluster scan).
class TNTFSContiguousStream : public TNTFSReadStream {
 public:
  TNTFSContiguousStream(TNTFSdrive& drive, uint64_t size, uint64_t cluster);
  uint64_t Read(uint8_t* buffer, uint64_t count) override;
  uint64_t Cluster;
};

// The stream the viewer opens for a list row of an NTFS volume; none for other objects.
std::unique_ptr<TNTFSReadStream> OpenNTFSStream(TNTFSdrive& drive, const TItem& item);
// The same as the data every volume's viewer reads.
std::unique_ptr<TDataStream> NTFSViewStream(TCustomDrive* volume, const TItem& item);

}  // namespace salvex
