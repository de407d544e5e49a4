#include "fat/FATFile.h"

#include <algorithm>
#include <cstring>

#include "common/Format.h"
#include "common/Options.h"
#include "devices/GapStream.h"
#include "fat/FATDirectory.h"
#include "common/Helpers.h"
#include "fat/FATFileData.h"
#include "fat/FATStream.h"
#include "fat/FATdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

std::string FATParentPath(const TCustomDirectory* parent, const TCustomDirectory* stop) {
  std::string path;
  if (!parent || parent == stop) return path;
  path = DisplayName(parent->Name);
  for (const TCustomDirectory* p = parent->Parent; p && p != stop; p = p->Parent)
    path = DisplayName(p->Name) + "\\" + path;
  return path;
}

// ---- TFATFile ----

TFATdrive* TFATFile::FATDrive() const { return dynamic_cast<TFATdrive*>(Drive); }

std::unique_ptr<TItem> TFATFile::Clone() const { return std::make_unique<TFATFile>(*this); }

std::string TFATFile::GetPath(const TCustomDirectory* stop) const { return FATParentPath(Parent, stop); }

uint8_t FATChoiceFor(const TCustomFile& file, const TReadChoice& choice) {
  if (choice.FATCopy >= 0) return uint8_t(choice.FATCopy);
  if (file.Flags & ItemDeleted) return 0;
  auto* drive = dynamic_cast<const TFATdrive*>(file.Drive);
  return drive ? drive->FATCopy : 0;
}

std::unique_ptr<TDataStream> TFATFile::OpenViewData(const TReadChoice& choice) {
  TFATdrive* drive = FATDrive();
  if (!drive) return nullptr;
  return FATViewStream(*drive, uint8_t(std::max(choice.FATCopy, 0)), 0, Size, FirstCluster);
}

std::unique_ptr<TDataStream> TFATFile::OpenData(const TReadChoice& choice) {
  TFATdrive* drive = FATDrive();
  if (!drive) return nullptr;
  const uint8_t fat = FATChoiceFor(*this, choice);
  auto data = std::make_unique<TFATFileData>(*drive, fat, FirstCluster, 0, Size + GapBytes);
  // Read as The Sleuth Kit reads a deleted file: its free clusters from the first on.
  if (fat == 0 && (Flags & ItemDeleted)) {
    data->SkipAllocated();
    data->CheckFormatEnd();
  }
  return WithGap(std::move(data), *this);
}

TFileMeta TFATFile::Meta() const {
  TFileMeta meta;
  meta.Modified = DosToTimespec(Date, Time);
  meta.ReadOnly = Attributes & dirent::kAttrReadOnly;
  meta.Attributes = Attributes;
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  TFATdrive* drive = FATDrive();
  if (!drive) return meta;
  const bool deleted = Flags & ItemDeleted;
  if (Size > drive->DataBytes())
    meta.Warning = OversizeWarning(Size, drive->DataBytes());
  else if (std::string past = Size > 0 ? drive->PastDeviceWarning(FirstCluster) : ""; !past.empty())
    meta.Warning = std::move(past);
  else if (CrossedClusters != 0)
    meta.Warning = TextF(txt::SpanCrossesLiveClusters, {CrossedClusters});
  else if (SharedCluster != 0)
    meta.Warning = TextF(txt::ChainCrossLinked, {SharedCluster});
  else if (deleted && Condition == 2 && !drive->IsValidCluster(FirstCluster))
    meta.Warning = TextF(txt::FirstClusterOutsideVolume, {FirstCluster});
  // The first cluster is read whatever holds it: once another file has it, those are that file's bytes.
  if (deleted && Size > 0 && drive->IsValidCluster(FirstCluster) &&
      ClassifyFATEntry(drive->FATType, drive->GetFAT(FirstCluster, 0)) != EntryFree)
    meta.Damage = TextF(txt::FirstClusterTaken, {FirstCluster});
  return meta;
}

std::optional<TClusterField> TFATFile::ClusterField() const { return TClusterField{true, FirstCluster}; }

void TFATFile::SetClusterField(uint32_t cluster) { FirstCluster = cluster; }

}  // namespace salvex
