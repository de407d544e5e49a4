#include "ntfs/NTFSdrive.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/ClusterVolume.h"
#include "devices/Device.h"
#include "devices/ReadFailures.h"
#include "devices/StatusDialog.h"
#include "ntfs/AttributeList.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/NTFSCompression.h"
#include "ntfs/NTFSDeleted.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSLostData.h"
#include "salvex/StringIds.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint64_t kRecordMFT = 0, kRecordVolume = 3;
constexpr uint32_t kMaxClusterSize = 2u << 20;  // the largest Windows formats
constexpr uint64_t kMFTCacheBytes = 256 * 1024;
// Largest single device transfer; longer reads are split.
constexpr uint64_t kMaxTransfer = 4u << 20;
// Sizes encoded as clusters (positive) or as a power of two (a negative byte: 0xF6 is 2^10).
uint64_t DecodeRecordSize(uint32_t raw, uint32_t clusterSize) {
  if (raw < 128) return uint64_t(raw) * clusterSize;
  int8_t exponent = static_cast<int8_t>(raw & 0xFF);
  if (exponent >= 0 || exponent < -31) return 0;
  return uint64_t(1) << (-exponent);
}

bool IsPowerOfTwo(uint64_t v) { return v && (v & (v - 1)) == 0; }
}  // namespace

std::unique_ptr<TCustomDrive> NewNTFSDrive() { return std::make_unique<TNTFSdrive>(); }

TNTFSdrive::TNTFSdrive() = default;
TNTFSdrive::~TNTFSdrive() = default;

TNTFSDirectory* TNTFSdrive::Root() const { return static_cast<TNTFSDirectory*>(RootFolder.get()); }
TNTFSDirectory* TNTFSdrive::Deleted() const { return static_cast<TNTFSDirectory*>(DeletedFolder.get()); }

bool TNTFSdrive::ReadSectors(uint64_t sector, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (!Device) return false;
  uint32_t deviceSector = Device->BytesPerSector ? Device->BytesPerSector : 512;
  uint64_t scale = SectorSize >= deviceSector ? SectorSize / deviceSector : 1;
  uint64_t bound = FirstSector + VolumeSectors * scale;
  if (ReadVolumeSectors(*Device, FirstSector, SectorSize, sector, count, showErrors, bound, buffer)) return true;
  DebugLog("error reading sector: " + std::to_string(sector), 1);
  return false;
}

bool TNTFSdrive::ReadVolumeBytes(uint64_t offset, uint64_t length, uint8_t* buffer) {
  const uint64_t ss = SectorSize;
  bool ok = true;
  while (length > 0) {
    uint64_t sector = offset / ss;
    uint64_t within = offset % ss;
    if (within == 0 && length >= ss) {
      // Whole sectors straight into the caller's buffer.
      uint64_t sectors = std::min(length / ss, kMaxTransfer / ss);
      if (VolumeSectors && sector + sectors > VolumeSectors)
        sectors = sector < VolumeSectors ? VolumeSectors - sector : 0;
      if (sectors > 0 && ReadSectors(sector, static_cast<uint32_t>(sectors), true, buffer)) {
        buffer += sectors * ss;
        offset += sectors * ss;
        length -= sectors * ss;
        continue;
      }
      // Fall back to single sectors so that only the unreadable ones become zeros.
      sectors = std::max<uint64_t>(sectors, 1);
      for (uint64_t i = 0; i < sectors; ++i) {
        bool inside = !VolumeSectors || sector + i < VolumeSectors;
        if (!inside || !ReadSectors(sector + i, 1, false, buffer)) {
          if (!inside) CountRefusedRead();
          std::memset(buffer, 0, ss);
          ++UnreadableSectors;
          ok = false;
        }
        buffer += ss;
      }
      offset += sectors * ss;
      length -= sectors * ss;
      continue;
    }
    // A partial sector goes through the scratch buffer.
    sectorScratch_.resize(ss);
    uint64_t n = std::min(ss - within, length);
    bool inside = !VolumeSectors || sector < VolumeSectors;
    if (!inside || !ReadSectors(sector, 1, true, sectorScratch_.data())) {
      if (!inside) CountRefusedRead();
      std::fill(sectorScratch_.begin(), sectorScratch_.end(), 0);
      ++UnreadableSectors;
      ok = false;
    }
    std::memcpy(buffer, sectorScratch_.data() + within, n);
    buffer += n;
    offset += n;
    length -= n;
  }
  return ok;
}

