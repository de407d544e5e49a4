#include "exfat/ExFATLostData.h"

#include <algorithm>
#include <exception>
#include <set>
#include <vector>

#include "common/ClusterSet.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "devices/LostDataScan.h"
#include "devices/StatusDialog.h"
#include "exfat/ExFATDirectory.h"
#include "exfat/ExFATdrive.h"
#include "exfat/ExFATFile.h"
#include "filetypes/Carver.h"

namespace salvex {

namespace {

// A folder's first cluster starts with a whole entry set whose checksum holds; file data that
// happens to start with 0x85 rarely passes both the structure and the checksum.
bool StartsWithEntrySet(std::span<const uint8_t> cluster) {
  auto set = ParseExFATEntrySet(cluster, 0);
  return set && set->ChecksumOk;
}

// The clusters a lost file found at `first` is read from: it and the free clusters after it, as
// its data is read when saved (allocated clusters are other files'). Found one by one as the end
// finders ask for them.
class TFreeClusterSource {
 public:
  TFreeClusterSource(TExFATdrive& drive, uint32_t first) : drive_(drive), clusters_{first} {}
  bool Read(uint64_t index, uint32_t count, uint8_t* out) {
    const uint32_t spc = drive_.ClusterSize / drive_.BytesPerSec;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t n = At(index + k);
      if (n == 0 || !drive_.ReadSectors(drive_.ClusterToSector(n), spc, false, out + uint64_t(k) * drive_.ClusterSize))
        return false;
    }
    return true;
  }

