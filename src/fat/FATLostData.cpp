#include "fat/FATLostData.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "common/AlignedBuffer.h"
#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/SearchThreads.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/FileSystemRegistry.h"
#include "devices/LostDataScan.h"
#include "devices/ScanPipeline.h"
#include "devices/StatusDialog.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATSectorTests.h"
#include "fat/FATdrive.h"
#include "filetypes/Carver.h"
#include "filetypes/FileTypes.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

// Nested folders deeper than this are not followed: a FAT path of 260 characters holds far fewer,
// and the walk recurses once per level.
constexpr size_t kMaxWalkDepth = 256;
// Clusters read at a time by the linear pass.
constexpr uint64_t kWindowBytes = 1u << 20;
// An NTFS file record is looked for in the 16 sectors from the cluster's start.
constexpr uint32_t kRecordSectors = 16;
constexpr size_t kMaxRecordNameChars = 128;

// One run of the search: the visited map over clusters 0 .. to and the state of the passes.
class TFATLostSearch {
 public:
  TFATLostSearch(TFATdrive& drive, TLostDataScan& scan, uint32_t from, uint32_t to)
      : drive_(drive), scan_(scan), status_(scan.Dialog()), from_(from), to_(to), visited_(uint64_t(to) + 1),
        carver_(drive.ClusterSize, Options().LostDefaultSize) {}

  void Run();

 private:
  bool InRange(uint32_t cluster) const { return cluster >= from_ && cluster <= to_; }
  void Mark(uint32_t cluster) { visited_.Set(cluster); }
  bool Marked(uint32_t cluster) const { return visited_.Get(cluster); }
  TCustomDirectory& Lost() { return *drive_.LostFolder; }
  void SetCache(bool on) {
    if (drive_.Device) drive_.Device->SetCacheEnabled(on);
  }

  void ScanLostDir(uint32_t cluster, uint64_t sector, bool removeDuplicates);
  void WalkDirectory(uint32_t cluster, uint64_t sector, bool removeDuplicates, size_t depth);
  void MarkFile(uint32_t first, uint64_t size, bool deleted);
  void RemoveLostDuplicates(uint32_t cluster, uint64_t sector);
  void RootAreaPass();
  // What a cluster's bytes alone say, worked out ahead of the pass on other threads.
  struct TClusterLook {
    bool Zero = false;
    bool Dot = false;
    uint32_t DotCluster = 0;
    bool Dir = false;  // the first sector reads as directory records
    TFileTypeGuess Guess;
  };
  TClusterLook LookAt(std::span<const uint8_t> bytes, bool identify) const;
  void ClusterPass();
  void ExamineCluster(uint32_t cluster, std::span<const uint8_t> bytes, const TClusterLook& look);
  void AddLostDirectory(uint32_t cluster, uint64_t sector, const std::string& name);
  void CountLost(uint64_t& folders, uint64_t& files) const;

  TFATdrive& drive_;
  TLostDataScan& scan_;
  TStatusDialog& status_;
  uint32_t from_, to_;
  ByteBitmap visited_;
  // Sectors of the FAT12/16 root area that a directory walk has read, so that the root-area pass
  // neither lists the live root nor lists again the later sectors of a root it has found.
  ByteBitmap rootAreaRead_;
  uint64_t rootAreaStart_ = 0;
  // Clusters of the directories on the current walk's path: they are never removed from the top of
  // Lost by their own descendants (a crafted loop would otherwise drop both folders).
  std::vector<uint32_t> path_;
  TFileCarver carver_;
};

void TFATLostSearch::CountLost(uint64_t& folders, uint64_t& files) const {
  folders = files = 0;
  if (!drive_.LostFolder->Children) return;
  for (const auto& item : *drive_.LostFolder->Children) {
    if (dynamic_cast<const TCustomDirectory*>(item.get()))
      ++folders;
    else if (dynamic_cast<const TFATFile*>(item.get()) || dynamic_cast<const TMFTFile*>(item.get()))
      ++files;
  }
}