bool TNTFSdrive::ReadClusters(int64_t lcn, uint64_t count, uint8_t* buffer) {
  if (lcn < 0) {
    std::memset(buffer, 0, count * ClusterSize);
    return false;
  }
  return ReadVolumeBytes(uint64_t(lcn) * ClusterSize, count * ClusterSize, buffer);
}

void TNTFSdrive::Stop(std::string why) { AddMountNote(TError::Corrupt("NTFS boot sector", std::move(why)), true, true); }

bool TNTFSdrive::ApplyBootSector(std::span<const uint8_t> boot) {
  ByteReader r(boot);
  uint16_t bps = r.U16(0x0B);
  uint8_t spcRaw = r.U8(0x0D);
  if (r.Failed() || !IsPowerOfTwo(bps) || bps < 256 || bps > 8192) {
    Stop("bytes per sector (offset 0x0B) " + std::to_string(bps) + " is not a power of two from 256 to 8192");
    return false;
  }
  // Cluster sizes above 64 KiB are stored as a negative power of two.
  uint64_t spc = spcRaw <= 0x80 ? spcRaw : (uint64_t(1) << std::min(256 - spcRaw, 40));
  uint64_t cluster = spc * bps;
  if (spc == 0 || !IsPowerOfTwo(spc)) {
    Stop("sectors per cluster (offset 0x0D) " + std::to_string(spcRaw) + " is not a power of two");
    return false;
  }
  if (cluster > kMaxClusterSize) {
    Stop("sectors per cluster (offset 0x0D) " + std::to_string(spcRaw) + " gives clusters of " +
         std::to_string(cluster / 1024) + " KiB; clusters larger than 2 MiB are not supported");
    return false;
  }
  uint32_t deviceSector = Device && Device->BytesPerSector ? Device->BytesPerSector : bps;
  if (bps % deviceSector != 0) {
    Stop("bytes per sector (offset 0x0B) " + std::to_string(bps) + " does not fit the device's " +
         std::to_string(deviceSector) + "-byte sectors");
    return false;
  }
  SectorSize = bps;
  SectorsPerCluster = static_cast<uint32_t>(spc);
  ClusterSize = static_cast<uint32_t>(cluster);
  uint32_t fileRecordRaw = r.U32(0x40);
  uint32_t indexRecordRaw = r.U32(0x44);
  if (fileRecordRaw == 0 || indexRecordRaw == 0) {
    Stop("MFT record size (offset 0x40) " + std::to_string(fileRecordRaw) + " or index block size (offset 0x44) " +
         std::to_string(indexRecordRaw) + " is 0");
    return false;
  }
  uint64_t fileRecord = DecodeRecordSize(fileRecordRaw, ClusterSize);
  uint64_t indexRecord = DecodeRecordSize(indexRecordRaw, ClusterSize);
  // Both are fixed up in 512-byte strides and read whole; 64 KiB bounds every buffer.
  if (fileRecord < 512 || fileRecord > 65536 || fileRecord % 512 || indexRecord < 512 || indexRecord > 65536 ||
      indexRecord % 512) {
    Stop("MFT record size (offset 0x40) gives " + std::to_string(fileRecord) + " and index block size (offset 0x44) " +
         std::to_string(indexRecord) + " bytes; each must be a multiple of 512 up to 65536");
    return false;
  }
  BytesPerFileRecord = static_cast<uint32_t>(fileRecord);
  BytesPerIndexRecord = static_cast<uint32_t>(indexRecord);
  VolumeSectors = r.U64(0x28);
  // A volume cannot reach past its device: a larger claim is damage, and believing it would size
  // scans and bitmaps by sectors that do not exist.
  if (const uint64_t room = DeviceRoom(bps); room > 0 && VolumeSectors > room) {
    AddMountNote(CutToDeviceWarning("NTFS boot sector", VolumeSectors, room), false, true);
    DebugLog("NTFS mount: " + MountNotes.back().Error.Text(), 0);
    VolumeSectors = room;
  }
  MFTStartLcn = r.U64(0x30);
  MFTMirrStartLcn = r.U64(0x38);
  return true;
}

