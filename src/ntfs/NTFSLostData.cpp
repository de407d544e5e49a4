#include "ntfs/NTFSLostData.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/AlignedBuffer.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/SearchThreads.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/LostDataScan.h"
#include "devices/ScanPipeline.h"
#include "devices/StatusDialog.h"
#include "filetypes/Carver.h"
#include "filetypes/FileTypes.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/LostRecord.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSFormerTree.h"
#include "ntfs/NTFSdrive.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

using namespace ntfs;

constexpr uint64_t kRecordBitmap = 6;
// Clusters read at a time by the scan.
constexpr uint64_t kWindowBytes = 4u << 20;
constexpr size_t kMaxLostNameChars = 511;

// The volume bitmap's bytes covering clusters first .. last: byte 0 holds cluster 8 * (first / 8).
// Bits that cannot be read stay clear, so their clusters count as free.
std::vector<uint8_t> ReadBitmapPiece(TNTFSdrive& drive, uint64_t first, uint64_t last) {
  const uint64_t bytes = (last + 1) / 8 - first / 8 + 1;
  std::vector<uint8_t> piece(bytes, 0);
  std::vector<uint8_t> record;
  TNTFSAttribute data;
  if (!drive.ReadMFTRecord(kRecordBitmap, record) || !IsValidRecord(record) ||
      !drive.LoadAttribute(record, kRecordBitmap, AttrData, u"", data))
    return piece;
  const uint64_t got = drive.ReadAttributeBytes(data, first / 8, bytes, piece.data());
  if (got != bytes) DebugLog("findLostData: bitmapattr bytes read error: " + std::to_string(got), 0);
  return piece;
}

// Byte ranges of the volume the current $MFT's records occupy, up to its data size.
std::vector<std::pair<uint64_t, uint64_t>> CurrentMFTRanges(const TNTFSdrive& drive, uint64_t clusters) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  const uint64_t cs = drive.ClusterSize;
  const uint64_t size = drive.MFTData.DataSize;
  for (const TRun& run : drive.MFTData.Runs) {
    if (run.Hole || run.Lcn < 0 || run.Vcn < 0 || uint64_t(run.Vcn) >= size / cs + 1 || uint64_t(run.Lcn) >= clusters)
      continue;
    const uint64_t length = std::min(run.Length, clusters - uint64_t(run.Lcn)) * cs;
    const uint64_t bytes = std::min(length, size - uint64_t(run.Vcn) * cs);
    if (bytes > 0) ranges.emplace_back(uint64_t(run.Lcn) * cs, uint64_t(run.Lcn) * cs + bytes);
  }
  return ranges;
}

// A file found by its content where a file of a former MFT has its data is that file again, without
// its name and size: only the former one stays.
void DropCarvedInside(TCustomDirectory& lost, std::vector<std::pair<uint64_t, uint64_t>>& pieces) {
  if (pieces.empty() || !lost.Children) return;
  // Joined into disjoint [first, end) ranges, so that one search finds the range holding a cluster.
  std::sort(pieces.begin(), pieces.end());
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const auto& [first, count] : pieces) {
    const uint64_t end = first + std::min(count, UINT64_MAX - first);
    if (!ranges.empty() && first <= ranges.back().second)
      ranges.back().second = std::max(ranges.back().second, end);
    else
      ranges.emplace_back(first, end);
  }
  auto inside = [&](uint64_t cluster) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), std::make_pair(cluster, UINT64_MAX));
    return it != ranges.begin() && cluster < std::prev(it)->second;
  };
  std::erase_if(*lost.Children, [&](const std::unique_ptr<TItem>& item) {
    auto* f = dynamic_cast<const TNTFSFile*>(item.get());
    return f && f->MFTNumber < 0 && f->StartCluster >= 0 && inside(uint64_t(f->StartCluster));
  });
}

}  // namespace

bool AnalyseNTFSCluster(TNTFSdrive& drive, uint64_t cluster, uint8_t& kind, std::string& typeName) {
  kind = kStartsNewFile;
  if (drive.ClusterSize == 0) return false;
  std::vector<uint8_t> bytes(drive.ClusterSize);
  if (!drive.ReadClusters(int64_t(cluster), 1, bytes.data())) return false;
  return IdentifyFileType(bytes, typeName, kind);
}

