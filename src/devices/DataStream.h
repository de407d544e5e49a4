#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace salvex {

// Bytes of a stream that lie unchanged in a plain image file: the kernel can copy them to the
// target without this process reading them.
struct TPlainExtent {
  int Fd = -1;
  uint64_t Offset = 0;
  uint64_t Length = 0;
};

// A stretch of a file's bytes as stored on its volume.
struct TByteRun {
  uint64_t FileOffset = 0;
  uint64_t VolumeOffset = 0;  // bytes from the volume's first sector
  uint64_t Length = 0;
};

// Appends a run, joined to the last one when it continues it on the volume as in the file.
inline void AddByteRun(std::vector<TByteRun>& runs, uint64_t fileOffset, uint64_t volumeOffset, uint64_t length) {
  if (length == 0) return;
  if (!runs.empty()) {
    TByteRun& last = runs.back();
    if (last.FileOffset + last.Length == fileOffset && last.VolumeOffset + last.Length == volumeOffset) {
      last.Length += length;
      return;
    }
  }
  runs.push_back({fileOffset, volumeOffset, length});
}

// The bytes of one file as its file system reads them, forward, with a jump to any position for
// readers that need random access (a mounted view). This is all a file system supplies for saving:
// the save engine owns everything on the target side.
class TDataStream {
 public:
  virtual ~TDataStream() = default;
  // The bytes the file has; Read delivers exactly this many before it returns 0.
  virtual uint64_t Size() const = 0;
  // Up to `count` bytes from the current position. Sectors that could not be read come back as
  // zeros and are counted in ZeroFilledSectors; data that cannot be delivered at all (a chain that
  // ends early, a corrupt structure) ends the stream early with Failure set.
  virtual size_t Read(uint8_t* buffer, size_t count) = 0;
  // The next bytes as a plain extent, or false where they must be read (decoded, zero-filled,
  // resident, or not in a plain file). After copying some of them, Skip moves past those.
  virtual bool PlainExtent(TPlainExtent& extent) {
    (void)extent;
    return false;
  }
  virtual void Skip(uint64_t count) { (void)count; }
  // Moves the read position to `position` (at most Size()) without reading the data before it;
  // false when the stream cannot, or has failed (open it again then).
  virtual bool Seek(uint64_t position) {
    (void)position;
    return false;
  }

  // Where the file's bytes lie on the volume, in file order; bytes that read as zeros without
  // being stored (holes, past exFAT's valid length) have no run. False where the stored bytes are
  // not the file's (compressed or resident data) or the data cannot be followed to its end.
  virtual bool ByteRuns(std::vector<TByteRun>& runs) {
    (void)runs;
    return false;
  }

  uint64_t ZeroFilledSectors = 0;
  // Why some bytes were delivered as zeros although they could be read (a damaged compression
  // unit); the stream goes on.
  std::string Damage;
  // Units (compression units, blocks) delivered as zeros for such damage so far, each time one is
  // read: a second damaged unit often has the same Damage text as the first.
  uint64_t DamagedUnits = 0;
  std::string Failure;  // the stream ended early; empty while every byte came
};

// Where an item lies on its volume, for listings: its first cluster, its file record or its inode.
struct TLocation {
  enum class TKind { None, Cluster, Record, Inode } Kind = TKind::None;
  uint64_t Value = 0;
};

// What a saved file gets besides its bytes, and what a listing shows of it.
struct TFileMeta {
  TLocation Location;
  uint32_t Attributes = 0;  // the file system's own attribute bits
  std::optional<timespec> Modified;  // applied as the saved file's modification time
  bool ReadOnly = false;             // clears the write bits
  // A state the user must hear about although the bytes were saved as stored (encrypted data).
  std::string Warning;
  // Why some of the bytes as stored are known not to be the file's (a deleted file's clusters given
  // to other files since): its save is a failure with this reason, though every byte was written.
  std::string Damage;
};

// The warning for a file whose stored size exceeds what its volume can hold: its data is read
// only up to `limit` bytes, since anything past that could not have come from the volume.
std::string OversizeWarning(uint64_t size, uint64_t limit);

// Which copy of the allocation table to follow: -1 lets the file decide (its volume's choice, or
// none in the Deleted tree), 0 reads consecutive clusters, k follows copy k.
struct TReadChoice {
  int FATCopy = -1;
};

}  // namespace salvex
