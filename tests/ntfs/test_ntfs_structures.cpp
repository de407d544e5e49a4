#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/ByteReader.h"
#include "ntfs/AttributeList.h"
#include "ntfs/MFTRecord.h"
#include "ntfs/NTFSIndex.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/RunList.h"
#include "ntfs/NtfsImageBuilder.h"

namespace salvex {
namespace {

using namespace ntfs;
using test::NtfsImageBuilder;

TEST(NtfsRunList, DecodesLengthsSignedDeltasAndHoles) {
  // 0x18 clusters at 0x5634; a hole of 5; 2 clusters 0x10 clusters back; end.
  std::vector<uint8_t> bytes = {0x21, 0x18, 0x34, 0x56, 0x01, 0x05, 0x11, 0x02, 0xF0, 0x00};
  auto decoded = DecodeRunList(bytes, 0);
  EXPECT_FALSE(decoded.Damage) << decoded.Damage->Text();
  const auto& runs = decoded.Runs;
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].Length, 0x18u);
  EXPECT_EQ(runs[0].Lcn, 0x5634);
  EXPECT_TRUE(runs[1].Hole);
  EXPECT_EQ(runs[1].Vcn, 0x18);
  EXPECT_EQ(runs[2].Vcn, 0x18 + 5);
  EXPECT_EQ(runs[2].Lcn, 0x5634 - 0x10);

  TRunHit hit;
  ASSERT_TRUE(FindRun(runs, 0x19, hit));
  EXPECT_TRUE(hit.Hole);
  EXPECT_EQ(hit.ClustersLeft, 4u);
  ASSERT_TRUE(FindRun(runs, 0x18 + 5 + 1, hit));
  EXPECT_EQ(hit.Lcn, 0x5634 - 0x10 + 1);
  EXPECT_EQ(hit.ClustersLeft, 1u);
  // One past the last run: no run holds it.
  EXPECT_FALSE(FindRun(runs, 0x18 + 5 + 2, hit));
  EXPECT_FALSE(FindRun(runs, -1, hit));
}

// Damage ends decoding with the runs before it and a reason naming the entry and the field, so
// that a caller can tell a damaged list from its end.
TEST(NtfsRunList, DamageEndsTheListWithItsReason) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t runs;
    const char* reason;  // "" = no damage
  } cases[] = {
      {"end marker", {0x11, 0x01, 0x02, 0x00}, 1, ""},
      {"offset bytes cut off", {0x31, 0x04, 0x00}, 0, "entry at byte 0: header 0x31 reaches past the end"},
      {"below cluster 0", {0x11, 0x01, 0x02, 0x11, 0x01, 0xF0, 0x00}, 1, "entry at byte 3: header 0x11: LCN offset -16 from cluster 2"},
      {"nine length bytes", {0x09, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0, "header 0x09 gives 9 length"},
      {"zero length", {0x11, 0x01, 0x02, 0x11, 0x00, 0x05, 0x00}, 1, "entry at byte 3: header 0x11: run length 0"},
      {"no end marker", {0x11, 0x01, 0x02}, 1, "no end marker"},
  };
  for (const Case& c : cases) {
    auto decoded = DecodeRunList(c.bytes, 0);
    EXPECT_EQ(decoded.Runs.size(), c.runs) << c.what;
    if (!*c.reason) {
      EXPECT_FALSE(decoded.Damage) << c.what;
      continue;
    }
    ASSERT_TRUE(decoded.Damage) << c.what;
    EXPECT_NE(decoded.Damage->Text().find(c.reason), std::string::npos) << c.what << ": " << decoded.Damage->Text();
  }
}

TEST(NtfsFixup, RestoresStrideEndsAndRefusesMismatches) {
  auto record = NtfsImageBuilder::NewRecord(true, false);
  record[510] = 0xAB;
  record[511] = 0xCD;
  record[1022] = 0x12;
  record[1023] = 0x34;
  auto stored = record;
  NtfsImageBuilder::Protect(stored, 0x0042);
  EXPECT_EQ(stored[510], 0x42);
  auto fixed = stored;
  EXPECT_EQ(ApplyFixup(fixed), TFixup::Applied);
  EXPECT_EQ(fixed[510], 0xAB);
  EXPECT_EQ(fixed[1023], 0x34);

  // A torn write: the second stride carries another sequence number; the record stays as read.
  auto torn = stored;
  torn[1022] = 0x43;
  auto before = torn;
  EXPECT_EQ(ApplyFixup(torn), TFixup::Mismatch);
  EXPECT_EQ(torn, before);

  // An array that claims more strides than the buffer has.
  auto bad = stored;
  PutU16(&bad[6], 9);
  EXPECT_EQ(ApplyFixup(bad), TFixup::Malformed);
}

