#include "ntfs/NTFSdrive.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/Helpers.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/ReadFailures.h"
#include "ntfs/NTFSCompression.h"
#include "devices/StatusDialog.h"
#include "ntfs/AttributeList.h"
#include "ntfs/FoundMFT.h"
#include "ntfs/NTFSDeleted.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSLostData.h"

namespace salvex {

using namespace ntfs;

namespace {
constexpr uint64_t kRecordMFT = 0, kRecordVolume = 3, kRecordBitmap = 6;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// The deleted search reads the $MFT in pieces of this size.
constexpr uint64_t kChunkBytes = 1u << 20;
constexpr uint32_t kMaxClusterSize = 2u << 20;  // the largest Windows formats
constexpr uint64_t kMFTCacheBytes = 256 * 1024;
// An attribute list or bitmap larger than this is not plausible on any volume the program reads.
constexpr uint64_t kMaxListBytes = 16u << 20;
constexpr uint64_t kMaxVolumeBitmapBytes = 256u << 20;
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
  if (Device->ReadSectors(FirstSector + sector * scale, static_cast<uint32_t>(count * scale), showErrors, bound,
                          buffer))
    return true;
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
        failure.Message = TextF(759, {failure.Error.Text()});
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

bool TNTFSdrive::ReadMFTRecord(uint64_t n, std::vector<uint8_t>& record) {
  if (ReadingFoundRecords) return ReadingFoundRecords->Read(*this, n, record);
  record.assign(BytesPerFileRecord, 0);
  if (n >= MFTRecordCount()) return false;
  uint64_t offset = n * BytesPerFileRecord;
  uint64_t blockStart = offset / kMFTCacheBytes * kMFTCacheBytes;
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

namespace {

// Residency, flags and sizes of one attribute piece, and the value of a resident one.
void TakeHeader(const TAttrView& a, TNTFSAttribute& out) {
  out.Resident = !a.NonResident();
  out.Flags = a.Flags();
  if (out.Resident) {
    auto v = a.Value();
    out.Value.assign(v.begin(), v.end());
    out.DataSize = out.Value.size();
  } else {
    out.DataSize = a.DataSize();
    out.AllocatedSize = a.AllocatedSize();
    out.InitializedSize = a.InitializedSize();
    out.CompressionUnit = a.CompressionUnit();
  }
}

void AddRuns(const TAttrView& a, TNTFSAttribute& out) {
  auto decoded = DecodeRunList(a.RunList(), a.StartVcn());
  out.Runs.insert(out.Runs.end(), decoded.Runs.begin(), decoded.Runs.end());
  if (decoded.Damage && !out.RunDamage) out.RunDamage = std::move(decoded.Damage);
}

// The piece of attribute (type, name) in `record` that starts at `startVcn` (a resident one at any).
std::optional<TAttrView> FindPiece(std::span<const uint8_t> record, uint32_t type, std::u16string_view name,
                                   int64_t startVcn) {
  std::optional<TAttrView> piece;
  ForEachAttribute(record, [&](const TAttrView& v) {
    if (v.Type() == type && NameEquals(v.NameBytes(), name) && (!v.NonResident() || v.StartVcn() == startVcn)) {
      piece = v;
      return false;
    }
    return true;
  });
  return piece;
}

}  // namespace

bool TNTFSdrive::ReadAttributeListValue(const TAttrView& list, std::vector<uint8_t>& bytes) {
  if (!list.NonResident()) {
    auto v = list.Value();
    bytes.assign(v.begin(), v.end());
    return true;
  }
  TNTFSAttribute l;
  l.Resident = false;
  l.Runs = DecodeRunList(list.RunList(), list.StartVcn()).Runs;
  l.DataSize = l.InitializedSize = list.DataSize();
  if (l.DataSize > kMaxListBytes) return false;
  bytes.resize(l.DataSize);
  bytes.resize(ReadAttributeBytes(l, 0, l.DataSize, bytes.data()));
  return true;
}

bool TNTFSdrive::CollectListedPieces(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                                     std::u16string_view name, std::span<const uint8_t> listBytes,
                                     TNTFSAttribute& out) {
  bool found = false;
  std::vector<uint8_t> extent;
  uint64_t extentNumber = UINT64_MAX;
  for (const TAttrListEntry& e : ParseAttributeList(listBytes)) {
    if (e.Type != type || !NameEquals(e.Name, name)) continue;
    std::optional<TAttrView> piece;
    if (e.Holder == recordNumber) {
      piece = FindPiece(record, type, name, e.StartVcn);
    } else {
      if (e.Holder != extentNumber) {
        extentNumber = e.Holder;
        if (!ReadMFTRecord(e.Holder, extent) || !HasSignature(extent, "FILE") || !IsValidRecord(extent))
          extent.clear();
      }
      if (!extent.empty()) piece = FindPiece(extent, type, name, e.StartVcn);
    }
    if (!piece) continue;
    if (!found) {
      TakeHeader(*piece, out);
      found = true;
      if (out.Resident) return true;
    } else if (piece->NonResident() && piece->StartVcn() == 0) {
      TakeHeader(*piece, out);
    }
    if (piece->NonResident()) AddRuns(*piece, out);
  }
  return found;
}

bool TNTFSdrive::LoadAttribute(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
                               std::u16string_view name, TNTFSAttribute& out) {
  out = TNTFSAttribute{};
  out.Type = type;
  std::optional<TAttrView> first;
  std::optional<TAttrView> list;
  ForEachAttribute(record, [&](const TAttrView& a) {
    if (a.Type() == AttrAttributeList && a.NameLength() == 0) list = a;
    if (a.Type() == type && NameEquals(a.NameBytes(), name) && !first && (!a.NonResident() || a.StartVcn() == 0))
      first = a;
    return true;
  });
  std::vector<uint8_t> listBytes;
  if (list && !ReadAttributeListValue(*list, listBytes)) return false;
  bool found = list && CollectListedPieces(record, recordNumber, type, name, listBytes, out);
  if (!found && first) {
    // No list, or a list that does not name it: the base record's own piece.
    TakeHeader(*first, out);
    if (!out.Resident) AddRuns(*first, out);
    found = true;
  }
  if (!found) return false;
  std::stable_sort(out.Runs.begin(), out.Runs.end(), [](const TRun& a, const TRun& b) { return a.Vcn < b.Vcn; });
  return true;
}

std::optional<std::vector<uint8_t>> TNTFSdrive::FindFileName(std::span<const uint8_t> record, uint64_t recordNumber) {
  std::optional<std::vector<uint8_t>> best;
  int bestRank = 99;
  auto consider = [&](std::span<const uint8_t> value) {
    TFileNameView n{value};
    if (!n.Valid()) return;
    int rank = NameSpaceRank(n.NameSpace());
    if (rank < bestRank) {
      bestRank = rank;
      best.emplace(value.begin(), value.end());
    }
  };
  std::optional<TAttrView> list;
  ForEachAttribute(record, [&](const TAttrView& a) {
    if (a.Type() == AttrFileName && a.NameLength() == 0 && !a.NonResident()) consider(a.Value());
    if (a.Type() == AttrAttributeList && a.NameLength() == 0) list = a;
    return true;
  });
  if (best || !list || list->NonResident()) return best;
  // Names moved out of the base record by a resident attribute list.
  std::vector<uint8_t> extent;
  for (const TAttrListEntry& e : ParseAttributeList(list->Value())) {
    if (bestRank == 0) break;
    if (e.Type == AttrFileName && e.Holder != recordNumber && ReadMFTRecord(e.Holder, extent) &&
        HasSignature(extent, "FILE") && IsValidRecord(extent)) {
      ForEachAttribute(extent, [&](const TAttrView& a) {
        if (a.Type() == AttrFileName && a.NameLength() == 0 && !a.NonResident()) consider(a.Value());
        return true;
      });
    }
  }
  return best;
}

uint64_t TNTFSdrive::ReadAttributeBytes(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, uint8_t* buffer,
                                        bool* complete) {
  if (complete) *complete = true;
  uint64_t size = attr.Size();
  if (offset >= size) return 0;
  uint64_t n = std::min(count, size - offset);
  if (attr.Resident) {
    std::memcpy(buffer, attr.Value.data() + offset, n);
    return n;
  }
  if (ClusterSize == 0) return 0;
  // Data past the initialised size was never written and reads as zeros.
  uint64_t initialised = std::min(attr.InitializedSize ? attr.InitializedSize : size, size);
  uint64_t pos = offset;
  uint64_t end = offset + n;
  bool ok = true;
  while (pos < end) {
    if (pos >= initialised) {
      std::memset(buffer + (pos - offset), 0, end - pos);
      break;
    }
    int64_t vcn = static_cast<int64_t>(pos / ClusterSize);
    uint64_t within = pos % ClusterSize;
    TRunHit hit;
    if (!FindRun(attr.Runs, vcn, hit)) {
      DebugLog("FindRun (vcn: " + std::to_string(vcn) + ")", 0);
      std::memset(buffer + (pos - offset), 0, end - pos);
      ok = false;
      break;
    }
    // A run longer than what is asked reaches the end; only a shorter one is multiplied out (a crafted
    // length times 2 MiB clusters would overflow).
    const uint64_t runLeft =
        hit.ClustersLeft > (end - pos) / ClusterSize + 1 ? end - pos + within : hit.ClustersLeft * ClusterSize;
    uint64_t pieceEnd = std::min({end, initialised, pos - within + runLeft});
    uint64_t piece = pieceEnd - pos;
    if (hit.Hole)
      std::memset(buffer + (pos - offset), 0, piece);
    else if (!ReadVolumeBytes(uint64_t(hit.Lcn) * ClusterSize + within, piece, buffer + (pos - offset)))
      ok = false;
    pos = pieceEnd;
  }
  if (complete) *complete = ok;
  return n;
}

bool TNTFSdrive::PlainExtent(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, TPlainExtent& extent) {
  if (attr.Resident || ClusterSize == 0 || !Device || count == 0) return false;
  const uint64_t size = attr.Size();
  const uint64_t initialised = std::min(attr.InitializedSize ? attr.InitializedSize : size, size);
  if (offset >= initialised) return false;
  const uint64_t within = offset % ClusterSize;
  TRunHit hit;
  if (!FindRun(attr.Runs, static_cast<int64_t>(offset / ClusterSize), hit) || hit.Hole || hit.Lcn < 0) return false;
  const uint64_t volumeOffset = uint64_t(hit.Lcn) * ClusterSize + within;
  const uint64_t volumeBytes = VolumeSectors * SectorSize;
  if (volumeOffset >= volumeBytes) return false;
  uint64_t length = std::min({count, initialised - offset, volumeBytes - volumeOffset});
  if (hit.ClustersLeft < (length + within) / ClusterSize + 1) length = std::min(length, hit.ClustersLeft * ClusterSize - within);
  const int fd = Device->PlainFile();
  if (fd < 0 || length == 0) return false;
  const uint64_t deviceSector = Device->BytesPerSector ? Device->BytesPerSector : 512;
  extent = {fd, FirstSector * deviceSector + volumeOffset, length};
  return true;
}

bool TNTFSdrive::ReadContiguous(uint8_t* buffer, uint64_t count, uint64_t position, uint64_t startCluster) {
  if (ClusterSize == 0) return false;
  uint64_t clusters = VolumeSectors / SectorsPerCluster;
  if (startCluster >= clusters) {
    std::memset(buffer, 0, count);
    return false;
  }
  uint64_t offset = startCluster * ClusterSize + position;
  uint64_t volumeBytes = clusters * ClusterSize;
  uint64_t inside = offset < volumeBytes ? std::min(count, volumeBytes - offset) : 0;
  bool ok = ReadVolumeBytes(offset, inside, buffer);
  if (inside < count) {
    std::memset(buffer + inside, 0, count - inside);
    ok = false;
  }
  return ok;
}

bool TNTFSdrive::TestBitmapBit(const TNTFSAttribute& bitmap, uint64_t n) {
  uint8_t byte = 0;
  if (ReadAttributeBytes(bitmap, n >> 3, 1, &byte) != 1) return false;
  return (byte >> (n & 7)) & 1;
}

bool TNTFSdrive::OpenDataPos(TNTFSDataPos& pos, uint64_t size, uint64_t recordNumber) {
  pos = TNTFSDataPos{};
  pos.Reference = recordNumber;
  pos.Size = size;
  std::vector<uint8_t> record;
  if (!ReadMFTRecord(recordNumber, record) || !HasSignature(record, "FILE") || !IsValidRecord(record)) return false;
  if (!LoadAttribute(record, recordNumber, AttrData, u"", pos.Data)) return false;
  // The record's own size is the truth; directory entries often carry a stale one.
  pos.Size = pos.Data.Size();
  AttachDataDecoder(*this, record, recordNumber, pos);
  pos.Opened = true;
  return true;
}

bool TNTFSdrive::ReadDataPos(TNTFSDataPos& pos, uint64_t count, uint64_t& delivered, uint8_t* buffer) {
  delivered = 0;
  if (!pos.Opened) return false;
  if (pos.Position >= pos.Size) return pos.Position == pos.Size;
  uint64_t want = std::min(count, pos.Size - pos.Position);
  bool complete = false;
  if (pos.Decoder)
    delivered = ReadDecodedBytes(*this, pos, want, buffer, complete);
  else
    delivered = ReadAttributeBytes(pos.Data, pos.Position, want, buffer, &complete);
  pos.Position += delivered;
  return delivered == want && complete;
}

bool TNTFSdrive::SeekDataPos(TNTFSDataPos& pos, uint64_t position) {
  if (position >= pos.Size) return false;
  pos.Position = position;
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
  RootFolder = make(739, 5, false);
  // Deleted carries the root's number, so deleted entries of the root land in it directly.
  DeletedFolder = make(740, 5, false);
  LostFolder = make(741, 0, true);
  SearchFolder = make(742, 0, true);
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

bool TNTFSdrive::LoadVolumeBitmap() {
  if (volumeBitmapTried_) return volumeBitmap_.has_value();
  volumeBitmapTried_ = true;
  // The bitmap is the current volume's, also while former records are being read.
  struct TRestore {
    const TFoundMFT*& Reading;
    const TFoundMFT* Former;
    ~TRestore() { Reading = Former; }
  } restore{ReadingFoundRecords, std::exchange(ReadingFoundRecords, nullptr)};
  std::vector<uint8_t> record;
  if (!ReadMFTRecord(kRecordBitmap, record) || !IsValidRecord(record)) return false;
  TNTFSAttribute data;
  if (!LoadAttribute(record, kRecordBitmap, AttrData, u"", data) || data.Size() > kMaxVolumeBitmapBytes) return false;
  std::vector<uint8_t> bytes(data.Size());
  bytes.resize(ReadAttributeBytes(data, 0, bytes.size(), bytes.data()));
  volumeBitmap_ = std::move(bytes);
  return true;
}

uint8_t TNTFSdrive::DataCondition(const TNTFSAttribute* data) {
  if (!data) return 0;
  if (data->Resident) return 1;
  if (!LoadVolumeBitmap()) return 0;
  // The first cluster that has a place on disk decides: in use again means other data now.
  for (const TRun& run : data->Runs) {
    if (run.Hole) continue;
    uint64_t lcn = uint64_t(run.Lcn);
    const auto& bitmap = *volumeBitmap_;
    if ((lcn >> 3) >= bitmap.size()) return 2;
    return ((bitmap[lcn >> 3] >> (lcn & 7)) & 1) ? 2 : 1;
  }
  // Only holes (or no runs at all): nothing on disk can have been overwritten.
  return data->Runs.empty() && data->DataSize > 0 ? 2 : 1;
}

void TNTFSdrive::NoteCorrupt(const std::string& what, const std::exception& error) {
  ++CorruptStructures;
  DebugLog("NTFS: " + what + " skipped as corrupt: " + error.what(), 1);
}

bool TNTFSdrive::FindLostData(TStatusDialog* status) { return FindNTFSLostData(*this, status); }

void TNTFSdrive::SetupListColumns(TListView& list) {
  list.AddColumn({LoadText(721), 150, false});
  list.AddColumn({LoadText(722), 60, true});
  list.AddColumn({LoadText(723), 100, false});
  list.AddColumn({LoadText(850), 60, true});
  list.AddColumn({LoadText(725), 60, false});
  list.AddColumn({LoadText(728), 100, false});
}

void TNTFSdrive::LoadSpecialFolders(TStatusDialog* status) {
  if (!HasSpecialFolders() || DeletedFolder->Children) return;
  DeletedFolder->Children.emplace();
  try {
    FindDeleted(status);
  } catch (const std::bad_alloc&) {
    // A Deleted tree cut short must not be taken for the whole one on the next look.
    deletedNodes_.clear();
    DeletedFolder->Children.reset();
    throw;
  }
}

TSpecialNodes TNTFSdrive::ScanDrive(TTreeView& tree, TStatusDialog* status) {
  TSpecialNodes nodes;
  if (!HasSpecialFolders()) return nodes;
  for (auto* f : {RootFolder.get(), DeletedFolder.get(), LostFolder.get(), SearchFolder.get()})
    f->SetTreeBuilt(false, true);
  LoadSpecialFolders(status);
  nodes.Root = tree.AddChild(nullptr, LoadText(739), 0, RootFolder.get());
  tree.SetHasChildren(nodes.Root, Root()->HasChildDirs());
  nodes.Deleted = tree.AddChild(nullptr, LoadText(740), 2, DeletedFolder.get());
  tree.SetHasChildren(nodes.Deleted, Deleted()->HasChildDirs());
  nodes.Lost = tree.AddChild(nullptr, LoadText(741), 3, LostFolder.get());
  tree.SetHasChildren(nodes.Lost, LostFolder->HasSubdirectories());
  nodes.Search = tree.AddChild(nullptr, LoadText(742), 4, SearchFolder.get());
  tree.SetHasChildren(nodes.Search, SearchFolder->HasSubdirectories());
  return nodes;
}

// ---- the Deleted tree ----

TNTFSDirectory* TNTFSdrive::FindDirectoryNode(TNTFSDirectory* top, uint64_t p) {
  TNTFSDirectory* found = nullptr;
  std::vector<TNTFSDirectory*> stack{top};
  while (!stack.empty()) {
    TNTFSDirectory* d = stack.back();
    stack.pop_back();
    if (d->MFTNumber >= 0 && uint64_t(d->MFTNumber) == p) found = d;
    if (!d->Children) continue;
    // Pushed in reverse so that children are met in list order.
    for (auto it = d->Children->rbegin(); it != d->Children->rend(); ++it)
      if (auto* c = dynamic_cast<TNTFSDirectory*>(it->get())) stack.push_back(c);
  }
  return found;
}

TNTFSDirectory* TNTFSdrive::DeletedNode(uint64_t number) {
  if (deletedNodes_.empty()) return FindDirectoryNode(Deleted(), number);
  auto it = deletedNodes_.find(number);
  return it == deletedNodes_.end() ? nullptr : it->second;
}

TNTFSDirectory* TNTFSdrive::RebuildParent(const TFileNameView& name) {
  std::vector<uint64_t> path;
  // Outside the deleted walk the tree itself is searched; the walk's index is only its own.
  bool walking = !deletedNodes_.empty();
  TNTFSDirectory* result = Deleted();
  try {
    result = RebuildParentFrom(name, path);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    NoteCorrupt("parent chain of record " + std::to_string(RecordNumberOf(name.ParentReference())), e);
  }
  if (!walking) deletedNodes_.clear();
  return result;
}

TNTFSDirectory* TNTFSdrive::RebuildParentFrom(const TFileNameView& name, std::vector<uint64_t>& path) {
  uint64_t p = RecordNumberOf(name.ParentReference());
  // The root's place is Deleted itself, whatever its times say.
  if (p == kRootRecord) return Deleted();
  // A chain of parents that comes back to a record already on it would never end.
  if (std::find(path.begin(), path.end(), p) != path.end() || path.size() >= kMaxRebuildDepth) return Deleted();
  path.push_back(p);
  std::vector<uint8_t> record;
  std::optional<std::vector<uint8_t>> parentName;
  if (ReadMFTRecord(p, record) && IsValidRecord(record)) parentName = FindFileName(record, p);
  if (!parentName) return Deleted();
  TFileNameView m{*parentName};
  if (!m.IsDirectory()) return Deleted();
  if (m.CreationTime() > name.CreationTime()) {
    // The record now holds a directory created after the entry: its former parent is gone.
    auto placeholder = std::make_unique<TNTFSDirectory>();
    placeholder->MFTNumber = int64_t(p);
    placeholder->Name = PlaceholderName(p);
    placeholder->Drive = this;
    placeholder->Parent = Deleted();
    placeholder->Flags = ItemDeleted;
    TNTFSDirectory* node = Deleted()->Adopt(std::move(placeholder));
    deletedNodes_[p] = node;
    return node;
  }
  uint64_t g = RecordNumberOf(m.ParentReference());
  TNTFSDirectory* grand = DeletedNode(g);
  if (!grand) grand = RebuildParentFrom(m, path);
  if (!grand->Children) grand->Children.emplace();
  auto* node = static_cast<TNTFSDirectory*>(AddEntry(*grand, m, nullptr, p, false));
  deletedNodes_[p] = node;
  return node;
}

void TNTFSdrive::FileDeletedRecord(uint64_t i, std::span<const uint8_t> record) {
  auto nameBytes = FindFileName(record, i);
  if (!nameBytes) return;
  TFileNameView n{*nameBytes};
  TNTFSAttribute data;
  bool hasData = LoadAttribute(record, i, AttrData, u"", data);
  // A directory already rebuilt as the path of an entry met earlier (or while rebuilding its own
  // parents, when the chain loops) is this deleted directory: mark it instead of adding a twin.
  auto markExisting = [&]() {
    if (!n.IsDirectory()) return false;
    auto it = deletedNodes_.find(i);
    if (it == deletedNodes_.end() || it->second == Deleted() || (it->second->Flags & ItemDeleted)) return false;
    it->second->Flags = ItemDeleted;
    it->second->Condition = DataCondition(hasData ? &data : nullptr);
    return true;
  };
  if (markExisting()) return;
  uint64_t p = RecordNumberOf(n.ParentReference());
  TNTFSDirectory* parent = p == i ? Deleted() : DeletedNode(p);
  if (!parent) parent = RebuildParent(n);
  if (markExisting()) return;
  if (!parent->Children) parent->Children.emplace();
  TItem* item = AddEntry(*parent, n, hasData ? &data : nullptr, i, true);
  if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) deletedNodes_[i] = d;
}

void TNTFSdrive::FindDeleted(TStatusDialog* status) {
  DebugLog("FindDeleted...", 1);
  if (!Deleted()) return;
  TNTFSAttribute bitmapAttr;
  if (!LoadAttribute(MFTRecord, 0, AttrBitmap, u"", bitmapAttr)) return;
  std::vector<uint8_t> bitmap(std::min<uint64_t>(bitmapAttr.Size(), 64u << 20));
  bitmap.resize(ReadAttributeBytes(bitmapAttr, 0, bitmap.size(), bitmap.data()));
  uint64_t count = MFTRecordCount();
  if (count == 0) return;
  DebugLog("MFT entries: " + std::to_string(count), 1);
  if (status) {
    status->Max = count;
    status->StepSize = 1;
    status->IntervalMs = 500;
  }
  // Records past the bitmap's end were never handed out, but may still hold old records.
  auto inUse = [&](uint64_t i) { return (i >> 3) < bitmap.size() && ((bitmap[i >> 3] >> (i & 7)) & 1); };
  deletedNodes_.clear();
  deletedNodes_[kRootRecord] = Deleted();
  const uint64_t rs = BytesPerFileRecord;
  const uint64_t perChunk = std::max<uint64_t>(1, kChunkBytes / rs);
  std::vector<uint8_t> chunk;
  uint64_t last = 0;
  for (uint64_t start = kFirstUserRecord; start < count; start += perChunk) {
    if (status && status->Cancelled) break;
    uint64_t end = std::min(count, start + perChunk);
    bool anyFree = false;
    for (uint64_t i = start; i < end && !anyFree; ++i) anyFree = !inUse(i);
    if (anyFree) {
      // One read for the whole piece of the $MFT instead of one per record.
      chunk.resize((end - start) * rs);
      ReadAttributeBytes(MFTData, start * rs, chunk.size(), chunk.data());
      for (uint64_t i = start; i < end; ++i) {
        if (inUse(i)) continue;
        std::span<uint8_t> record(chunk.data() + (i - start) * rs, rs);
        if (!HasSignature(record, "FILE")) continue;
        FixupRecord(record, i * rs);
        if (!IsValidRecord(record) || (RecordFlags(record) & RecordInUse)) continue;
        try {
          FileDeletedRecord(i, record);
        } catch (const std::bad_alloc&) {
          throw;  // memory refused is no damage of this record
        } catch (const std::exception& e) {
          NoteCorrupt("deleted record " + std::to_string(i), e);
        }
      }
    }
    if (status) {
      status->StepBy(int64_t(end - 1 - last));
      last = end - 1;
    }
    Host().ProcessMessages();
  }
  deletedNodes_.clear();
}

}  // namespace salvex
