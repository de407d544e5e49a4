#include "ntfs/NTFSFileSystem.h"

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "devices/Device.h"
#include "ntfs/LostRecord.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

namespace {

bool ProbeNTFS(std::span<const uint8_t> head) { return IsNTFSBootSector(head); }

// NTFS keeps a backup boot sector at the volume's last sector; found alone, it is the copy at the
// end when a volume starting there would run past the device.
bool PlaceNTFS(const TLostVolumeSite& site, uint64_t& first, uint64_t& count) {
  ByteReader r(site.Structure);
  first = site.Sector;
  const uint64_t total = r.U64(0x28);
  if (total != 0 && total <= site.Sector) {
    const uint64_t primary = site.Sector - total;
    if (site.Listed(primary)) return false;
    if (site.Sector + total > site.Device.TotalSectors) first = primary;
  }
  count = InDeviceSectors(site.Device, VolumeSectorsOf(site.Structure, true), r.U16(0x0B));
  return true;
}

}  // namespace

TFileSystem NTFSFileSystem() {
  TFileSystem fs;
  fs.Name = "NTFS";
  fs.Probe = ProbeNTFS;
  fs.SectorSize = [](std::span<const uint8_t> head) -> uint32_t { return ByteReader(head).U16(0x0B); };
  fs.MBRTypes = {0x07};
  fs.GPTTypes = {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"};
  fs.OpensByMBRType = true;
  fs.Open = NewNTFSDrive;
  fs.Lost = {0, ProbeNTFS, PlaceNTFS, nullptr};
  fs.ParseLostRecord = ParseNTFSLostRecord;
  return fs;
}

}  // namespace salvex
