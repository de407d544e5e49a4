#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace salvex {

class TNTFSdrive;

// What the search keeps of one file record found outside the current $MFT: where it lies and the
// few header fields the former tree is rebuilt from, not the record itself, so that a large volume
// costs a few dozen bytes per record.
struct TFoundRecord {
  uint64_t Offset = 0;     // volume byte offset of the record
  uint64_t Number = 0;     // the record's own number (from its header)
  uint64_t Lsn = 0;        // $LogFile sequence number of its last change
  uint64_t Base = 0;       // base record number of an extension record; 0 for a base record
  uint64_t Parent = 0;     // parent reference of its preferred $FILE_NAME (or an extension record's); 0 without one
  uint16_t Sequence = 0;
  uint16_t Flags = 0;      // in use, directory
};

// A folder named by an index entry found in a former index block or folder record: where a
// folder's record is gone, its name and parent still come from the index of the folder above.
struct TIndexedFolder {
  uint64_t Reference = 0;  // the folder's record number and sequence number
  uint64_t Parent = 0;     // parent reference of the entry's $FILE_NAME
  uint8_t Rank = 0;        // of its name space: Win32 first, then POSIX, then DOS
  std::string Name;        // UTF-8
};

// A file record at the start of `bytes` (at least `recordSize` of them): "FILE", an update sequence
// that matches, its own number in the header, sizes inside the record and attributes that pass
// their checks. The record is fixed up in a copy; `offset` only goes into the result.
std::optional<TFoundRecord> ParseFoundRecord(std::span<const uint8_t> bytes, uint32_t recordSize, uint64_t offset);

// The records of former MFTs found on a volume, one per record number once Finish has run: the
// newest copy wins (higher $LogFile sequence number, then higher sequence number, then the later
// place on the volume).
class TFoundMFT {
 public:
  TFoundMFT(uint32_t recordSize, std::vector<std::pair<uint64_t, uint64_t>> excluded);

  // Examines every `step` bytes of a block read from volume offset `offset`; records that start in
  // the first `scanned` bytes and lie wholly in the block are kept, with the folder entries of a
  // folder record's index root. Byte ranges given as excluded (the current $MFT) are passed over.
  void Examine(std::span<const uint8_t> block, uint64_t offset, uint64_t scanned, uint32_t step);
  // The folder entries of an index block ("INDX", update sequence matching) at the start of `bytes`.
  void ExamineIndexBlock(std::span<const uint8_t> bytes, uint32_t blockSize);
  void Finish();

  const std::vector<TFoundRecord>& Records() const { return records_; }
  // The winning copy of record `number`; null when none was found.
  const TFoundRecord* Find(uint64_t number) const;
  // Record `number` read again from the volume and fixed up; false when none was found or it no
  // longer reads as the record found.
  bool Read(TNTFSdrive& drive, uint64_t number, std::vector<uint8_t>& record) const;
  bool ReadAt(TNTFSdrive& drive, uint64_t offset, std::vector<uint8_t>& record) const;
  // The folder an index entry names by this reference (a sequence number of 0 matches any).
  const TIndexedFolder* FindIndexed(uint64_t reference) const;
  uint32_t RecordSize() const { return recordSize_; }

 private:
  bool Excluded(uint64_t offset, uint64_t& skipTo) const;
  // The folder entries of an index node, and of a folder record's resident index root.
  void CollectFolders(std::span<const uint8_t> entries);
  void CollectIndexRoot(std::span<const uint8_t> record);
  uint32_t recordSize_;
  std::vector<std::pair<uint64_t, uint64_t>> excluded_;  // [first, end) byte ranges, sorted
  std::vector<TFoundRecord> records_;
  std::vector<TIndexedFolder> indexed_;
};

// While alive, records named by number (extension records of an attribute list) are read from the
// found former MFT instead of the volume's current one.
class TFoundRecordScope {
 public:
  TFoundRecordScope(TNTFSdrive& drive, const TFoundMFT& found);
  ~TFoundRecordScope();
  TFoundRecordScope(const TFoundRecordScope&) = delete;
  TFoundRecordScope& operator=(const TFoundRecordScope&) = delete;

 private:
  TNTFSdrive& drive_;
  const TFoundMFT* previous_;
};

}  // namespace salvex
