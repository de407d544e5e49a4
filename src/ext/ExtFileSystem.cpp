#include "ext/ExtFileSystem.h"

#include "common/ByteReader.h"
#include "devices/Device.h"
#include "devices/DriveList.h"
#include "ext/Extdrive.h"
#include "ext/ExtStructures.h"

namespace salvex {

namespace {

// A superblock as the lost-drive search sees it: the signature and geometry fields a real one has.
bool AnnouncesExt(std::span<const uint8_t> sb) {
  ByteReader r(sb);
  const uint32_t logBlock = r.U32(24);
  return HasExtSuperblockSignature(sb) && r.U32(76) <= 1 && r.U32(4) != 0 && r.U32(20) <= 1 &&
         r.U32(32) <= (8192u << logBlock) && r.U32(40) <= (8192u << logBlock) && !r.Failed();
}

bool ProbeExt(std::span<const uint8_t> head) {
  // A boot sector or partition table in the first sector makes this something else.
  if (head.size() < ext::kSuperblockOffset + 512 || (head[510] == 0x55 && head[511] == 0xAA)) return false;
  std::span<const uint8_t> sb = head.subspan(ext::kSuperblockOffset);
  return AnnouncesExt(sb) && ByteReader(sb).U16(90) == 0;
}

// The journal of a listed ext volume logs its superblock's block with every change of the
// counts: those copies are that volume's past, not volumes of their own.
bool InsideListedJournal(const TLostVolumeSite& site) {
  if (!site.Drives) return false;
  for (size_t i = 0; i < site.Drives->Count(); ++i) {
    auto* ext = dynamic_cast<TExtdrive*>(site.Drives->Items(i));
    if (!ext || ext->Device != &site.Device || !ext->HasSpecialFolders() || site.Sector < ext->FirstSector) continue;
    const uint64_t bytes = (site.Sector - ext->FirstSector) * ext->BytesPerSector() + ext::kSuperblockOffset;
    if (bytes / ext->Sb.BlockSize < ext->Sb.BlocksCount && ext->JournalHolds(bytes / ext->Sb.BlockSize)) return true;
  }
  return false;
}

// The first superblock places its volume where it lies; a backup in group g lies
// (g × blocks per group + first data block) blocks into its volume.
bool PlaceExt(const TLostVolumeSite& site, uint64_t& first, uint64_t& count) {
  ByteReader r(site.Structure);
  TDevice& device = site.Device;
  if (InsideListedJournal(site)) return false;
  const uint64_t bs = uint64_t(1024) << r.U32(24);
  const bool wide = r.U32(96) & ext::k64Bit;
  const uint64_t blocks = r.U32(4) | (wide && r.Has(0x150, 4) ? uint64_t(r.U32(0x150)) << 32 : 0);
  count = InDeviceSectors(device, blocks, bs);
  first = site.Sector;
  const uint16_t group = r.U16(90);
  if (group == 0) return true;
  const uint64_t bps = device.BytesPerSector ? device.BytesPerSector : 512;
  const uint64_t into = (uint64_t(group) * r.U32(32) + r.U32(20)) * bs;
  const uint64_t at = site.Sector * bps + ext::kSuperblockOffset;
  if (at < into || (at - into) % bps) return false;
  first = (at - into) / bps;
  return !site.Listed(first);
}

}  // namespace

TFileSystem ExtFileSystem() {
  TFileSystem fs;
  fs.Name = "ext";
  fs.Probe = ProbeExt;
  fs.MBRTypes = {0x83};
  fs.GPTTypes = {"0FC63DAF-8483-4772-8E79-3D69D8477DE4"};
  fs.Open = NewExtDrive;
  fs.Lost = {uint32_t(ext::kSuperblockOffset), AnnouncesExt, PlaceExt, nullptr};
  return fs;
}

}  // namespace salvex
