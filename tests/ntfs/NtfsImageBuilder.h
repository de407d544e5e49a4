#pragma once
// A small NTFS volume assembled in memory, record by record, for tests and fuzzers that need a
// mounted TNTFSdrive without an image file: 512-byte sectors, 4096-byte clusters, 1024-byte records.

#include <cstring>
#include <string>
#include <vector>

#include "common/ByteReader.h"
#include "ntfs/NTFSdrive.h"

namespace salvex::test {

// A TNTFSdrive whose sectors come from a byte vector; sectors past its end fail to read.
class TMemNTFSdrive : public TNTFSdrive {
 public:
  explicit TMemNTFSdrive(const std::vector<uint8_t>& image) : image_(image) {}
  bool ReadSectors(uint64_t sector, uint32_t count, bool, uint8_t* buffer) override {
    ++Reads;
    const uint64_t ss = 512;
    if (sector > image_.size() / ss || count > image_.size() / ss - sector) return false;
    std::memcpy(buffer, image_.data() + sector * ss, uint64_t(count) * ss);
    return true;
  }
  uint64_t Reads = 0;

 private:
  const std::vector<uint8_t>& image_;
};

inline std::vector<uint8_t> Utf16(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

class NtfsImageBuilder {
 public:
  static constexpr uint32_t kCluster = 4096;
  static constexpr uint32_t kRecord = 1024;
  static constexpr uint64_t kMFTLcn = 4;
  static constexpr uint64_t kMirrLcn = 2;

  uint64_t Clusters = 64;
  uint64_t Records = 32;  // fills Records * 1024 bytes of the $MFT from cluster 4 on
  uint8_t ClustersPerFileRecordByte = 0xF6;
  std::vector<uint8_t> Image;
  std::vector<std::vector<uint8_t>> Recs;  // unfixed record images
  std::vector<uint8_t> MFTBitmap;          // one bit per record
  std::vector<uint8_t> VolumeBitmap;       // one bit per cluster

  NtfsImageBuilder() {
    Recs.assign(Records, {});
    MFTBitmap.assign((Records + 7) / 8, 0);
    VolumeBitmap.assign((Clusters + 7) / 8, 0);
    for (uint64_t c = 0; c < kMFTLcn + Records * kRecord / kCluster; ++c) SetCluster(c, true);
  }

  void SetCluster(uint64_t c, bool used) {
    if (c / 8 >= VolumeBitmap.size()) return;
    if (used)
      VolumeBitmap[c / 8] |= uint8_t(1u << (c % 8));
    else
      VolumeBitmap[c / 8] &= uint8_t(~(1u << (c % 8)));
  }

  // A record header; attributes are appended with the Add* calls and closed by End.
  static std::vector<uint8_t> NewRecord(bool inUse, bool directory, uint16_t sequence = 1) {
    std::vector<uint8_t> r(kRecord, 0);
    std::memcpy(r.data(), "FILE", 4);
    PutU16(&r[0x04], 0x30);  // update sequence array offset
    PutU16(&r[0x06], 3);     // 1 + 1024 / 512
    PutU16(&r[0x10], sequence);
    PutU16(&r[0x12], 1);
    PutU16(&r[0x14], 0x38);  // first attribute
    PutU16(&r[0x16], uint16_t((inUse ? 1 : 0) | (directory ? 2 : 0)));
    PutU32(&r[0x1C], kRecord);
    PutU32(&r[0x38], 0xFFFFFFFF);
    PutU32(&r[0x18], 0x40);
    return r;
  }

  static size_t UsedBytes(const std::vector<uint8_t>& r) { return ByteReader(r).U32(0x18) - 8; }

  static void AddResident(std::vector<uint8_t>& r, uint32_t type, const std::u16string& name,
                          const std::vector<uint8_t>& value) {
    size_t p = UsedBytes(r);
    uint16_t nameOffset = 0x18;
    uint16_t valueOffset = uint16_t((nameOffset + 2 * name.size() + 7) & ~size_t(7));
    uint32_t length = uint32_t((valueOffset + value.size() + 7) & ~size_t(7));
    PutU32(&r[p], type);
    PutU32(&r[p + 4], length);
    r[p + 8] = 0;
    r[p + 9] = uint8_t(name.size());
    PutU16(&r[p + 10], nameOffset);
    PutU32(&r[p + 0x10], uint32_t(value.size()));
    PutU16(&r[p + 0x14], valueOffset);
    auto n = Utf16(name);
    if (!n.empty()) std::memcpy(&r[p + nameOffset], n.data(), n.size());
    if (!value.empty()) std::memcpy(&r[p + valueOffset], value.data(), value.size());
    Close(r, p + length);
  }

  static void AddNonResident(std::vector<uint8_t>& r, uint32_t type, const std::u16string& name,
                             const std::vector<uint8_t>& runs, int64_t startVcn, int64_t lastVcn, uint64_t dataSize) {
    size_t p = UsedBytes(r);
    uint16_t nameOffset = 0x40;
    uint16_t runOffset = uint16_t((nameOffset + 2 * name.size() + 7) & ~size_t(7));
    uint32_t length = uint32_t((runOffset + runs.size() + 1 + 7) & ~size_t(7));
    PutU32(&r[p], type);
    PutU32(&r[p + 4], length);
    r[p + 8] = 1;
    r[p + 9] = uint8_t(name.size());
    PutU16(&r[p + 10], nameOffset);
    PutU64(&r[p + 0x10], uint64_t(startVcn));
    PutU64(&r[p + 0x18], uint64_t(lastVcn));
    PutU16(&r[p + 0x20], runOffset);
    uint64_t alloc = uint64_t(lastVcn + 1) * kCluster;
    PutU64(&r[p + 0x28], alloc);
    PutU64(&r[p + 0x30], dataSize);
    PutU64(&r[p + 0x38], dataSize);
    auto n = Utf16(name);
    if (!n.empty()) std::memcpy(&r[p + nameOffset], n.data(), n.size());
    if (!runs.empty()) std::memcpy(&r[p + runOffset], runs.data(), runs.size());
    Close(r, p + length);
  }

  static void Close(std::vector<uint8_t>& r, size_t end) {
    PutU32(&r[end], 0xFFFFFFFF);
    PutU32(&r[0x18], uint32_t(end + 8));
  }

  static std::vector<uint8_t> FileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace, bool directory,
                                       uint64_t created = 130000000000000000ull, uint64_t size = 0) {
    std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
    PutU64(&v[0x00], parent);
    PutU64(&v[0x08], created);
    PutU64(&v[0x10], created);
    PutU64(&v[0x30], size);
    PutU32(&v[0x38], directory ? 0x10000000 : 0x20);
    v[0x40] = uint8_t(name.size());
    v[0x41] = nameSpace;
    auto n = Utf16(name);
    if (!n.empty()) std::memcpy(&v[0x42], n.data(), n.size());
    return v;
  }

  // An index entry for the $I30 index (key = a $FILE_NAME value).
  static std::vector<uint8_t> IndexEntry(uint64_t reference, const std::vector<uint8_t>& key, bool last = false,
                                         int64_t subNodeVcn = -1) {
    size_t length = (0x10 + key.size() + 7) & ~size_t(7);
    if (last) length = 0x10;
    if (subNodeVcn >= 0) length += 8;
    std::vector<uint8_t> e(length, 0);
    PutU64(&e[0], last ? 0 : reference);
    PutU16(&e[8], uint16_t(length));
    PutU16(&e[10], uint16_t(last ? 0 : key.size()));
    e[12] = uint8_t((subNodeVcn >= 0 ? 1 : 0) | (last ? 2 : 0));
    if (!last) std::memcpy(&e[0x10], key.data(), key.size());
    if (subNodeVcn >= 0) PutU64(&e[length - 8], uint64_t(subNodeVcn));
    return e;
  }

  // $INDEX_ROOT value holding the given entries (closed by a last entry).
  static std::vector<uint8_t> IndexRoot(const std::vector<std::vector<uint8_t>>& entries, bool large = false,
                                        int64_t lastSubNode = -1) {
    std::vector<uint8_t> body;
    for (auto& e : entries) body.insert(body.end(), e.begin(), e.end());
    auto end = IndexEntry(0, {}, true, lastSubNode);
    body.insert(body.end(), end.begin(), end.end());
    std::vector<uint8_t> v(0x20, 0);
    PutU32(&v[0], 0x30);  // indexed attribute type
    PutU32(&v[4], 1);     // collation
    PutU32(&v[8], kCluster);
    v[12] = 1;
    PutU32(&v[0x10], 0x10);  // entries offset from the header
    PutU32(&v[0x14], uint32_t(0x10 + body.size()));
    PutU32(&v[0x18], uint32_t(0x10 + body.size()));
    PutU32(&v[0x1C], large ? 1 : 0);
    v.insert(v.end(), body.begin(), body.end());
    return v;
  }

  // A directory record with a small index of the given children (reference, key).
  void AddDirectory(uint64_t number, uint64_t parent, const std::u16string& name,
                    const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& children, bool inUse = true,
                    uint64_t created = 130000000000000000ull) {
    auto r = NewRecord(inUse, true);
    AddResident(r, 0x30, u"", FileName(parent, name, 1, true, created));
    std::vector<std::vector<uint8_t>> entries;
    for (auto& [ref, key] : children) entries.push_back(IndexEntry(ref, key));
    AddResident(r, 0x90, u"$I30", IndexRoot(entries));
    Put(number, r, inUse);
  }

  // A file record with resident data.
  void AddFile(uint64_t number, uint64_t parent, const std::u16string& name, const std::string& data, bool inUse = true,
               uint64_t created = 130000000000000000ull) {
    auto r = NewRecord(inUse, false);
    AddResident(r, 0x30, u"", FileName(parent, name, 1, false, created, data.size()));
    AddResident(r, 0x80, u"", std::vector<uint8_t>(data.begin(), data.end()));
    Put(number, r, inUse);
  }

  void Put(uint64_t number, std::vector<uint8_t> record, bool inUse) {
    if (number >= Recs.size()) return;
    Recs[number] = std::move(record);
    if (inUse)
      MFTBitmap[number / 8] |= uint8_t(1u << (number % 8));
    else
      MFTBitmap[number / 8] &= uint8_t(~(1u << (number % 8)));
  }

  // Writes the sequence number over the last two bytes of each 512-byte stride, keeping them in
  // the update sequence array, as NTFS stores records on disk.
  static void Protect(std::vector<uint8_t>& r, uint16_t usn = 7) {
    uint16_t usa = ByteReader(r).U16(4);
    uint16_t count = ByteReader(r).U16(6);
    PutU16(&r[usa], usn);
    for (uint16_t i = 1; i < count; ++i) {
      r[usa + 2 * i] = r[i * 512 - 2];
      r[usa + 2 * i + 1] = r[i * 512 - 1];
      PutU16(&r[i * 512 - 2], usn);
    }
  }

  // The system records the mount needs, then the image.
  std::vector<uint8_t> Build() {
    auto mft = NewRecord(true, false);
    AddResident(mft, 0x30, u"", FileName(5, u"$MFT", 3, false));
    uint64_t mftClusters = Records * kRecord / kCluster;
    AddNonResident(mft, 0x80, u"", {0x11, uint8_t(mftClusters), uint8_t(kMFTLcn)}, 0, int64_t(mftClusters) - 1,
                   Records * kRecord);
    AddResident(mft, 0xB0, u"", MFTBitmap);
    Put(0, mft, true);
    if (Recs[5].empty()) AddDirectory(5, 5, u".", {});
    auto bitmap = NewRecord(true, false);
    AddResident(bitmap, 0x30, u"", FileName(5, u"$Bitmap", 3, false));
    AddResident(bitmap, 0x80, u"", VolumeBitmap);
    Put(6, bitmap, true);
    if (Recs[3].empty()) {
      auto volume = NewRecord(true, false);
      AddResident(volume, 0x30, u"", FileName(5, u"$Volume", 3, false));
      AddResident(volume, 0x60, u"", Utf16(u"TESTVOL"));
      Put(3, volume, true);
    }
    // $MFT's bitmap as finally set.
    Recs[0].clear();
    mft = NewRecord(true, false);
    AddResident(mft, 0x30, u"", FileName(5, u"$MFT", 3, false));
    AddNonResident(mft, 0x80, u"", {0x11, uint8_t(mftClusters), uint8_t(kMFTLcn)}, 0, int64_t(mftClusters) - 1,
                   Records * kRecord);
    AddResident(mft, 0xB0, u"", MFTBitmap);
    Recs[0] = mft;

    Image.assign(Clusters * kCluster, 0);
    uint8_t* b = Image.data();
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    std::memcpy(b + 3, "NTFS    ", 8);
    PutU16(b + 0x0B, 512);
    b[0x0D] = kCluster / 512;
    PutU64(b + 0x28, Clusters * kCluster / 512 - 1);
    PutU64(b + 0x30, kMFTLcn);
    PutU64(b + 0x38, kMirrLcn);
    b[0x40] = ClustersPerFileRecordByte;
    b[0x44] = 1;
    b[510] = 0x55;
    b[511] = 0xAA;
    for (uint64_t n = 0; n < Recs.size(); ++n) {
      if (Recs[n].empty()) continue;
      auto r = Recs[n];
      Protect(r);
      std::memcpy(b + kMFTLcn * kCluster + n * kRecord, r.data(), kRecord);
      if (n < 4) std::memcpy(b + kMirrLcn * kCluster + n * kRecord, r.data(), kRecord);
    }
    return Image;
  }
};

}  // namespace salvex::test
