#include "exfat/ExFATLostData.h"

#include <algorithm>
#include <exception>
#include <functional>
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
#include "exfat/ExFATFile.h"
#include "exfat/ExFATdrive.h"
#include "filetypes/Carver.h"
#include "salvex/StringIds.h"

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
    // Clusters that follow each other on the volume are read together.
    for (uint32_t k = 0; k < count;) {
      const uint32_t n = At(index + k);
      if (n == 0) return false;
      uint32_t run = 1;
      while (k + run < count && At(index + k + run) == n + run) ++run;
      if (!drive_.ReadSectors(drive_.ClusterToSector(n), run * spc, false, out + uint64_t(k) * drive_.ClusterSize))
        return false;
      k += run;
    }
    return true;
  }

 private:
  uint32_t At(uint64_t index) {
    while (clusters_.size() <= index) {
      uint64_t n = uint64_t(clusters_.back()) + 1;
      while (drive_.IsOnDevice(n) && drive_.BitmapRead && !drive_.IsClusterFree(uint32_t(n))) ++n;
      if (!drive_.IsOnDevice(n)) return 0;
      clusters_.push_back(uint32_t(n));
    }
    return clusters_[index];
  }
  TExFATdrive& drive_;
  std::vector<uint32_t> clusters_;
};

// The clusters of a pass read in runs of free ones: one read for many clusters, each cluster's bytes
// the same as read alone. A run that cannot be read is read cluster by cluster, so that one bad
// sector costs only its own cluster.
class TRunReader {
 public:
  TRunReader(TExFATdrive& drive, uint64_t last, std::function<bool(uint32_t)> wanted)
      : drive_(drive), last_(last), wanted_(std::move(wanted)) {}
  // The cluster's bytes, or nothing when it cannot be read.
  const uint8_t* Read(uint32_t n) {
    const uint32_t spc = drive_.ClusterSize / drive_.BytesPerSec;
    if ((n < first_ || n >= first_ + count_) && n >= singlesUntil_) {
      uint32_t count = 1;
      while (count < kRun && n + uint64_t(count) <= last_ && wanted_(n + count)) ++count;
      buffer_.resize(size_t(count) * drive_.ClusterSize);
      first_ = n;
      count_ = drive_.ReadSectors(drive_.ClusterToSector(n), count * spc, false, buffer_.data()) ? count : 0;
      if (count_ == 0) singlesUntil_ = uint64_t(n) + count;
    }
    if (count_ != 0 && n >= first_ && n < first_ + count_) return buffer_.data() + size_t(n - first_) * drive_.ClusterSize;
    count_ = 0;
    buffer_.resize(drive_.ClusterSize);
    return drive_.ReadSectors(drive_.ClusterToSector(n), spc, false, buffer_.data()) ? buffer_.data() : nullptr;
  }

 private:
  static constexpr uint32_t kRun = 64;
  TExFATdrive& drive_;
  uint64_t last_;
  std::function<bool(uint32_t)> wanted_;
  std::vector<uint8_t> buffer_;
  uint64_t first_ = 0, singlesUntil_ = 0;
  uint32_t count_ = 0;
};

bool IsZeroCluster(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

bool FindExFATLostData(TExFATdrive& drive, TStatusDialog* status) {
  // Clusters past the device's end cannot be searched.
  if (!drive.HasSpecialFolders() || drive.ClustersOnDevice == 0 || drive.ClusterSize == 0) return false;
  const uint64_t lowest = 2, highest = uint64_t(drive.ClustersOnDevice) + 1;
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
    auto freeCluster = [&](uint32_t n) { return !(drive.BitmapRead && !drive.IsClusterFree(n)) && !known.count(n); };
    TRunReader folderPass(drive, last, freeCluster);
    // Folders first, so that the content search knows every file they hold.
    for (uint64_t c = first; c <= last && !dialog.Cancelled; ++c) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(txt::ScanningCluster, {c}), TextF(txt::LostFoldersFound, {found.size()}),
                           TextF(txt::LostFilesFound, {uint64_t(0)}));
        Host().ProcessMessages();
      }
      dialog.Step();
      const uint32_t n = uint32_t(c);
      if (!freeCluster(n)) continue;
      const uint8_t* read = folderPass.Read(n);
      if (read == nullptr) continue;
      const std::span<const uint8_t> bytes(read, drive.ClusterSize);
      if (!StartsWithEntrySet(bytes)) continue;
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
    TRunReader contentPass(drive, last, [&](uint32_t n) { return freeCluster(n) && !taken.Contains(n); });
    std::vector<std::unique_ptr<TExFATFile>> files;
    for (uint64_t c = first; findFiles && c <= last && !dialog.Cancelled; ++c) {
      if (dialog.UpdateDue()) {
        dialog.UpdateTexts("", TextF(txt::ScanningCluster, {c}), TextF(txt::LostFoldersFound, {found.size()}),
                           TextF(txt::LostFilesFound, {uint64_t(files.size())}));
        Host().ProcessMessages();
      }
      dialog.Step();
      const uint32_t n = uint32_t(c);
      if (!freeCluster(n)) continue;
      if (taken.Contains(n)) {
        carver.NoteOther(n, "listed");
        continue;
      }
      const uint8_t* read = contentPass.Read(n);
      if (read == nullptr) continue;
      const std::span<const uint8_t> bytes(read, drive.ClusterSize);
      if (IsZeroCluster(bytes)) continue;
      TFreeClusterSource free(drive, n);
      TBlockSource following(drive.ClusterSize, uint64_t(drive.ClustersOnDevice) + 2 - n,
                             [&free](uint64_t index, uint32_t count, uint8_t* out) { return free.Read(index, count, out); });
      const TCarveResult carved = carver.Examine(n, bytes, following);
      if (carved.Verdict == TCarveVerdict::Nested) scan.NoteNestedHit();
      if (carved.Verdict != TCarveVerdict::NewFile) continue;
      auto file = std::make_unique<TExFATFile>();
      DescribeCarvedFile(carved, *file);
      file->Size = file->ValidDataLength = std::min(carved.Size, drive.HeapBytes());
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