 private:
  uint32_t At(uint64_t index) {
    while (clusters_.size() <= index) {
      uint64_t n = uint64_t(clusters_.back()) + 1;
      while (drive_.IsValidCluster(n) && drive_.BitmapRead && !drive_.IsClusterFree(uint32_t(n))) ++n;
      if (!drive_.IsValidCluster(n)) return 0;
      clusters_.push_back(uint32_t(n));
    }
    return clusters_[index];
  }
  TExFATdrive& drive_;
  std::vector<uint32_t> clusters_;
};

bool IsZeroCluster(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

bool FindExFATLostData(TExFATdrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders() || drive.ClusterCount == 0 || drive.ClusterSize == 0) return false;
  const uint64_t lowest = 2, highest = uint64_t(drive.ClusterCount) + 1;
  uint64_t first = 0, last = 0;
  if (!AskLostRange(lowest, highest, first, last)) return false;

  const bool findFiles = Options().FindLostFiles;
  const uint64_t span = last - first + 1;
  TLostDataScan scan(drive, status, findFiles ? 2 * span : span);
  TStatusDialog& dialog = scan.Dialog();
  try {
    std::vector<uint32_t> found;
    std::set<uint32_t> named;  // first clusters of subfolders named by a folder found
    // Deleted folders the Deleted tree reaches are listed there already, with their names; the
    // clusters of its deleted files and of the files of folders found are no lost files.
    std::set<uint32_t> known;
    TClusterSet taken;
    auto take = [&](uint32_t first, uint64_t length, bool contiguous) {
      const uint64_t clusters = std::min<uint64_t>(contiguous ? drive.ClustersFor(length) : 1, drive.ClusterCount);
      for (uint64_t k = 0; k < clusters && drive.IsValidCluster(uint64_t(first) + k); ++k) taken.Insert(uint32_t(first + k));
    };
    drive.DeletedRoot()->Search(
        [&](TItem& item) {
          if (auto* d = dynamic_cast<TExFATDirectory*>(&item)) known.insert(d->FirstCluster);
          if (auto* f = dynamic_cast<TExFATFile*>(&item)) take(f->FirstCluster, f->Size, true);
          return !dialog.Cancelled;
        },
        true, true, true);
    const uint32_t spc = drive.ClusterSize / drive.BytesPerSec;
    std::vector<uint8_t> bytes(drive.ClusterSize);
    auto freeCluster = [&](uint32_t n) { return !(drive.BitmapRead && !drive.IsClusterFree(n)) && !known.count(n); };
    // Folders first, so that the content search knows every file they hold.
    for (uint64_t c = first; c <= last && !dialog.Cancelled; ++c) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(732, {c}), TextF(733, {found.size()}), TextF(734, {uint64_t(0)}));
        Host().ProcessMessages();
      }
      dialog.Step();
      const uint32_t n = uint32_t(c);
      if (!freeCluster(n)) continue;
      if (!drive.ReadSectors(drive.ClusterToSector(n), spc, false, bytes.data()) || !StartsWithEntrySet(bytes)) continue;
      found.push_back(n);
      taken.Insert(n);
      for (size_t off = 0; off + exentry::kSize <= bytes.size(); off += exentry::kSize) {
        auto set = ParseExFATEntrySet(bytes, off);
        if (!set) continue;
        if (set->Directory() && set->FirstCluster != n) named.insert(set->FirstCluster);
        if (!set->Directory()) take(set->FirstCluster, set->DataLength, set->NoFatChain());
        off += (set->Entries - 1) * exentry::kSize;
      }
    }
    // Then files by their content in the free clusters no file listed elsewhere holds.
    TFileCarver carver(drive.ClusterSize, Options().LostDefaultSize);
    std::vector<std::unique_ptr<TExFATFile>> files;
    for (uint64_t c = first; findFiles && c <= last && !dialog.Cancelled; ++c) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(732, {c}), TextF(733, {found.size()}), TextF(734, {uint64_t(files.size())}));
        Host().ProcessMessages();
      }
      dialog.Step();
      const uint32_t n = uint32_t(c);
      if (!freeCluster(n)) continue;
      if (taken.Contains(n)) {
        carver.NoteOther(n, "listed");
        continue;
      }
      if (!drive.ReadSectors(drive.ClusterToSector(n), spc, false, bytes.data()) || IsZeroCluster(bytes)) continue;
      TFreeClusterSource free(drive, n);
      TBlockSource following(drive.ClusterSize, uint64_t(drive.ClusterCount) + 2 - n,
                             [&free](uint64_t index, uint32_t count, uint8_t* out) { return free.Read(index, count, out); });
      const TCarveResult carved = carver.Examine(n, bytes, following);
      if (carved.Verdict == TCarveVerdict::Nested) scan.NoteNestedHit();
      if (carved.Verdict != TCarveVerdict::NewFile) continue;
      auto file = std::make_unique<TExFATFile>();
      file->Name = carved.Name;
      file->FirstPieceBytes = carved.FirstPieceBytes;
      file->GapBytes = carved.GapBytes;
      file->Size = file->ValidDataLength = std::min(carved.Size, drive.HeapBytes());
      file->SizeOrigin = carved.EndFound ? TSizeOrigin::FormatEnd : TSizeOrigin::Default;
      file->NoFatChain = true;
      file->Attributes = 0x20;  // archive, as a written file has it
      file->Flags = ItemLost;
      file->FirstCluster = n;
      file->Drive = &drive;
      files.push_back(std::move(file));
    }
    for (uint32_t n : found) {
      if (named.count(n)) continue;
      auto dir = std::make_unique<TExFATDirectory>();
      dir->Name = "cluster " + std::to_string(n);
      dir->Drive = &drive;
      dir->Parent = drive.LostFolder.get();
      dir->Flags = ItemLost;
      dir->FirstCluster = n;
      // The folder's length went with its entry in the parent: read on until its end entry.
      dir->NoFatChain = true;
      dir->DataLength = uint64_t(256) << 20;
      drive.LostFolder->Adopt(std::move(dir));
    }
    for (auto& file : files) {
      file->Parent = drive.LostFolder.get();
      drive.LostFolder->Adopt(std::move(file));
    }
  } catch (const std::exception& e) {
    // A search that broke off (memory refused included) is reported, never taken as finished.
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
