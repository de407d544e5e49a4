#include "fat/MFTFile.h"

#include <algorithm>

#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATFileData.h"
#include "fat/FATStream.h"
#include "fat/FATdrive.h"
#include "common/Helpers.h"

namespace salvex {

std::unique_ptr<TItem> TMFTFile::Clone() const { return std::make_unique<TMFTFile>(*this); }

std::string TMFTFile::GetPath(const TCustomDirectory* stop) const { return FATParentPath(Parent, stop); }

std::unique_ptr<TDataStream> TMFTFile::OpenViewData(const TReadChoice& choice) {
  auto* drive = dynamic_cast<TFATdrive*>(Drive);
  if (!drive) return nullptr;
  return FATViewStream(*drive, uint8_t(std::max(choice.FATCopy, 0)), DataOffset, Size, FirstCluster);
}

std::unique_ptr<TDataStream> TMFTFile::OpenData(const TReadChoice& choice) {
  auto* drive = dynamic_cast<TFATdrive*>(Drive);
  if (!drive) return nullptr;
  return std::make_unique<TFATFileData>(*drive, FATChoiceFor(*this, choice), FirstCluster, DataOffset, Size);
}

TFileMeta TMFTFile::Meta() const {
  TFileMeta meta;
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  meta.Modified = DosToTimespec(Date, Time);
  return meta;
}

std::optional<TClusterField> TMFTFile::ClusterField() const { return TClusterField{true, FirstCluster}; }

void TMFTFile::SetClusterField(uint32_t cluster) { FirstCluster = cluster; }

}  // namespace salvex
