#pragma once
#include <cstdint>
#include <string>

namespace salvex {

enum TDeviceKind : uint8_t { KindPhysical = 0, KindLogical = 1 };
enum TDriveType : uint8_t {
  DriveUnknown = 0, DriveFloppy = 1, DriveRemovable = 2, DriveFixed = 3, DriveRemote = 4, DriveCDROM = 5, DriveRAM = 6
};

// One readable device: a physical disk by BIOS number or a logical drive by letter.
class TDevice {
 public:
  TDevice() = default;
  ~TDevice();  // releases the cache slots it owns
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  bool CacheEnabled = false;
  std::string Name;
  uint8_t Kind = KindPhysical;
  uint8_t DriveType = DriveUnknown;
  uint8_t RemovableMedia = 0;
  uint64_t TotalSectors = 0;
  uint16_t BytesPerSector = 512;
  bool Partitioned = false;
  uint8_t Number = 0;
  uint32_t CacheBlockSectors = 0;  // 0 = never cache this device

  // Device-absolute read of count sectors. `bound` is the sector the block cache must not read
  // ahead to (the end of the volume or of the device).
  bool ReadSectors(uint64_t lba, uint32_t count, bool showErrors, uint64_t bound, uint8_t* buffer);
  bool SetCacheEnabled(bool value) {
    CacheEnabled = value;
    return value;
  }
  // The descriptor of the device's plain image file, for copies the kernel makes itself; -1 for
  // disks and containers. Byte offsets in it are lba × BytesPerSector.
  int PlainFile();
  // Sets CacheBlockSectors from a 100 ms single-sector read test.
  void MeasureCacheBlock();
  // An image file is read through the page cache, where the test always ends at the largest
  // block: that block, without the 100 ms.
  void UseLargestCacheBlock();

 private:
  bool DirectRead(uint64_t lba, uint32_t count, bool showErrors, uint8_t* buffer);
  // A read-ahead that failed covered a bad area: blocks starting within it are not tried
  // again, so that each good sector before the area does not cost another failing block read.
  uint64_t failedReadAheadFirst_ = 0, failedReadAheadEnd_ = 0;
  bool CacheLookup(uint64_t& lba, uint32_t& count, uint8_t*& buffer);
};

// The process-wide block cache: 4 slots of 2 MiB shared by all devices, with 4-bit ages.
namespace blockcache {
constexpr int kSlots = 4;
constexpr size_t kSlotBytes = 0x200000;
struct SlotInfo {
  const TDevice* Owner;
  uint8_t Age;
  uint64_t First;
  uint64_t Last;
};
// Global switch from the settings ("EnableCache"); off until settings are applied.
void SetEnabled(bool value);
bool Enabled();
SlotInfo Slot(int index);
void Reset();  // every slot free
}  // namespace blockcache

// Milliseconds clock used by MeasureCacheBlock; replaceable for tests.
using TDeviceClock = uint32_t (*)();
void SetDeviceClock(TDeviceClock clock);

}  // namespace salvex