void TFATLostSearch::RemoveLostDuplicates(uint32_t cluster, uint64_t sector) {
  if (!Lost().Children) return;
  if (cluster != 0 && std::find(path_.begin(), path_.end(), cluster) != path_.end()) return;
  auto& children = *Lost().Children;
  std::erase_if(children, [&](const std::unique_ptr<TItem>& item) {
    if (auto* d = dynamic_cast<const TFATDirectory*>(item.get()))
      return d->FirstCluster != 0 ? d->FirstCluster == cluster : (cluster == 0 && d->StartSector == sector);
    // A file found by its signature whose cluster turns out to start a file of a directory: the
    // directory gives it its real name and size, so the nameless copy goes.
    if (auto* f = dynamic_cast<const TFATFile*>(item.get())) return cluster != 0 && f->FirstCluster == cluster;
    return false;
  });
}

// Marks the clusters an entry accounts for. A live entry's chain is followed in the FAT in use, or
// in the first FAT when none is chosen but the entry's first cluster is still in use there; a chain
// that is gone (a deleted entry, a cleared FAT) stands for the consecutive clusters that saving
// without a FAT reads. Marking only the first cluster let the cluster pass list pieces of live and
// deleted files (and of fragmented folders) as lost files.
void TFATLostSearch::MarkFile(uint32_t first, uint64_t size, bool deleted) {
  if (!drive_.IsValidCluster(first)) return;
  auto mark = [&](uint32_t cluster) {
    if (InRange(cluster) && !Marked(cluster)) {
      Mark(cluster);
      status_.Step();
    }
  };
  const uint32_t copy = drive_.FATCopy != 0 ? drive_.FATCopy - 1u : 0;
  const bool haveFAT = drive_.FATCopy != 0 || drive_.NumberOfFATs != 0;
  const uint8_t firstClass =
      haveFAT && !deleted ? ClassifyFATEntry(drive_.FATType, drive_.GetFAT(first, copy)) : uint8_t(EntryFree);
  if (firstClass == EntryLink || firstClass == EntryEnd) {
    uint32_t cluster = first;
    // A chain visits each cluster once at most; more steps mean it loops.
    for (uint64_t steps = 0; steps <= drive_.ClusterCount; ++steps) {
      mark(cluster);
      const uint32_t next = drive_.GetFAT(cluster, copy);
      if (ClassifyFATEntry(drive_.FATType, next) != EntryLink || !drive_.IsValidCluster(next)) return;
      cluster = next;
    }
    return;
  }
  const uint64_t clusters = std::max<uint64_t>(1, (size + drive_.ClusterSize - 1) / drive_.ClusterSize);
  for (uint64_t k = 0; k < clusters && drive_.IsValidCluster(uint32_t(first + k)) && first + k <= to_; ++k)
    mark(uint32_t(first + k));
}

void TFATLostSearch::ScanLostDir(uint32_t cluster, uint64_t sector, bool removeDuplicates) {
  SetCache(false);
  WalkDirectory(cluster, sector, removeDuplicates, 0);
  SetCache(true);
}

void TFATLostSearch::WalkDirectory(uint32_t cluster, uint64_t sector, bool removeDuplicates, size_t depth) {
  if (status_.Cancelled || depth > kMaxWalkDepth) return;
  if (status_.UpdateDue()) {
    status_.UpdateTexts("", cluster != 0 ? TextF(txt::ScanningSubfolderCluster, {cluster})
                                         : TextF(txt::ScanningSubfolderSector, {sector}));
    Host().ProcessMessages();
  }
  Mark(cluster);
  if (removeDuplicates) RemoveLostDuplicates(cluster, sector);
  path_.push_back(cluster);

  TFATCursor cursor{cluster, sector, 0};
  // A run of sectors from the FAT12/16 root area ends with the area.
  if (cluster == 0 && sector < drive_.FirstDataSector)
    cursor.MaxRecords = uint32_t(std::min<uint64_t>(cursor.MaxRecords, (drive_.FirstDataSector - sector) *
                                                                         (drive_.BytesPerSec / dirent::kSize)));
  uint32_t current = cluster;
  std::string name;
  uint8_t record[dirent::kSize];
  while (!status_.Cancelled && drive_.GetNextEntry(cursor, true, name, record)) {
    if (cursor.Cluster != 0) {
      if (!InRange(cursor.Cluster)) break;
      if (cursor.Cluster != current) {
        current = cursor.Cluster;
        if (!Marked(current)) {
          Mark(current);
          status_.Step();
        }
      }
    } else if (cursor.Sector >= rootAreaStart_ && cursor.Sector < drive_.FirstDataSector) {
      rootAreaRead_.Set(cursor.Sector - rootAreaStart_);
    }
    const uint8_t attributes = record[dirent::kAttributes];
    if (attributes == dirent::kAttrLongName) continue;
    const uint32_t first = RecordFirstCluster({record, dirent::kSize});
    if (attributes & dirent::kAttrDirectory) {
      const std::string shortName = ShortNameOf({record, dirent::kSize});
      if (shortName == "." || shortName == ".." || (attributes & dirent::kAttrVolume)) continue;
      if (!InRange(first)) continue;
      if (!Marked(first)) {
        if (drive_.IsDirectoryCluster(first, 0)) {
          WalkDirectory(first, 0, true, depth + 1);
          status_.Step();
        }
      } else {
        // A subfolder met earlier by the cluster pass (its cluster lies below its parent's) was
        // listed at the top of Lost; it belongs here.
        RemoveLostDuplicates(first, 0);
      }
    } else if (!(attributes & dirent::kAttrVolume)) {
      if (first == 0) continue;
      RemoveLostDuplicates(first, 0);
      MarkFile(first, ByteReader(record, dirent::kSize).U32(dirent::kFileSize), record[0] == dirent::kDeleted);
    }
  }
  // The folder's later clusters in the first FAT, which reading it without a FAT does not reach.
  if (cluster != 0 && drive_.FATCopy == 0) MarkFile(cluster, 0, false);
  path_.pop_back();
}

