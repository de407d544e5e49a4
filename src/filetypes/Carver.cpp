#include "filetypes/Carver.h"

#include <vector>

#include "devices/Model.h"
#include "filetypes/CarvedName.h"
#include "filetypes/FileTypes.h"
#include "filetypes/HeaderCheck.h"
#include "filetypes/IsoMediaCheck.h"
#include "filetypes/JpegCheck.h"
#include "filetypes/JpegReassembly.h"

namespace salvex {

namespace {

// Movies whose index places their samples: checked against it.
bool IsMovie(const std::string& type) { return type == "MP4" || type == "MOV" || type == "3GP" || type == "M4A"; }

}  // namespace

void DescribeCarvedFile(const TCarveResult& carved, TCustomFile& file) {
  file.Name = carved.Name;
  file.Size = carved.Size;
  file.SizeOrigin = carved.EndFound ? TSizeOrigin::FormatEnd : TSizeOrigin::Default;
  file.FirstPieceBytes = carved.FirstPieceBytes;
  file.GapBytes = carved.GapBytes;
  // The listing says why from the size's origin (LostFileDoubt).
  if (!carved.PoorReason.empty()) file.Condition = 2;
}

TFileTypeGuess IdentifyCluster(std::span<const uint8_t> bytes) {
  TFileTypeGuess guess;
  guess.Kind = kStartsNewFile;
  guess.Matched = IdentifyFileType(bytes, guess.Type, guess.Kind);
  return guess;
}

TCarveResult TFileCarver::Examine(uint64_t cluster, std::span<const uint8_t> bytes, TByteSource& fromCluster) {
  return Examine(cluster, IdentifyCluster(bytes), fromCluster);
}

TCarveResult TFileCarver::Examine(uint64_t cluster, const TFileTypeGuess& guess, TByteSource& fromCluster) {
  TCarveResult result;
  if (!guess.Matched) return result;
  result.Type = guess.Type;
  const uint8_t kind = guess.Kind;
  const bool continues = previousCluster_ && cluster == *previousCluster_ + 1 && result.Type == previousType_ &&
                         kind == kContinuesSameType;
  previousCluster_ = cluster;
  previousType_ = result.Type;
  if (cluster >= coveredFrom_ && cluster <= coveredTo_) {
    result.Verdict = TCarveVerdict::Nested;
    return result;
  }
  if (continues) {
    result.Verdict = TCarveVerdict::Continues;
    return result;
  }
  // A signature of two bytes starts one random cluster in 65536: the header around it decides.
  if (CheckHeader(result.Type, fromCluster) == THeaderCheck::Inconsistent) {
    previousType_.clear();
    ++rejected_;
    return TCarveResult{};
  }
  result.Verdict = TCarveVerdict::NewFile;
  if (auto end = FindFileEnd(result.Type, fromCluster)) {
    result.Size = *end;
    result.EndFound = true;
    if (clusterBytes_ != 0 && *end > clusterBytes_) {
      coveredFrom_ = cluster + 1;
      coveredTo_ = cluster + (*end - 1) / clusterBytes_;
    }
    result.Type = FoundFileType(result.Type, fromCluster, *end);
    if (IsMovie(result.Type)) {
      result.PoorReason = IsoMediaDoubt(fromCluster, *end);
      // What lies inside the span is not all the movie's: files there are still listed.
      if (!result.PoorReason.empty()) coveredFrom_ = 1, coveredTo_ = 0;
    }
  } else if (kind == kContinuesSameType) {
    // The frame test alone passes on about one random cluster in twenty; a real stream also gives
    // a chain of frames to follow, so without one there is no file here.
    previousType_.clear();
    return TCarveResult{};
  } else {
    result.Size = defaultSize_;
    result.PoorReason = MaxFileEndSearch(result.Type) != 0
                            ? "its end was not found (cut short, damaged or in pieces): the default size of " +
                                  std::to_string(defaultSize_) + " bytes was taken"
                            : "its format does not give its size: the default size of " + std::to_string(defaultSize_) +
                                  " bytes was taken";
    if (IsMovie(result.Type))
      if (std::string doubt = IsoMediaDoubt(fromCluster, 0); !doubt.empty()) result.PoorReason = doubt;
  }
  if (result.Type == "JPG") CheckPhoto(cluster, fromCluster, result);
  result.Name = CarvedFileName(cluster, result.Type, fromCluster, result.Size);
  return result;
}

void TFileCarver::CheckPhoto(uint64_t cluster, TByteSource& fromCluster, TCarveResult& result) {
  uint64_t firstBad = 0;
  if (result.EndFound && JpegDecodesStraight(fromCluster, result.Size, firstBad)) return;
  if (!result.EndFound) {
    // Where the bytes stop decoding is found by decoding them: a first MiB, then further when
    // the decoder ran out of bytes rather than into bad ones.
    std::vector<uint8_t> bytes;
    for (size_t want = 1u << 20; want <= (16u << 20); want *= 4) {
      bytes.resize(want);
      bytes.resize(fromCluster.ReadAt(0, bytes.data(), bytes.size()));
      firstBad = CheckJpegDecodes(bytes).FirstBad;
      if (bytes.size() < want || firstBad + 65536 < bytes.size()) break;
    }
  }
  if (auto two = clusterBytes_ != 0 ? ReassembleJpeg(fromCluster, clusterBytes_, firstBad) : std::nullopt) {
    ++reassembled_;
    result.PoorReason.clear();
    result.Size = two->Size;
    result.EndFound = true;
    result.FirstPieceBytes = two->FirstClusters * clusterBytes_;
    result.GapBytes = two->GapClusters * clusterBytes_;
    coveredFrom_ = cluster + 1;
    coveredTo_ = cluster + two->FirstClusters - 1;
    return;
  }
  if (result.EndFound && clusterBytes_ != 0) coveredTo_ = std::min(coveredTo_, cluster + firstBad / clusterBytes_);
  result.PoorReason = "its data stops decoding after " + std::to_string(firstBad) +
                      " bytes (damaged, or a piece of another file follows) and no continuation was found";
}

void TFileCarver::NoteOther(uint64_t cluster, const std::string& type) {
  previousCluster_ = cluster;
  previousType_ = type;
}

}  // namespace salvex