bool TNTFSdrive::Mount(bool quiet) {
  MountNotes.clear();
  CorruptStructures = 0;
  FoundRecords.reset();
  RootFolder.reset();
  DeletedFolder.reset();
  LostFolder.reset();
  SearchFolder.reset();
  uint32_t deviceSector = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
  std::vector<uint8_t> boot(std::max<uint32_t>(deviceSector, 512));
  VolumeSectors = 0;
  SectorSize = deviceSector;
  // Sector 0 of the volume, or the backup copy a lost-drive search found in its place.
  uint64_t bootAt = BootSector > FirstSector ? BootSector - FirstSector : 0;
  bool ok = ReadSectors(bootAt, 1, true, boot.data());
  if (!ok) {
    TError e;
    e.Kind = TErrorKind::ReadError;
    e.What = "NTFS boot sector (volume sector " + std::to_string(bootAt) + ")";
    e.Why = "it cannot be read";
    e.Sector = FirstSector + bootAt;
    AddMountNote(std::move(e), true, true);
  }
  ok = ok && ApplyBootSector(boot);
  if (ok) {
    BootSectorBytes.assign(boot.begin(), boot.begin() + 512);
    ok = SetupMFT();
  }
  if (!ok) {
    if (!MountNotes.empty() && MountNotes.back().Stopped) {
      TMountNote& failure = MountNotes.back();
      DebugLog("NTFS mount: " + failure.Error.Text(), 0);
      if (!quiet) {
        failure.Message = TextF(txt::CannotOpenVolume, {failure.Error.Text()});
        failure.Caption = "NTFS";
        failure.Icon = TMsgIcon::Error;
      }
    }
    return false;
  }
  CreateSpecialFolders();
  ReadVolumeLabel();
  return true;
}

void TNTFSdrive::FixupRecord(std::span<uint8_t> record, uint64_t where) {
  if (ApplyFixup(record) == TFixup::Mismatch)
    DebugLog("update sequence mismatch in the structure at byte " + std::to_string(where) + "; used as read", 1);
}

