#include "devices/Device.h"

#include <cstring>
#include <memory>
#include <vector>

#include "devices/ReadFailures.h"
#include "devices/StatusDialog.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"

namespace salvex {
namespace {

uint64_t failedReads = 0;

struct Slot {
  const TDevice* owner = nullptr;
  uint8_t age = 0;
  uint64_t first = 0;
  uint64_t last = 0;
  std::unique_ptr<uint8_t[]> data;
};

struct Cache {
  bool enabled = false;
  Slot slots[blockcache::kSlots];
  uint8_t* Data(int i) {
    // Allocated on first use so that programs that never scan do not pay 8 MiB.
    if (!slots[i].data) slots[i].data.reset(new uint8_t[blockcache::kSlotBytes]);
    return slots[i].data.get();
  }
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

TDeviceClock& Clock() {
  static TDeviceClock clock = [] { return SystemTickCount(); };
  return clock;
}

}  // namespace

namespace blockcache {
void SetEnabled(bool value) { TheCache().enabled = value; }
bool Enabled() { return TheCache().enabled; }
SlotInfo Slot(int index) {
  const auto& s = TheCache().slots[index];
  return {s.owner, s.age, s.first, s.last};
}
void Reset() {
  for (auto& s : TheCache().slots) {
    s.owner = nullptr;
    s.age = 0;
  }
}
}  // namespace blockcache

void SetDeviceClock(TDeviceClock clock) { Clock() = clock ? clock : [] { return SystemTickCount(); }; }

TDevice::~TDevice() {
  for (auto& s : TheCache().slots)
    if (s.owner == this) {
      s.owner = nullptr;
      s.age = 0;
    }
}

bool TDevice::DirectRead(uint64_t lba, uint32_t count, bool showErrors, uint8_t* buffer) {
  if (count == 0) return true;
  if (Kind == KindPhysical) return ReadPhysicalSectors(Number, lba, count, showErrors, buffer);
  if (Kind == KindLogical) return ReadLogicalSectors(Number, lba, count, buffer);
  return false;
}

bool TDevice::CacheLookup(uint64_t& lba, uint32_t& count, uint8_t*& buffer) {
  Cache& c = TheCache();
  for (auto& s : c.slots)
    if (s.age > 0) --s.age;
  for (int i = 0; i < blockcache::kSlots;) {
    Slot& s = c.slots[i];
    if (s.owner == this && s.first <= lba && lba <= s.last) {
      if (s.age < 15) ++s.age;
      uint64_t avail = s.last - lba + 1;
      uint32_t served = count <= avail ? count : static_cast<uint32_t>(avail);
      std::memcpy(buffer, c.Data(i) + (lba - s.first) * BytesPerSector, size_t(served) * BytesPerSector);
      count -= served;
      if (count == 0) return true;
      lba += served;
      buffer += size_t(served) * BytesPerSector;
      i = 0;
      continue;
    }
    ++i;
  }
  return false;
}

bool TDevice::ReadSectors(uint64_t lba, uint32_t count, bool showErrors, uint64_t bound, uint8_t* buffer) {
  Cache& c = TheCache();
  // Read-ahead serves small reads; a request of a block or of 64 KiB and more gains nothing from
  // it and goes straight to the disk.
  if (c.enabled && CacheEnabled && CacheBlockSectors > 0 && lba < TotalSectors && count > 0 &&
      count < CacheBlockSectors && uint64_t(count) * BytesPerSector < 0x10000 &&
      uint64_t(CacheBlockSectors) * BytesPerSector <= blockcache::kSlotBytes) {
    if (CacheLookup(lba, count, buffer)) return true;
    int victim = 0;
    uint8_t smallest = 15;
    for (int i = 0; i < blockcache::kSlots; ++i)
      if (c.slots[i].age < smallest) {
        smallest = c.slots[i].age;
        victim = i;
      }
    if (lba < bound && (lba < failedReadAheadFirst_ || lba >= failedReadAheadEnd_)) {
      uint64_t n = CacheBlockSectors;
      // The block ends two sectors before the bound, as the read-ahead limit always has.
      if (lba + n > bound) n = bound - lba - 1;
      if (n > 0) {
        Slot& s = c.slots[victim];
        if (DirectRead(lba, static_cast<uint32_t>(n), showErrors, c.Data(victim))) {
          s.owner = this;
          s.age = 15;
          s.first = lba;
          s.last = lba + n - 1;
          if (CacheLookup(lba, count, buffer)) return true;
        } else {
          failedReadAheadFirst_ = lba;
          failedReadAheadEnd_ = lba + n;
        }
      }
    }
  }
  if (DirectRead(lba, count, showErrors, buffer)) return true;
  ++failedReads;
  return false;
}

uint64_t FailedDeviceReads() { return failedReads; }
void CountRefusedRead() { ++failedReads; }

int TDevice::PlainFile() {
  if (Kind == KindPhysical) return PhysicalDrivePlainFile(Number);
  if (Kind == KindLogical) return LogicalDrivePlainFile(Number);
  return -1;
}

void TDevice::MeasureCacheBlock() {
  if (TotalSectors < 2048) {
    CacheBlockSectors = 0;
    return;
  }
  SetCacheEnabled(false);
  std::vector<uint8_t> buffer(BytesPerSector > 2048 ? BytesPerSector : 2048);
  if (!ReadSectors(0, 1, false, TotalSectors, buffer.data())) {
    CacheBlockSectors = 0;
    return;
  }
  uint32_t start = Clock()();
  uint32_t reads = 0;
  bool failed = false;
  uint64_t sector = 0;
  while (Clock()() - start < 100 && sector < TotalSectors) {
    if (!ReadSectors(sector++, 1, false, TotalSectors, buffer.data())) {
      failed = true;
      break;
    }
    ++reads;
  }
  if (failed) {
    CacheBlockSectors = 0;
    return;
  }
  CacheBlockSectors = reads < 2 ? 1 : reads * 10;
  if (uint64_t(CacheBlockSectors) * BytesPerSector > blockcache::kSlotBytes)
    CacheBlockSectors = static_cast<uint32_t>(blockcache::kSlotBytes / BytesPerSector);
}

void TDevice::UseLargestCacheBlock() {
  CacheBlockSectors = TotalSectors < 2048 ? 0 : static_cast<uint32_t>(blockcache::kSlotBytes / BytesPerSector);
}

}  // namespace salvex
