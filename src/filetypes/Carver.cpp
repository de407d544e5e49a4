#include "filetypes/Carver.h"

#include "filetypes/CarvedName.h"
#include "filetypes/FileTypes.h"

namespace salvex {

TCarveResult TFileCarver::Examine(uint64_t cluster, std::span<const uint8_t> bytes, TByteSource& fromCluster) {
  TCarveResult result;
  uint8_t kind = kStartsNewFile;
  if (!IdentifyFileType(bytes, result.Type, kind)) return result;
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
    result.Type = FoundFileType(result.Type, fromCluster, *end);
  } else {
    result.Size = defaultSize_;
  }
  result.Name = CarvedFileName(cluster, result.Type, fromCluster, result.Size);
  return result;
}

void TFileCarver::NoteOther(uint64_t cluster, const std::string& type) {
  previousCluster_ = cluster;
  previousType_ = type;
}

}  // namespace salvex
