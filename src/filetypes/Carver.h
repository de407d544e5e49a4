#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "filetypes/FileEnd.h"

namespace salvex {

// What a cluster of a lost-data search turned out to be.
enum class TCarveVerdict : uint8_t {
  Nothing,    // no known signature
  NewFile,    // starts a file to list
  Continues,  // continues the previous file (consecutive clusters of an MPEG audio stream)
  Nested,     // lies inside a file found earlier whose end is known (a thumbnail, a frame of a WAV)
};

struct TCarveResult {
  TCarveVerdict Verdict = TCarveVerdict::Nothing;
  std::string Type;         // the recogniser's type name; NewFile: told apart by content (DOCX for a ZIP)
  std::string Name;         // NewFile: the name to list it under (CarvedFileName)
  uint64_t Size = 0;        // NewFile: bytes to save
  bool EndFound = false;    // NewFile: Size comes from the format's own end, not the default size
  // NewFile in two pieces (a fragmented photo put back together): after FirstPieceBytes of it,
  // GapBytes of other data lie before the rest. Size does not count the gap.
  uint64_t FirstPieceBytes = 0, GapBytes = 0;
  // NewFile: why the file cannot be taken as whole and right (its end was not found, its data
  // stops decoding); empty when its format's own checks passed.
  std::string PoorReason;
};

class TCustomFile;

// Copies a NewFile result onto the file listed for it: its name, its size and where that comes
// from, its two pieces, and a poor condition when the result gives a reason for one.
void DescribeCarvedFile(const TCarveResult& carved, TCustomFile& file);

// What the signatures make of one cluster: the part of a carving decision that depends on the
// cluster's bytes alone, which a search may work out ahead on other threads.
struct TFileTypeGuess {
  bool Matched = false;
  std::string Type;
  uint8_t Kind = 1;  // kStartsNewFile or kContinuesSameType
};
TFileTypeGuess IdentifyCluster(std::span<const uint8_t> bytes);

// The one carving decision of both lost-data searches, fed the clusters they examine in ascending
// order. A new file's size is the end its format gives, or `defaultSize` when it gives none; a hit
// inside the extent of a file whose end was found is not a file of its own.
class TFileCarver {
 public:
  TFileCarver(uint32_t clusterBytes, uint64_t defaultSize) : clusterBytes_(clusterBytes), defaultSize_(defaultSize) {}

  // `bytes`: the cluster; `fromCluster`: the cluster and those after it, for the end finders.
  TCarveResult Examine(uint64_t cluster, std::span<const uint8_t> bytes, TByteSource& fromCluster);
  // The same with IdentifyCluster(bytes) done already.
  TCarveResult Examine(uint64_t cluster, const TFileTypeGuess& guess, TByteSource& fromCluster);
  // A cluster listed as something else (a file record): no file continues across it.
  void NoteOther(uint64_t cluster, const std::string& type);
  // Photos put back together from two pieces so far.
  uint64_t Reassembled() const { return reassembled_; }
  // Signature hits dropped because the header around the signature does not hold together.
  uint64_t Rejected() const { return rejected_; }

 private:
  uint32_t clusterBytes_;
  uint64_t defaultSize_;
  std::optional<uint64_t> previousCluster_;
  std::string previousType_;
  // Clusters of the last listed file with a known end, after its first.
  uint64_t coveredFrom_ = 1, coveredTo_ = 0;
  uint64_t reassembled_ = 0;
  uint64_t rejected_ = 0;

  // A JPEG that does not decode straight on: put back together from two pieces where it can be,
  // else covered only up to where it stops decoding, so that the files after it are still found.
  void CheckPhoto(uint64_t cluster, TByteSource& fromCluster, TCarveResult& result);
};

}  // namespace salvex