TEST(NtfsAttribute, ChecksAndLookupStopAtABrokenAttribute) {
  auto r = NtfsImageBuilder::NewRecord(true, false);
  NtfsImageBuilder::AddResident(r, 0x80, u"", {1, 2, 3});
  NtfsImageBuilder::AddResident(r, 0x80, u"", {4, 5});
  NtfsImageBuilder::AddResident(r, 0x80, u"alt", {6});
  ASSERT_TRUE(IsValidRecord(r));
  auto second = FindAttributeInRecord(r, 0x80, 1, u"");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Value().size(), 2u);
  auto named = FindAttributeInRecord(r, 0x80, 0, u"alt");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->Value()[0], 6);

  // The first $DATA's value now claims to run past its attribute: the lookup of index 0 fails,
  // and the walk does not step past it to the later attributes.
  auto broken = r;
  PutU32(&broken[0x38 + 0x10], 0x1000);
  EXPECT_FALSE(FindAttributeInRecord(broken, 0x80, 0, u""));
  EXPECT_FALSE(FindAttributeInRecord(broken, 0x80, 1, u""));

  // An attribute length beyond the record.
  auto longer = r;
  PutU32(&longer[0x38 + 4], 0x10000);
  EXPECT_FALSE(FindAttributeInRecord(longer, 0x80, 0, u""));
  // A first-attribute offset outside the record makes it invalid.
  auto offset = r;
  PutU16(&offset[0x14], 2000);
  EXPECT_FALSE(IsValidRecord(offset));
}

TEST(NtfsAttributeList, EntriesUpToTheFirstThatDoesNotFit) {
  // Two entries (the second named "$I30"), then one whose length runs past the value.
  std::vector<uint8_t> list(0x20 + 0x28 + 0x20, 0);
  auto entry = [&](size_t at, uint32_t type, uint16_t length, int64_t vcn, uint64_t reference, const char16_t* name) {
    PutU32(&list[at], type);
    PutU16(&list[at + 4], length);
    size_t chars = std::char_traits<char16_t>::length(name);
    list[at + 6] = uint8_t(chars);
    list[at + 7] = 0x1A;
    PutU64(&list[at + 8], uint64_t(vcn));
    PutU64(&list[at + 0x10], reference);
    for (size_t k = 0; k < chars; ++k) PutU16(&list[at + 0x1A + 2 * k], name[k]);
  };
  entry(0, 0x80, 0x20, 0, (uint64_t(3) << 48) | 42, u"");
  entry(0x20, 0xA0, 0x28, 16, 43, u"$I30");
  entry(0x48, 0x80, 0x40, 32, 44, u"");
  auto entries = ParseAttributeList(list);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Type, 0x80u);
  EXPECT_EQ(entries[0].Holder, 42u);  // the sequence number is dropped
  EXPECT_EQ(entries[1].StartVcn, 16);
  EXPECT_TRUE(NameEquals(entries[1].Name, u"$I30"));
}

TEST(NtfsBootSector, RecordSizeEncodingsAndClusterLimit) {
  NtfsImageBuilder b;
  auto image = b.Build();
  std::vector<uint8_t> boot(image.begin(), image.begin() + 512);
  TNTFSdrive d;
  ASSERT_TRUE(d.ApplyBootSector(boot));
  EXPECT_EQ(d.BytesPerFileRecord, 1024u);  // 0xF6 = 2^10
  EXPECT_EQ(d.ClusterSize, 4096u);

  auto twoClusters = boot;
  twoClusters[0x0D] = 1;
  PutU32(&twoClusters[0x40], 2);
  ASSERT_TRUE(d.ApplyBootSector(twoClusters));
  EXPECT_EQ(d.BytesPerFileRecord, 1024u);

  auto zero = boot;
  PutU32(&zero[0x40], 0);
  EXPECT_FALSE(d.ApplyBootSector(zero));

  // 2 MiB clusters, the largest Windows formats, are written as a negative power of two (0xF4 =
  // 2^12 sectors); index blocks then need the same encoding. 4 MiB is refused.
  auto huge = boot;
  huge[0x0D] = 0xF4;
  huge[0x44] = 0xF4;
  EXPECT_TRUE(d.ApplyBootSector(huge)) << d.MountText();
  EXPECT_EQ(d.ClusterSize, 2u << 20);
  EXPECT_EQ(d.BytesPerIndexRecord, 4096u);
  huge[0x0D] = 0xF3;
  EXPECT_FALSE(d.ApplyBootSector(huge));
  EXPECT_NE(d.MountText().find("2 MiB"), std::string::npos) << d.MountText();

  auto oddRecord = boot;
  oddRecord[0x40] = 0xF7;  // 2^9: fine
  EXPECT_TRUE(d.ApplyBootSector(oddRecord));
  oddRecord[0x40] = 0xE0;  // 2^32: absurd
  EXPECT_FALSE(d.ApplyBootSector(oddRecord));
}

