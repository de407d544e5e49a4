#include "exfat/ExFATFileSystem.h"

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "devices/Device.h"
#include "exfat/ExFATdrive.h"

namespace salvex {

namespace {

bool ProbeExFAT(std::span<const uint8_t> head) { return IsExFATBootSector(head); }

// exFAT keeps a backup boot region 12 of its own sectors after the main one. When the main boot
// sector is gone, the backup is found first: its volume starts where the FAT it names holds the
// media entry F8 FF FF FF.
bool PlaceExFAT(const TLostVolumeSite& site, uint64_t& first, uint64_t& count) {
  ByteReader r(site.Structure);
  TDevice& device = site.Device;
  first = site.Sector;
  const uint64_t volBps = uint64_t(1) << r.U8(108);
  const uint64_t ratio = volBps > device.BytesPerSector ? volBps / device.BytesPerSector : 1;
  count = InDeviceSectors(device, r.U64(72), volBps);
  const uint64_t back = 12 * ratio;
  if (site.Sector < back) return true;
  const uint64_t primary = site.Sector - back;
  if (site.Listed(primary)) return false;
  std::vector<uint8_t> fat(device.BytesPerSector);
  const uint64_t fatSector = primary + uint64_t(r.U32(80)) * ratio;
  if (fatSector < device.TotalSectors && device.ReadSectors(fatSector, 1, false, device.TotalSectors, fat.data()) &&
      ByteReader(fat).U32(0) == 0xFFFFFFF8u)
    first = primary;
  return true;
}

}  // namespace

TFileSystem ExFATFileSystem() {
  TFileSystem fs;
  fs.Name = "exFAT";
  fs.Probe = ProbeExFAT;
  fs.SectorSize = [](std::span<const uint8_t> head) -> uint32_t { return 1u << ByteReader(head).U8(108); };
  fs.MBRTypes = {0x07};
  fs.GPTTypes = {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"};
  fs.ProbeAnyPartition = true;
  fs.Open = NewExFATDrive;
  fs.Lost = {0, ProbeExFAT, PlaceExFAT, nullptr};
  return fs;
}

}  // namespace salvex
