#include "fat/FATFileSystem.h"

#include "common/BootSector.h"
#include "common/ByteReader.h"
#include "devices/Device.h"
#include "fat/FATAnalyser.h"
#include "fat/FATdrive.h"

namespace salvex {

namespace {

// An NTFS boot sector passes the FAT test too; it belongs to NTFS.
bool ProbeFAT(std::span<const uint8_t> head) { return IsFATBootSector(head) && !IsNTFSBootSector(head); }

// A FAT32 volume keeps a backup boot sector at the sector its BPB names (usually 6); found alone,
// it must not become a volume that starts in the middle of the real one. The volume starts where
// the first FAT, `reserved` sectors on, holds its media entry.
bool PlaceFAT(const TLostVolumeSite& site, uint64_t& first, uint64_t& count) {
  ByteReader r(site.Structure);
  TDevice& device = site.Device;
  first = site.Sector;
  const bool fat32 = r.U16(0x16) == 0 && r.U32(0x24) != 0;
  const uint32_t backup = r.U16(0x32);
  if (fat32 && backup != 0 && backup < 32 && backup <= site.Sector) {
    const uint64_t primary = site.Sector - backup;
    if (site.Listed(primary)) return false;
    std::vector<uint8_t> fat(device.BytesPerSector);
    const uint64_t fatSector = primary + r.U16(0x0E);
    if (fatSector < device.TotalSectors &&
        device.ReadSectors(fatSector, 1, false, device.TotalSectors, fat.data())) {
      const uint32_t entry0 = ByteReader(fat).U32(0) & 0x0FFFFFFF;
      if ((entry0 & 0x0FFFFF00) == 0x0FFFFF00 && (entry0 & 0xFF) >= 0xF0) first = primary;
    }
  }
  count = InDeviceSectors(device, VolumeSectorsOf(site.Structure, false), r.U16(0x0B));
  return true;
}

}  // namespace

TFileSystem FATFileSystem() {
  TFileSystem fs;
  fs.Name = "FAT";
  fs.Probe = ProbeFAT;
  fs.SectorSize = [](std::span<const uint8_t> head) -> uint32_t { return ByteReader(head).U16(0x0B); };
  fs.MBRTypes = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E};
  fs.GPTTypes = {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"};
  fs.OpensByMBRType = true;
  fs.OpensUnrecognisedDevice = true;
  fs.Open = NewFATDrive;
  fs.Lost = {0, ProbeFAT, PlaceFAT, NewFATAnalyser};
  return fs;
}

}  // namespace salvex
