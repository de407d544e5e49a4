#pragma once
#include <cstdint>

#include "disk/Geometry.h"

namespace salvex {

// Sectors of a physical disk by BIOS drive number. Reads go through one 64 KiB transfer buffer
// (at most 128 sectors of 512 bytes per transfer) and one cached read-only handle. With
// showErrors, a failing chunk asks the operator Abort / Retry / Ignore through the host.
bool ReadPhysicalSectors(uint8_t drive, uint64_t lba, uint32_t count, bool showErrors, uint8_t* buffer);
bool GetDiskGeometry(uint8_t drive, DiskGeometry& geometry);
// Closes the cached handle (program end, registry changes, tests).
void ClosePhysicalDrive();
// The system descriptor of the drive's image when it is a plain file (opened if needed), for copies
// the kernel makes itself; -1 for disks and containers.
int PhysicalDrivePlainFile(uint8_t drive);
// How many times the cached handle was opened (tests of handle reuse).
uint64_t PhysicalOpenCount();
// Chunks accepted by "Ignore" since start: saving compares it to report unreadable sectors.
uint64_t IgnoredReadCount();
void NoteIgnoredRead();

}  // namespace salvex