void TFATLostSearch::AddLostDirectory(uint32_t cluster, uint64_t sector, const std::string& name) {
  auto dir = std::make_unique<TFATDirectory>();
  dir->Name = name;
  dir->Drive = &drive_;
  dir->Parent = &Lost();
  dir->Flags = ItemLost;
  dir->FirstCluster = cluster;
  dir->StartSector = sector;
  Lost().Adopt(std::move(dir));
}

void TFATLostSearch::RootAreaPass() {
  const uint64_t start = uint64_t(drive_.ReservedSectors) + drive_.FATSectors;
  const uint64_t end = drive_.FirstDataSector;  // first sector of cluster 2: not part of the area
  std::vector<uint8_t> sector(drive_.BytesPerSec);
  for (uint64_t t = start; t < end && !status_.Cancelled; ++t) {
    if (!rootAreaRead_.Get(t - rootAreaStart_) && drive_.ReadSectors(t, 1, true, sector.data()) &&
        !IsZeroSector(sector)) {
      uint32_t dot = 0;
      const std::span<const uint8_t> first512(sector.data(), std::min<size_t>(sector.size(), 512));
      if (!IsDotDirSector(first512, dot) &&
          IsDirectorySector(first512, uint64_t(drive_.BytesPerSec) * drive_.DataSectors, drive_.ClusterCount)) {
        AddLostDirectory(0, t, TextF(txt::ScanningRootSector, {t}));
        ScanLostDir(0, t, false);
      }
    }
    if (status_.UpdateDue()) {
      status_.UpdateTexts("", TextF(txt::ScanningSector, {t}),
                          TextF(txt::LostFoldersFound, {Lost().Children ? Lost().Children->size() : 0}));
      Host().ProcessMessages();
    }
  }
}

TFATLostSearch::TClusterLook TFATLostSearch::LookAt(std::span<const uint8_t> bytes, bool identify) const {
  TClusterLook look;
  look.Zero = IsZeroSector(bytes);
  if (look.Zero) return look;  // nothing can match a cleared cluster
  const std::span<const uint8_t> head = bytes.first(std::min<size_t>(bytes.size(), 512));
  look.Dot = IsDotDirSector(head, look.DotCluster);
  look.Dir = IsDirectorySector(head, uint64_t(drive_.BytesPerSec) * drive_.DataSectors, drive_.ClusterCount);
  if (identify) look.Guess = IdentifyCluster(bytes);
  return look;
}