TEST(NtfsVolume, MountsReadsRecordSlotsAndFallsBackToTheMirror) {
  NtfsImageBuilder b;
  b.AddFile(7 + 16, 5, u"slot.txt", "in record 23");
  b.AddFile(7, 5, u"seven", "record seven");
  auto image = b.Build();
  test::TMemNTFSdrive d(image);
  ASSERT_TRUE(d.Mount(true)) << d.MountText();
  EXPECT_EQ(d.Name, "TESTVOL");
  EXPECT_EQ(d.MFTRecordCount(), b.Records);
  // With 4096-byte clusters and 1024-byte records, record 7 is slot 3 of the cluster at VCN 1.
  std::vector<uint8_t> record;
  ASSERT_TRUE(d.ReadMFTRecord(7, record));
  auto name = FindFileNameInRecord(record);
  ASSERT_TRUE(name);
  EXPECT_EQ(NameToUtf8(name->NameBytes()), "seven");
  EXPECT_EQ(std::memcmp(record.data(), image.data() + (NtfsImageBuilder::kMFTLcn + 1) * 4096 + 3 * 1024, 0x30), 0);
  EXPECT_FALSE(d.ReadMFTRecord(b.Records, record));

  // A damaged $MFT record: the mirror copy is used.
  auto damaged = image;
  std::memcpy(damaged.data() + NtfsImageBuilder::kMFTLcn * 4096, "BAAD", 4);
  test::TMemNTFSdrive m(damaged);
  ASSERT_TRUE(m.Mount(true)) << m.MountText();
  EXPECT_EQ(m.MFTRecordCount(), b.Records);
  // Neither copy usable: the mount fails and there are no special folders.
  std::memcpy(damaged.data() + NtfsImageBuilder::kMirrLcn * 4096, "BAAD", 4);
  test::TMemNTFSdrive none(damaged);
  EXPECT_FALSE(none.Mount(true));
  EXPECT_FALSE(none.HasSpecialFolders());
}

TEST(NtfsIndex, SubNodesComeBeforeTheirEntry) {
  auto key = [](const std::u16string& n) { return NtfsImageBuilder::FileName(5, n, 1, false); };
  std::vector<uint8_t> node;
  for (auto& e : {NtfsImageBuilder::IndexEntry(20, key(u"b"), false, 4), NtfsImageBuilder::IndexEntry(21, key(u"d")),
                  NtfsImageBuilder::IndexEntry(0, {}, true, 8)})
    node.insert(node.end(), e.begin(), e.end());
  std::vector<std::string> order;
  WalkIndexNode(
      node,
      [&](uint64_t ref, std::span<const uint8_t> k) {
        order.push_back(std::to_string(ref) + NameToUtf8(TFileNameView{k}.NameBytes()));
        return true;
      },
      [&](int64_t vcn) {
        order.push_back("vcn" + std::to_string(vcn));
        return true;
      });
  EXPECT_EQ(order, (std::vector<std::string>{"vcn4", "20b", "21d", "vcn8"}));

  // An entry length that runs past the node ends the walk instead of reading beyond it.
  auto cut = node;
  PutU16(&cut[8], 0x2000);
  int visits = 0;
  WalkIndexNode(cut, [&](uint64_t, std::span<const uint8_t>) { return ++visits, true; }, [](int64_t) { return true; });
  EXPECT_EQ(visits, 0);
}

}  // namespace
}  // namespace salvex
