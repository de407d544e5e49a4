#include "ntfs/NTFSLostData.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

#include "common/AlignedBuffer.h"
#include "common/ByteReader.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/LostDataScan.h"
#include "devices/StatusDialog.h"
#include "filetypes/Carver.h"
#include "filetypes/FileTypes.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

namespace {

using namespace ntfs;

constexpr uint64_t kRecordBitmap = 6;
// Clusters read at a time by the scan.
constexpr uint64_t kWindowBytes = 1u << 20;
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

}  // namespace

bool ParseLostRecord(std::span<const uint8_t> buffer, size_t maxNameChars, std::string& name, uint32_t& size,
                     uint32_t& offset) {
  if (!IsValidRecord(buffer)) return false;
  // The record's own length (allocated size) when it is sensible, else the whole buffer.
  ByteReader header(buffer);
  uint64_t length = header.U32(0x1C);
  if (length < 512 || length > buffer.size()) length = buffer.size();
  std::vector<uint8_t> record(buffer.begin(), buffer.begin() + length);
  ApplyFixup(record);
  if (!IsValidRecord(record)) return false;
  auto fileName = FindFileNameInRecord(record);
  if (!fileName || !fileName->Valid()) return false;
  auto data = FindAttributeInRecord(record, AttrData, 0, u"");
  if (!data || data->NonResident()) return false;
  std::span<const uint8_t> chars = fileName->NameBytes();
  if (chars.size() > 2 * maxNameChars) chars = chars.first(2 * maxNameChars);
  std::string text = NameToUtf8(chars);
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  name = text;
  size = data->ValueLength();
  offset = data->Offset + data->ValueOffset();
  return true;
}

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
  uint64_t first = 0, last = clusters - 1;
  if (!Host().AskClusterRange(first, last, 0, clusters - 1)) return false;
  // Typed values reach here unchecked: keep them inside the volume and in order.
  first = std::min(first, clusters - 1);
  last = std::min(last, clusters - 1);
  if (first > last) std::swap(first, last);

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
    const uint64_t perWindow = std::max<uint64_t>(1, kWindowBytes / drive.ClusterSize);
    AlignedBuffer window(perWindow * drive.ClusterSize);
    TFileCarver carver(drive.ClusterSize, Options().LostDefaultSize);
    const bool findFiles = Options().FindLostFiles;

    for (uint64_t base = first; base <= last && !dialog.Cancelled; base += perWindow) {
      const uint64_t count = std::min(perWindow, last - base + 1);
      bool anyFree = false;
      for (uint64_t k = 0; k < count && !anyFree; ++k) anyFree = isFree(base + k);
      // Unreadable sectors come back as zeros, which match nothing.
      if (anyFree && findFiles) drive.ReadClusters(int64_t(base), count, window.data());
      for (uint64_t k = 0; k < count && !dialog.Cancelled; ++k) {
        const uint64_t i = base + k;
        if (isFree(i)) {
          if (findFiles) {
            std::span<const uint8_t> bytes(window.data() + k * drive.ClusterSize, drive.ClusterSize);
            // A found file is saved as consecutive clusters, so its end is looked for in those.
            TBlockSource following(drive.ClusterSize, clusters - i,
                                   [&drive, i](uint64_t from, uint32_t n, uint8_t* out) {
                                     return drive.ReadClusters(int64_t(i + from), n, out);
                                   });
            const TCarveResult carved = carver.Examine(i, bytes, following);
            std::string name;
            uint32_t size = 0, offset = 0;
            if (carved.Verdict == TCarveVerdict::NewFile) {
              auto file = std::make_unique<TNTFSFile>();
              file->Name = "cluster " + std::to_string(i) + "." + carved.Type;
              file->Size = carved.Size;
              file->SizeOrigin = carved.EndFound ? TSizeOrigin::FormatEnd : TSizeOrigin::Default;
              file->MFTNumber = -1;
              file->StartCluster = int64_t(i);
              file->Flags = ItemLost;
              file->Drive = &drive;
              file->Parent = &lost;
              lost.Adopt(std::move(file));
            } else if (carved.Verdict == TCarveVerdict::Nested) {
              scan.NoteNestedHit();
            } else if (carved.Verdict == TCarveVerdict::Nothing && IsMFTRecord(bytes) &&
                       ParseLostRecord(bytes, kMaxLostNameChars, name, size, offset)) {
              // Listed so that the resident data can be viewed and saved.
              auto file = std::make_unique<TNTFSMFTFile>();
              file->Name = name;
              file->Size = size;
              file->DataOffset = offset;
              file->Cluster = i;
              file->Flags = ItemLost;
              file->Drive = &drive;
              file->Parent = &lost;
              lost.Adopt(std::move(file));
              carver.NoteOther(i, "MFT");
            }
          }
          dialog.Step();
        }
        if (dialog.UpdateDue()) {
          dialog.UpdateTexts("", TextF(732, {i}), "", "", TextF(734, {lost.Children->size()}));
          Host().ProcessMessages();
        }
      }
    }
  } catch (const std::exception& e) {
    scan.Fail(e);
  }
  return true;
}

}  // namespace salvex
