#include "ntfs/NTFSAttributeReader.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Debug.h"
#include "devices/Device.h"
#include "ntfs/AttributeList.h"
#include "ntfs/NTFSCompression.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

using namespace ntfs;

namespace {
// An attribute list larger than this is not plausible on any volume the program reads.
constexpr uint64_t kMaxListBytes = 16u << 20;
}  // namespace

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

bool TNTFSAttributeReader::ReadAttributeListValue(const TAttrView& list, std::vector<uint8_t>& bytes) {
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

bool TNTFSAttributeReader::CollectListedPieces(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
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
        if (!drive_.ReadMFTRecord(e.Holder, extent) || !HasSignature(extent, "FILE") || !IsValidRecord(extent))
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

bool TNTFSAttributeReader::LoadAttribute(std::span<const uint8_t> record, uint64_t recordNumber, uint32_t type,
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

std::optional<std::vector<uint8_t>> TNTFSAttributeReader::FindFileName(std::span<const uint8_t> record, uint64_t recordNumber) {
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
  // Names moved out of the base record by an attribute list; many streams make the list non-resident.
  std::vector<uint8_t> listBytes;
  if (best || !list || !ReadAttributeListValue(*list, listBytes)) return best;
  std::vector<uint8_t> extent;
  for (const TAttrListEntry& e : ParseAttributeList(listBytes)) {
    if (bestRank == 0) break;
    if (e.Type == AttrFileName && e.Holder != recordNumber && drive_.ReadMFTRecord(e.Holder, extent) &&
        HasSignature(extent, "FILE") && IsValidRecord(extent)) {
      ForEachAttribute(extent, [&](const TAttrView& a) {
        if (a.Type() == AttrFileName && a.NameLength() == 0 && !a.NonResident()) consider(a.Value());
        return true;
      });
    }
  }
  return best;
}

std::vector<std::u16string> TNTFSAttributeReader::DataStreamNames(std::span<const uint8_t> record, bool* more) {
  std::vector<std::u16string> names;
  std::set<std::u16string> seen;
  if (more) *more = false;
  auto note = [&](std::span<const uint8_t> utf16le) {
    if (utf16le.empty()) return;
    std::u16string name(utf16le.size() / 2, u'\0');
    for (size_t k = 0; k < name.size(); ++k) name[k] = char16_t(utf16le[2 * k] | (utf16le[2 * k + 1] << 8));
    // The pieces of one non-resident stream each carry its name.
    if (seen.count(name)) return;
    if (names.size() >= kMaxStreamsPerRecord) {
      if (more) *more = true;
      return;
    }
    seen.insert(name);
    names.push_back(std::move(name));
  };
  std::optional<TAttrView> list;
  ForEachAttribute(record, [&](const TAttrView& a) {
    if (a.Type() == AttrData) note(a.NameBytes());
    if (a.Type() == AttrAttributeList && a.NameLength() == 0) list = a;
    return true;
  });
  std::vector<uint8_t> listBytes;
  if (!list || !ReadAttributeListValue(*list, listBytes)) return names;
  for (const TAttrListEntry& e : ParseAttributeList(listBytes))
    if (e.Type == AttrData) note(e.Name);
  return names;
}

uint64_t TNTFSAttributeReader::ReadAttributeBytes(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, uint8_t* buffer,
                                        bool* complete) {
  if (complete) *complete = true;
  uint64_t size = attr.Size();
  if (offset >= size) return 0;
  uint64_t n = std::min(count, size - offset);
  if (attr.Resident) {
    std::memcpy(buffer, attr.Value.data() + offset, n);
    return n;
  }
  if (drive_.ClusterSize == 0) return 0;
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
    int64_t vcn = static_cast<int64_t>(pos / drive_.ClusterSize);
    uint64_t within = pos % drive_.ClusterSize;
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
        hit.ClustersLeft > (end - pos) / drive_.ClusterSize + 1 ? end - pos + within : hit.ClustersLeft * drive_.ClusterSize;
    uint64_t pieceEnd = std::min({end, initialised, pos - within + runLeft});
    uint64_t piece = pieceEnd - pos;
    if (hit.Hole)
      std::memset(buffer + (pos - offset), 0, piece);
    else if (!drive_.ReadVolumeBytes(uint64_t(hit.Lcn) * drive_.ClusterSize + within, piece, buffer + (pos - offset)))
      ok = false;
    pos = pieceEnd;
  }
  if (complete) *complete = ok;
  return n;
}

bool TNTFSAttributeReader::PlainExtent(const TNTFSAttribute& attr, uint64_t offset, uint64_t count, TPlainExtent& extent) {
  if (attr.Resident || drive_.ClusterSize == 0 || !drive_.Device || count == 0) return false;
  const uint64_t size = attr.Size();
  const uint64_t initialised = std::min(attr.InitializedSize ? attr.InitializedSize : size, size);
  if (offset >= initialised) return false;
  const uint64_t within = offset % drive_.ClusterSize;
  TRunHit hit;
  if (!FindRun(attr.Runs, static_cast<int64_t>(offset / drive_.ClusterSize), hit) || hit.Hole || hit.Lcn < 0) return false;
  const uint64_t volumeOffset = uint64_t(hit.Lcn) * drive_.ClusterSize + within;
  const uint64_t volumeBytes = drive_.VolumeSectors * drive_.SectorSize;
  if (volumeOffset >= volumeBytes) return false;
  uint64_t length = std::min({count, initialised - offset, volumeBytes - volumeOffset});
  if (hit.ClustersLeft < (length + within) / drive_.ClusterSize + 1) length = std::min(length, hit.ClustersLeft * drive_.ClusterSize - within);
  const int fd = drive_.Device->PlainFile();
  if (fd < 0 || length == 0) return false;
  const uint64_t deviceSector = drive_.Device->BytesPerSector ? drive_.Device->BytesPerSector : 512;
  extent = {fd, drive_.FirstSector * deviceSector + volumeOffset, length};
  return true;
}

bool TNTFSAttributeReader::ReadContiguous(uint8_t* buffer, uint64_t count, uint64_t position, uint64_t startCluster) {
  if (drive_.ClusterSize == 0) return false;
  uint64_t clusters = drive_.VolumeSectors / drive_.SectorsPerCluster;
  if (startCluster >= clusters) {
    std::memset(buffer, 0, count);
    return false;
  }
  uint64_t offset = startCluster * drive_.ClusterSize + position;
  uint64_t volumeBytes = clusters * drive_.ClusterSize;
  uint64_t inside = offset < volumeBytes ? std::min(count, volumeBytes - offset) : 0;
  bool ok = drive_.ReadVolumeBytes(offset, inside, buffer);
  if (inside < count) {
    std::memset(buffer + inside, 0, count - inside);
    ok = false;
  }
  return ok;
}

bool TNTFSAttributeReader::TestBitmapBit(const TNTFSAttribute& bitmap, uint64_t n) {
  uint8_t byte = 0;
  if (ReadAttributeBytes(bitmap, n >> 3, 1, &byte) != 1) return false;
  return (byte >> (n & 7)) & 1;
}

bool TNTFSAttributeReader::OpenDataPos(TNTFSDataPos& pos, uint64_t size, uint64_t recordNumber,
                                       std::u16string_view stream) {
  pos = TNTFSDataPos{};
  pos.Reference = recordNumber;
  pos.Stream = stream;
  pos.Size = size;
  std::vector<uint8_t> record;
  if (!drive_.ReadMFTRecord(recordNumber, record) || !HasSignature(record, "FILE") || !IsValidRecord(record)) return false;
  if (!LoadAttribute(record, recordNumber, AttrData, stream, pos.Data)) return false;
  // The record's own size is the truth; directory entries often carry a stale one.
  pos.Size = pos.Data.Size();
  AttachDataDecoder(drive_, record, recordNumber, pos);
  pos.Opened = true;
  return true;
}

bool TNTFSAttributeReader::ReadDataPos(TNTFSDataPos& pos, uint64_t count, uint64_t& delivered, uint8_t* buffer) {
  delivered = 0;
  if (!pos.Opened) return false;
  if (pos.Position >= pos.Size) return pos.Position == pos.Size;
  uint64_t want = std::min(count, pos.Size - pos.Position);
  bool complete = false;
  if (pos.Decoder)
    delivered = ReadDecodedBytes(drive_, pos, want, buffer, complete);
  else
    delivered = ReadAttributeBytes(pos.Data, pos.Position, want, buffer, &complete);
  pos.Position += delivered;
  return delivered == want && complete;
}

bool TNTFSAttributeReader::SeekDataPos(TNTFSDataPos& pos, uint64_t position) {
  if (position >= pos.Size) return false;
  pos.Position = position;
  return true;
}

}  // namespace salvex
