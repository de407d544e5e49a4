#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/Device.h"
#include "disk/DeviceRegistry.h"
#include "disk/FakeRawIO.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"
#include "ntfs/NtfsImageBuilder.h"

namespace salvex {
namespace {

// A volume with 512-byte sectors in an image whose device has 4096-byte sectors (a disk image of a
// 4Kn drive holding an old volume): its sectors are cut out of the device's, not read as them.
TEST(NtfsDeviceSectors, VolumeSectorsSmallerThanTheDeviceSectorsAreCutOutOfThem) {
  test::NtfsImageBuilder b;
  b.AddFile(20, 5, u"note.txt", "small sectors");
  b.AddDirectory(5, 5, u".", {{20, test::NtfsImageBuilder::FileName(5, u"note.txt", 1, false)}});
  const std::vector<uint8_t> image = b.Build();
  test::ScopedFakeIO fake;
  fake.io.images["/img/ntfs4k"].bytes = image;
  TDevice device;
  device.Kind = KindLogical;
  device.Number = TDeviceRegistry::Instance().AddImage("/img/ntfs4k", TImageKind::Drive, 4096).Number;
  device.BytesPerSector = 4096;
  device.TotalSectors = image.size() / 4096;
  TNTFSdrive d;
  d.Device = &device;
  d.SectorCount = device.TotalSectors;
  ASSERT_TRUE(d.Mount(true)) << d.MountText();
  EXPECT_EQ(d.BytesPerSector(), 512u);
  d.Root()->ReadChildren();
  ASSERT_TRUE(d.Root()->Children);
  ASSERT_EQ(d.Root()->Children->size(), 1u);
  auto* f = dynamic_cast<TNTFSFile*>((*d.Root()->Children)[0].get());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Name, "note.txt");
  EXPECT_EQ(f->Size, 13u);
}

}  // namespace
}  // namespace salvex
