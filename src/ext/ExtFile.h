#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/Model.h"
#include "ext/Extdrive.h"

namespace salvex {

// An ext file: a regular file, a symbolic link (its data is the target's text; a link is never
// followed), or a special file with no data.
class TExtFile : public TCustomFile {
 public:
  TExtNode Node;

  std::unique_ptr<TItem> Clone() const override;
  void Assign(const TItem& source) override;
  void AssignTo(TItem& target) const override;
  bool Rename(const std::string& newName) override;
  std::string GetPath(const TCustomDirectory* stop) const override;
  std::unique_ptr<TDataStream> OpenData(const TReadChoice& choice) override;
  TFileMeta Meta() const override;
  // An ext item's data is found through its inode, not from a first cluster.
  std::optional<TClusterField> ClusterField() const override { return TClusterField{false, 0}; }
  TItemHistory History() const override;

  TExtdrive* ExtDrive() const;
};

// A file's bytes along its runs: holes and unwritten extents read as zeros. For a deleted file,
// blocks the volume has given to another file since are not read (zeros, said in Damage).
class TExtFileData : public TDataStream {
 public:
  TExtFileData(TExtdrive& drive, TExtMap map, uint64_t size, bool deleted);
  // Data kept in the inode itself (inline data, fast links).
  TExtFileData(std::vector<uint8_t> inlineBytes, uint64_t size);
  uint64_t Size() const override { return size_; }
  size_t Read(uint8_t* buffer, size_t count) override;
  bool Seek(uint64_t position) override;
  bool PlainExtent(TPlainExtent& extent) override;
  void Skip(uint64_t count) override;
  bool ByteRuns(std::vector<TByteRun>& runs) override;

 private:
  TExtdrive* drive_ = nullptr;
  TExtMap map_;
  uint64_t size_ = 0;
  bool deleted_ = false;
  std::vector<uint8_t> inline_;
  uint64_t position_ = 0;
  size_t run_ = 0;  // the first run that may hold the position
  uint64_t reused_ = 0;
  std::vector<uint8_t> block_;

  // The run holding the position's block, or null in a hole or past the map (run_ moves on).
  const TExtRun* RunAt(uint64_t logical);
};

// The stream of a node's data; Failure set when a deleted file's data cannot be found.
std::unique_ptr<TDataStream> OpenExtData(TExtdrive& drive, const TExtNode& node, bool deleted);

}  // namespace salvex