bool TNTFSdrive::SetupMFT() {
  DebugLog("BytesPerFileRecord: " + std::to_string(BytesPerFileRecord), 1);
  DebugLog("bootb.MFTStartLcn: " + std::to_string(MFTStartLcn), 1);
  DebugLog("bootb.SectorsPerCluster: " + std::to_string(SectorsPerCluster), 1);
  const uint64_t clusters = VolumeSectors / SectorsPerCluster;
  auto readCopy = [&](uint64_t lcn) {
    MFTRecord.assign(BytesPerFileRecord, 0);
    if (lcn >= clusters) return false;
    bool read = ReadVolumeBytes(lcn * ClusterSize, BytesPerFileRecord, MFTRecord.data());
    FixupRecord(MFTRecord, lcn * ClusterSize);
    return read;
  };
  auto accept = [&]() {
    if (!HasSignature(MFTRecord, "FILE") || !IsValidRecord(MFTRecord)) return false;
    auto name = FindFileNameInRecord(MFTRecord);
    return name && NameToUtf8(name->NameBytes()) == "$MFT";
  };
  readCopy(MFTStartLcn);
  if (!accept()) {
    DebugLog("$MFT record not usable; reading the mirror copy", 1);
    readCopy(MFTMirrStartLcn);
    if (!accept()) {
      AddMountNote(TError::Corrupt("$MFT record (cluster " + std::to_string(MFTStartLcn) + ") and its mirror (cluster " +
                                       std::to_string(MFTMirrStartLcn) + ")",
                                   "neither is a valid MFT record named $MFT"),
                   true, true);
      return false;
    }
  }
  // The first extent of the $MFT's data is in its own record; it covers the records of any
  // further extents an attribute list names.
  auto data = FindAttributeInRecord(MFTRecord, AttrData, 0, u"");
  if (!data || !data->NonResident()) {
    AddMountNote(TError::Corrupt("$MFT record", "it has no non-resident $DATA attribute"), true, true);
    return false;
  }
  MFTData = TNTFSAttribute{};
  MFTData.Type = AttrData;
  MFTData.Resident = false;
  auto decoded = DecodeRunList(data->RunList(), data->StartVcn());
  MFTData.Runs = std::move(decoded.Runs);
  if (decoded.Damage) {
    decoded.Damage->What = "$MFT record: $DATA " + decoded.Damage->What;
    decoded.Damage->Why += MFTData.Runs.empty() ? "" : "; the records before it are read";
  }
  MFTData.DataSize = data->DataSize();
  MFTData.AllocatedSize = data->AllocatedSize();
  MFTData.InitializedSize = data->InitializedSize();
  if (MFTData.Runs.empty()) {
    AddMountNote(decoded.Damage ? *decoded.Damage : TError::Corrupt("$MFT record: $DATA run list", "it is empty"), true, true);
    return false;
  }
  if (decoded.Damage) AddMountNote(*decoded.Damage, false, true);
  TNTFSAttribute full;
  if (LoadAttribute(MFTRecord, kRecordMFT, AttrData, u"", full) && !full.Resident &&
      full.Runs.size() > MFTData.Runs.size())
    MFTData = std::move(full);
  mftCacheStart_ = UINT64_MAX;
  return true;
}

uint64_t TNTFSdrive::MFTRecordCount() const {
  return BytesPerFileRecord ? MFTData.DataSize / BytesPerFileRecord : 0;
}

bool TNTFSdrive::ReadMFTRecord(uint64_t n, std::vector<uint8_t>& record, bool alone) {
  if (ReadingFoundRecords) return ReadingFoundRecords->Read(*this, n, record);
  record.assign(BytesPerFileRecord, 0);
  if (n >= MFTRecordCount()) return false;
  uint64_t offset = n * BytesPerFileRecord;
  uint64_t blockStart = offset / kMFTCacheBytes * kMFTCacheBytes;
  if (alone && blockStart != mftCacheStart_) {
    bool complete = false;
    if (ReadAttributeBytes(MFTData, offset, BytesPerFileRecord, record.data(), &complete) != BytesPerFileRecord ||
        !complete)
      return false;
    FixupRecord(record, offset);
    return true;
  }
  if (blockStart != mftCacheStart_) {
    uint64_t length = std::min<uint64_t>(kMFTCacheBytes, MFTData.DataSize - blockStart);
    mftCache_.resize(length);
    bool complete = false;
    uint64_t got = ReadAttributeBytes(MFTData, blockStart, length, mftCache_.data(), &complete);
    if (got != length || !complete) {
      // Do not keep a piece with holes in it: the next record asks again.
      mftCacheStart_ = UINT64_MAX;
      uint64_t one = ReadAttributeBytes(MFTData, offset, BytesPerFileRecord, record.data(), &complete);
      if (one != BytesPerFileRecord || !complete) return false;
      FixupRecord(record, offset);
      return true;
    }
    mftCacheStart_ = blockStart;
    mftCacheLength_ = length;
  }
  uint64_t within = offset - mftCacheStart_;
  if (within + BytesPerFileRecord > mftCacheLength_) return false;
  std::memcpy(record.data(), mftCache_.data() + within, BytesPerFileRecord);
  FixupRecord(record, offset);
  return true;
}