void TFATLostSearch::ExamineCluster(uint32_t i, std::span<const uint8_t> bytes, const TClusterLook& look) {
  if (look.Zero) return;
  const bool dir = look.Dot && FATClusterHasEntries(drive_, i);
  const bool root = !dir && look.Dir && HasOneVolumeLabel(bytes);
  // A folder's later cluster that no walk reached (after a quick format its chain is gone, and
  // folders grow into clusters far from their first): its entries, deleted ones too, come back
  // under a folder of its own.
  const bool part = !dir && !root && !look.Dot && look.Dir;
  if (dir || root || part) {
    AddLostDirectory(i, 0, "cluster " + std::to_string(i) + (root ? " (root)" : part ? " (folder part)" : ""));
    ScanLostDir(i, 0, false);
    return;
  }
  if (!Options().FindLostFiles) return;
  // The found file and the clusters after it, up to the volume's end, for the end finders.
  TBlockSource following(drive_.ClusterSize, uint64_t(drive_.ClustersOnDevice) + 2 - i,
                         [this, i](uint64_t first, uint32_t count, uint8_t* out) {
                           return drive_.ReadSectors(drive_.ClusterToSector(uint32_t(i + first)),
                                                     count * drive_.SectorsPerCluster, false, out);
                         });
  const TCarveResult carved = carver_.Examine(i, look.Guess, following);
  if (carved.Verdict == TCarveVerdict::Nested) scan_.NoteNestedHit();
  if (carved.Verdict != TCarveVerdict::Nothing) {
    if (carved.Verdict == TCarveVerdict::NewFile) {
      auto file = std::make_unique<TFATFile>();
      DescribeCarvedFile(carved, *file);
      file->Attributes = 0x20;
      file->Flags = ItemLost;
      file->FirstCluster = i;
      file->Drive = &drive_;
      file->Parent = &Lost();
      Lost().Adopt(std::move(file));
    }
    return;
  }
  std::string name;
  uint32_t size = 0, offset = 0;
  if (IsMFTRecord(bytes) && FindMFTRecordInCluster(drive_, i, name, size, offset)) {
    auto file = std::make_unique<TMFTFile>();
    file->Name = name;
    file->Size = size;
    file->DataOffset = offset;
    file->FirstCluster = i;
    file->Flags = ItemLost;
    file->Drive = &drive_;
    file->Parent = &Lost();
    Lost().Adopt(std::move(file));
    carver_.NoteOther(i, "MFT");
  }
}

void TFATLostSearch::ClusterPass() {
  const uint32_t spc = drive_.SectorsPerCluster;
  const uint32_t clusterBytes = drive_.ClusterSize;
  const uint8_t badCopy = drive_.FATCopy ? drive_.FATCopy - 1 : 0;
  const bool identify = Options().FindLostFiles;

  // Windows of clusters read ahead on a reader thread and looked at on every core; the decisions,
  // which depend on what earlier clusters turned out to be, are taken here in cluster order.
  // Windows whose clusters the walks have all accounted for are not read (a copy of the map the
  // walks left: the reader may not look at the one this pass marks).
  const ByteBitmap walked = visited_;
  std::mutex deviceLock;
  TScanPipeline<TClusterLook>::TSetup setup;
  setup.First = from_;
  setup.Last = to_;
  setup.BlockBytes = clusterBytes;
  setup.ChunkBlocks = std::max<uint32_t>(1, uint32_t(kWindowBytes / clusterBytes));
  setup.Threads = SearchThreads();
  setup.Read = [&](uint64_t first, uint32_t count, uint8_t* out) {
    return drive_.ReadSectors(drive_.ClusterToSector(uint32_t(first)), count * spc, false, out);
  };
  setup.Wanted = [&](uint64_t first, uint32_t count) {
    for (uint64_t k = first; k < first + count; ++k)
      if (!walked.Get(k)) return true;
    return false;
  };
  setup.Prescan = [&](TScanChunk<TClusterLook>& c) {
    c.Looks.resize(c.Blocks);
    for (uint32_t k = 0; k < c.Blocks; ++k)
      if (!walked.Get(c.First + k))
        c.Looks[k] = LookAt(std::span<const uint8_t>(c.Bytes.data() + uint64_t(k) * clusterBytes, clusterBytes),
                            identify);
  };
  TScanPipeline<TClusterLook> pipeline(deviceLock, std::move(setup));

  while (TScanChunk<TClusterLook>* c = pipeline.Next()) {
    if (status_.Cancelled) break;
    std::lock_guard<std::mutex> hold(deviceLock);
    for (uint32_t k = 0; k < c->Blocks && !status_.Cancelled; ++k) {
      const uint32_t i = uint32_t(c->First + k);
      if (!Marked(i)) {
        Mark(i);
        std::span<uint8_t> bytes(c->Bytes.data() + uint64_t(k) * clusterBytes, clusterBytes);
        if (drive_.SkipBadClusters && ClassifyFATEntry(drive_.FATType, drive_.GetFAT(i, badCopy)) == EntryBad) {
          // Passed over: reading a bad cluster only costs time and retries.
        } else if (c->Read) {
          ExamineCluster(i, bytes, c->Looks[k]);
        } else {
          // A window with an unreadable sector is read again cluster by cluster, so that one bad
          // sector costs one cluster; a cluster that cannot be read is judged as zeros.
          if (!drive_.ReadSectors(drive_.ClusterToSector(i), spc, true, bytes.data()))
            std::fill(bytes.begin(), bytes.end(), 0);
          ExamineCluster(i, bytes, LookAt(bytes, identify));
        }
        status_.Step();
      }
      if (status_.UpdateDue()) {
        uint64_t folders = 0, files = 0;
        CountLost(folders, files);
        status_.UpdateTexts("", TextF(txt::ScanningCluster, {i}), TextF(txt::LostFoldersFound, {folders}),
                            TextF(txt::LostFilesFound, {files}));
        Host().ProcessMessages();
      }
    }
  }
}

