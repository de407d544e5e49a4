#include "fat/FATFile.h"

#include <algorithm>
#include <cstring>

#include "common/Options.h"
#include "fat/FATDirectory.h"
#include "common/Helpers.h"
#include "fat/FATFileData.h"
#include "fat/FATdrive.h"

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

std::unique_ptr<TItem> TFATFile::Clone() const {
  auto f = std::make_unique<TFATFile>();
  f->Assign(*this);
  return f;
}

void TFATFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TFATFile*>(&source)) {
    Attributes = s->Attributes;
    FirstCluster = s->FirstCluster;
    Time = s->Time;
    Date = s->Date;
    Size = s->Size;
  }
}

void TFATFile::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TFATFile*>(&target))
    t->Assign(*this);
  else
    TCustomFile::AssignTo(target);
}

bool TFATFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TFATFile::GetPath(const TCustomDirectory* stop) const { return FATParentPath(Parent, stop); }

void TFATFile::FillListItem(TListItem& item) { FillFATRow(*this, item); }

uint8_t FATChoiceFor(const TCustomFile& file, const TReadChoice& choice) {
  if (choice.FATCopy >= 0) return uint8_t(choice.FATCopy);
  if (file.Flags & ItemDeleted) return 0;
  auto* drive = dynamic_cast<const TFATdrive*>(file.Drive);
  return drive ? drive->FATCopy : 0;
}

std::unique_ptr<TDataStream> TFATFile::OpenData(const TReadChoice& choice) {
  TFATdrive* drive = FATDrive();
  if (!drive) return nullptr;
  return std::make_unique<TFATFileData>(*drive, FATChoiceFor(*this, choice), FirstCluster, 0, Size);
}

TFileMeta TFATFile::Meta() const {
  TFileMeta meta;
  meta.Modified = DosToTimespec(Date, Time);
  meta.ReadOnly = Attributes & dirent::kAttrReadOnly;
  meta.Attributes = Attributes;
  meta.Location = {TLocation::TKind::Cluster, FirstCluster};
  return meta;
}

// ---- TMFTFile ----

std::unique_ptr<TItem> TMFTFile::Clone() const {
  auto f = std::make_unique<TMFTFile>();
  f->Assign(*this);
  return f;
}

void TMFTFile::Assign(const TItem& source) {
  TCustomFile::Assign(source);
  if (auto* s = dynamic_cast<const TMFTFile*>(&source)) {
    DataOffset = s->DataOffset;
    FirstCluster = s->FirstCluster;
    Time = s->Time;
    Date = s->Date;
  }
}

void TMFTFile::AssignTo(TItem& target) const {
  if (auto* t = dynamic_cast<TMFTFile*>(&target))
    t->Assign(*this);
  else
    TCustomFile::AssignTo(target);
}

bool TMFTFile::Rename(const std::string& newName) {
  Name = newName;
  return true;
}

std::string TMFTFile::GetPath(const TCustomDirectory* stop) const { return FATParentPath(Parent, stop); }

void TMFTFile::FillListItem(TListItem& item) { FillFATRow(*this, item); }

// ---- reading file data (volume operations) ----

bool TFATdrive::OpenFilePos(uint32_t firstCluster, uint64_t size, TFATFilePos& pos) {
  pos = TFATFilePos{};
  pos.FirstCluster = pos.Cluster = firstCluster;
  pos.Size = size;
  return true;
}

uint32_t TFATdrive::NextFileCluster(uint32_t cluster, uint8_t fatChoice) {
  if (!IsValidCluster(cluster)) return cluster;
  if (fatChoice > 0) {
    uint32_t next = GetFAT(cluster, fatChoice - 1u);
    return IsValidCluster(next) ? next : cluster;
  }
  return cluster <= ClusterCount ? cluster + 1 : cluster;
}

uint32_t TFATdrive::StepFileCluster(TFATFilePos& pos, uint8_t fatChoice) {
  // A chain longer than the volume's cluster count loops; what follows reads as zeros.
  if (++pos.Steps > ClusterCount) return 0;
  return NextFileCluster(pos.Cluster, fatChoice);
}