bool FindNTFSLostData(TNTFSdrive& drive, TStatusDialog* status) {
  if (!drive.HasSpecialFolders() || drive.SectorsPerCluster == 0 || drive.ClusterSize == 0) return false;
  const uint64_t clusters = drive.VolumeSectors / drive.SectorsPerCluster;
  if (clusters == 0) return false;
  uint64_t first = 0, last = 0;
  if (!AskLostRange(0, clusters - 1, first, last)) return false;

  TLostDataScan scan(drive, status, last - first + 1);
  TStatusDialog& dialog = scan.Dialog();
  TCustomDirectory& lost = *drive.LostFolder;
  if (drive.Device) drive.Device->SetCacheEnabled(true);

  try {
    const std::vector<uint8_t> piece = ReadBitmapPiece(drive, first, last);
    const uint64_t bitBase = 8 * (first / 8);
    auto isFree = [&](uint64_t i) {
      const uint64_t bit = i - bitBase;
      return ((piece[bit / 8] >> (bit % 8)) & 1) == 0;
    };
    const uint64_t cs = drive.ClusterSize;
    const uint64_t perWindow = std::max<uint64_t>(1, kWindowBytes / cs);
    // Each window is read with one record's or index block's worth of the next, for those that
    // cross its end.
    const uint64_t tailRoom = std::max(drive.BytesPerFileRecord, drive.BytesPerIndexRecord);
    const uint32_t indexStep = std::min(drive.ClusterSize, drive.BytesPerIndexRecord);
    TFileCarver carver(drive.ClusterSize, Options().LostDefaultSize);
    const bool findFiles = Options().FindLostFiles;
    // Former MFT records are looked for in every cluster, in use or not: a new, smaller MFT and the
    // new volume's files lie over parts of the old one.
    auto found = std::make_shared<TFoundMFT>(drive.BytesPerFileRecord, CurrentMFTRanges(drive, clusters));
    const uint32_t step = std::min(drive.ClusterSize, drive.BytesPerFileRecord);

    // Windows read ahead on a reader thread, the free clusters' signatures looked at on every core,
    // and the decisions taken here in cluster order.
    std::mutex deviceLock;
    TScanPipeline<TFileTypeGuess>::TSetup setup;
    setup.First = first;
    setup.Last = last;
    setup.BlockBytes = uint32_t(cs);
    setup.ChunkBlocks = uint32_t(perWindow);
    setup.Lookahead = uint32_t((tailRoom + cs - 1) / cs);
    setup.Limit = clusters;
    setup.Threads = SearchThreads();
    setup.Read = [&](uint64_t from, uint32_t count, uint8_t* out) {
      // Unreadable sectors come back as zeros, which match nothing.
      drive.ReadVolumeBytes(from * cs, count * cs, out);
      return true;
    };
    setup.Prescan = [&](TScanChunk<TFileTypeGuess>& c) {
      c.Looks.resize(c.Blocks);
      if (findFiles)
        for (uint32_t k = 0; k < c.Blocks; ++k)
          if (isFree(c.First + k)) c.Looks[k] = IdentifyCluster(std::span<const uint8_t>(c.Bytes.data() + k * cs, cs));
    };
    TScanPipeline<TFileTypeGuess> pipeline(deviceLock, std::move(setup));

    while (TScanChunk<TFileTypeGuess>* c = pipeline.Next()) {
      if (dialog.Cancelled) break;
      std::lock_guard<std::mutex> hold(deviceLock);
      const uint64_t base = c->First, count = c->Blocks;
      const uint8_t* window = c->Bytes.data();
      const uint64_t tail = std::min(tailRoom, (clusters - base - count) * cs);
      found->Examine(std::span<const uint8_t>(window, count * cs + tail), base * cs, count * cs, step);
      for (uint64_t k = 0; k < count && !dialog.Cancelled; ++k) {
        const uint64_t i = base + k;
        // Former index blocks name the folders whose records are gone; the current volume's
        // blocks lie in clusters in use.
        if (isFree(i) && indexStep > 0)
          for (uint32_t at = 0; at < cs; at += indexStep)
            if (std::memcmp(window + k * cs + at, "INDX", 4) == 0)
              found->ExamineIndexBlock(std::span<const uint8_t>(window + k * cs + at, count * cs + tail - k * cs - at),
                                       drive.BytesPerIndexRecord);
        if (isFree(i) && findFiles) {
          std::span<const uint8_t> bytes(window + k * cs, cs);
          // A found file is saved as consecutive clusters, so its end is looked for in those.
          TBlockSource following(drive.ClusterSize, clusters - i,
                                 [&drive, i](uint64_t from, uint32_t n, uint8_t* out) {
                                   return drive.ReadClusters(int64_t(i + from), n, out);
                                 });
          const TCarveResult carved = carver.Examine(i, c->Looks[k], following);
          std::string name;
          uint32_t size = 0, offset = 0;
          if (carved.Verdict == TCarveVerdict::NewFile) {
            auto file = std::make_unique<TNTFSFile>();
            DescribeCarvedFile(carved, *file);
            file->MFTNumber = -1;
            file->StartCluster = int64_t(i);
            file->Flags = ItemLost;
            file->Drive = &drive;
            file->Parent = &lost;
            lost.Adopt(std::move(file));
          } else if (carved.Verdict == TCarveVerdict::Nested) {
            scan.NoteNestedHit();
          } else if (carved.Verdict == TCarveVerdict::Nothing && IsMFTRecord(bytes)) {
            carver.NoteOther(i, "MFT");
            // A record in use is listed in the former tree with its path; a deleted one with resident
            // data is listed here so that the data can be viewed and saved.
            if (!(RecordFlags(bytes) & RecordInUse) && ParseNTFSLostRecord(bytes, kMaxLostNameChars, name, size, offset)) {
              auto file = std::make_unique<TNTFSMFTFile>();
              file->Name = name;
              file->Size = size;
              file->DataOffset = offset;
              file->Cluster = i;
              file->Flags = ItemLost;
              file->Drive = &drive;
              file->Parent = &lost;
              lost.Adopt(std::move(file));
            }
          }
        }
        dialog.Step();
        if (dialog.UpdateDue()) {
          dialog.UpdateTexts("", TextF(txt::ScanningCluster, {i}), "", "",
                             TextF(txt::LostFilesFound, {lost.Children->size()}));
          Host().ProcessMessages();
        }
      }
    }
    found->Finish();
    drive.FoundRecords = found;
    if (!dialog.Cancelled) {
      std::vector<std::pair<uint64_t, uint64_t>> listed;
      AddFormerTree(drive, *found, lost, &dialog, listed);
      DropCarvedInside(lost, listed);
    }
  } catch (const std::exception& e) {
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