void TNTFSdrive::CreateSpecialFolders() {
  auto make = [&](int offset, int64_t number, bool empty) {
    auto d = std::make_unique<TNTFSDirectory>();
    d->Name = LoadText(offset);
    d->Drive = this;
    d->MFTNumber = number;
    if (empty) d->Children.emplace();
    return d;
  };
  RootFolder = make(txt::FolderRoot, 5, false);
  // Deleted carries the root's number, so deleted entries of the root land in it directly.
  DeletedFolder = make(txt::FolderDeleted, 5, false);
  LostFolder = make(txt::FolderLost, 0, true);
  SearchFolder = make(txt::FolderSearched, 0, true);
}

void TNTFSdrive::ReadVolumeLabel() {
  std::vector<uint8_t> record;
  if (!ReadMFTRecord(kRecordVolume, record) || !IsValidRecord(record)) return;
  TNTFSAttribute label;
  if (!LoadAttribute(record, kRecordVolume, AttrVolumeName, u"", label) || !label.Resident) return;
  std::string name = NameToUtf8(std::span<const uint8_t>(label.Value).first(label.Value.size() & ~size_t(1)));
  if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
  Name = name;
}

void TNTFSdrive::NoteCorrupt(const std::string& what, const std::exception& error) {
  ++CorruptStructures;
  DebugLog("NTFS: " + what + " skipped as corrupt: " + error.what(), 1);
}

bool TNTFSdrive::FindLostData(TStatusDialog* status) { return FindNTFSLostData(*this, status); }

TPreviewFields TNTFSdrive::Preview() {
  TPreviewFields p;
  p.Known = true;
  p.TotalSectors = VolumeSectors;
  p.SectorsPerCluster = SectorsPerCluster;
  // The OEM name as Latin-1 letters, cut at the first zero byte.
  for (size_t i = 3; i < 11 && BootSectorBytes.size() >= 11 && BootSectorBytes[i] != 0; ++i) {
    const uint8_t b = BootSectorBytes[i];
    if (b < 0x80) {
      p.Oem += char(b);
    } else {
      p.Oem += char(0xC0 | (b >> 6));
      p.Oem += char(0x80 | (b & 0x3F));
    }
  }
  p.Label = Name;
  if (TNTFSDirectory* root = Root())
    root->Search(
        [&p](TItem& item) {
          TPreviewFields::TEntry e;
          if (auto* d = dynamic_cast<TNTFSDirectory*>(&item)) {
            e = {d->Name, true, 0, DosDateTimeText(d->Date, d->Time)};
          } else if (auto* f = dynamic_cast<TNTFSFile*>(&item)) {
            e = {f->Name, false, f->Size, DosDateTimeText(f->Date, f->Time)};
          } else if (auto* any = dynamic_cast<TCustomFile*>(&item)) {
            e = {any->Name, false, any->Size, ""};
          }
          p.RootEntries.push_back(std::move(e));
          return true;
        },
        false);
  return p;
}

std::vector<TListColumn> TNTFSdrive::ListColumns() const { return StandardColumns(LoadText(txt::ColumnMftEntry)); }

void TNTFSdrive::LoadSpecialFolders(TStatusDialog* status) {
  if (!HasSpecialFolders() || DeletedFolder->Children) return;
  DeletedFolder->Children.emplace();
  try {
    FindDeleted(status);
  } catch (const std::bad_alloc&) {
    // A Deleted tree cut short must not be taken for the whole one on the next look.
    deletedTree_.Clear();
    DeletedFolder->Children.reset();
    throw;
  }
}

bool TNTFSdrive::TopMayHaveSubfolders(TTreeKind tree) {
  if (!HasSpecialFolders()) return false;
  if (tree == TTreeKind::Root) return Root()->HasChildDirs();
  if (tree == TTreeKind::Deleted) return Deleted()->HasChildDirs();
  return TCustomDrive::TopMayHaveSubfolders(tree);
}

}  // namespace salvex