bool TFATdrive::ReadFileData(TFATFilePos& pos, uint64_t count, uint64_t& read, uint8_t fatChoice, uint8_t* buffer) {
  read = 0;
  if (pos.Position >= pos.Size) return pos.Position == pos.Size;
  if (BytesPerSec == 0 || ClusterSize == 0) return false;
  count = std::min(count, pos.Size - pos.Position);
  const uint32_t bps = BytesPerSec;
  const uint32_t cs = ClusterSize;
  auto advance = [&](uint64_t n) {
    pos.Position += n;
    read += n;
    buffer += n;
    count -= n;
  };
  while (count > 0) {
    const uint32_t inCluster = static_cast<uint32_t>(pos.Position % cs);
    const uint32_t k = inCluster / bps;
    const uint32_t o = inCluster % bps;
    if (!IsValidCluster(pos.Cluster)) {
      // No cluster to read from: zeros, reported as unreadable.
      const uint64_t n = std::min<uint64_t>(count, cs - inCluster);
      std::memset(buffer, 0, n);
      pos.UnreadableSectors += (o + n + bps - 1) / bps;
      advance(n);
      continue;
    }
    if (o == 0 && count >= bps) {
      // Whole sectors: one device read over the rest of this cluster and every directly following one.
      const uint64_t wanted = count / bps;
      const uint64_t start = ClusterToSector(pos.Cluster) + k;
      uint64_t sectors = 0;
      uint32_t kk = k;
      for (;;) {
        const uint64_t take = std::min<uint64_t>(SectorsPerCluster - kk, wanted - sectors);
        sectors += take;
        if (kk + take < SectorsPerCluster) break;
        const uint32_t next = StepFileCluster(pos, fatChoice);
        const bool consecutive = next == pos.Cluster + 1;
        pos.Cluster = next;
        kk = 0;
        if (!consecutive || sectors >= wanted) break;
      }
      const uint64_t bytes = sectors * bps;
      if (!ReadSectors(start, static_cast<uint32_t>(sectors), true, buffer)) {
        // Keep what can be read; the rest becomes zeros.
        for (uint64_t i = 0; i < sectors; ++i)
          if (!ReadSectors(start + i, 1, false, buffer + i * bps)) {
            std::memset(buffer + i * bps, 0, bps);
            ++pos.UnreadableSectors;
          }
      }
      advance(bytes);
      continue;
    }
    const uint64_t sector = ClusterToSector(pos.Cluster) + k;
    const bool fresh = !(StreamCache.Valid && StreamCache.Sector == sector);
    Fetch(StreamCache, sector);
    if (fresh && StreamCache.ReadFailed) ++pos.UnreadableSectors;
    const uint64_t n = std::min<uint64_t>(count, bps - o);
    std::memcpy(buffer, StreamCache.Bytes.data() + o, n);
    advance(n);
    if (pos.Position % cs == 0) pos.Cluster = StepFileCluster(pos, fatChoice);
  }
  return true;
}

bool TFATdrive::SkipClusters(uint32_t& cluster, uint64_t bytes, uint8_t fatChoice) {
  if (ClusterSize == 0) return false;
  // The same steps as sequential reading, so that a seek lands where reading would.
  uint64_t steps = 0;
  for (uint64_t m = bytes / ClusterSize; m > 0; --m) {
    if (++steps > ClusterCount) {
      cluster = 0;
      break;
    }
    uint32_t next = NextFileCluster(cluster, fatChoice);
    if (next == cluster) break;
    cluster = next;
  }
  return true;
}

bool TFATdrive::SeekFilePos(TFATFilePos& pos, uint64_t position, uint8_t fatChoice) {
  if (pos.FirstCluster == 0 || position >= pos.Size) return false;
  uint32_t cluster = pos.FirstCluster;
  if (!SkipClusters(cluster, position, fatChoice)) return false;
  pos.Cluster = cluster;
  pos.Position = position;
  return true;
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

}  // namespace salvex