void TFATLostSearch::Run() {
  rootAreaStart_ = uint64_t(drive_.ReservedSectors) + drive_.FATSectors;
  if (drive_.FATType != FAT32 && drive_.FirstDataSector > rootAreaStart_)
    rootAreaRead_ = ByteBitmap(drive_.FirstDataSector - rootAreaStart_);

  {
    // The live tree is read along the first FAT even when none is chosen: its folders' later
    // clusters are where the FAT says, and read as consecutive clusters they would leave entries
    // unread and their clusters open to the cluster pass. The choice holds for lost folders.
    struct TRestoreFATCopy {
      TFATdrive& drive;
      uint8_t chosen;
      ~TRestoreFATCopy() { drive.FATCopy = chosen; }
    } restore{drive_, drive_.FATCopy};
    if (drive_.FATCopy == 0 && drive_.NumberOfFATs != 0) drive_.FATCopy = 1;
    ScanLostDir(drive_.FATType == FAT32 ? drive_.RootCluster : 0, drive_.RootDirSector, false);
  }
  SetCache(true);
  if (!status_.Cancelled && drive_.FATType != FAT32) RootAreaPass();
  if (!status_.Cancelled) ClusterPass();
}

}  // namespace

bool FATClusterHasEntries(TFATdrive& drive, uint32_t cluster) {
  TFATCursor cursor{cluster, 0, 2};
  std::string name;
  uint8_t record[dirent::kSize];
  return drive.GetNextEntry(cursor, true, name, record);  // deleted entries are files to bring back too
}

bool RecogniseFATCluster(TFATdrive& drive, uint32_t cluster, uint8_t& kind, std::string& extension) {
  kind = kStartsNewFile;
  if (!drive.IsValidCluster(cluster) || drive.ClusterSize == 0) return false;
  std::vector<uint8_t> bytes(drive.ClusterSize);
  if (!drive.ReadSectors(drive.ClusterToSector(cluster), drive.SectorsPerCluster, true, bytes.data())) return false;
  return IdentifyFileType(bytes, extension, kind);
}

bool FindMFTRecordInCluster(TFATdrive& drive, uint32_t cluster, std::string& name, uint32_t& size,
                            uint32_t& offset) {
  if (!drive.IsValidCluster(cluster) || drive.BytesPerSec == 0) return false;
  const uint64_t s = drive.ClusterToSector(cluster);
  if (s >= drive.TotalSectors) return false;
  const uint32_t sectors = uint32_t(std::min<uint64_t>(kRecordSectors, drive.TotalSectors - s));
  std::vector<uint8_t> bytes(uint64_t(sectors) * drive.BytesPerSec);
  if (!drive.ReadSectors(s, sectors, true, bytes.data()) || !IsMFTRecord(bytes)) return false;
  return ParseLostRecord(bytes, kMaxRecordNameChars, name, size, offset);
}

bool FindFATLostData(TFATdrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders() || drive.ClusterCount == 0 || drive.ClusterSize == 0) return false;
  // Clusters past the device's end cannot be searched.
  if (drive.ClustersOnDevice == 0) return false;
  const uint64_t lowest = 2, highest = uint64_t(drive.ClustersOnDevice) + 1;
  uint64_t first = 0, last = 0;
  if (!AskLostRange(lowest, highest, first, last)) return false;

  TLostDataScan scan(drive, status, last - first + 1);
  try {
    TFATLostSearch search(drive, scan, uint32_t(first), uint32_t(last));
    search.Run();
  } catch (const std::exception& e) {
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
