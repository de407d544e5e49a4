#include "filetypes/Carver.h"

#include "filetypes/FileTypes.h"

namespace salvex {

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
  result.Verdict = TCarveVerdict::NewFile;
  if (auto end = FindFileEnd(result.Type, fromCluster)) {
    result.Size = *end;
    result.EndFound = true;
    if (clusterBytes_ != 0 && *end > clusterBytes_) {
      coveredFrom_ = cluster + 1;
      coveredTo_ = cluster + (*end - 1) / clusterBytes_;
    }
  } else {
    result.Size = defaultSize_;
  }
  return result;
}

void TFileCarver::NoteOther(uint64_t cluster, const std::string& type) {
  previousCluster_ = cluster;
  previousType_ = type;
}

}  // namespace salvex
