#pragma once
#include <cstdint>

#include "disk/Geometry.h"

namespace salvex {

// Sectors of a logical drive (1..26 = A:..Z:), in transfers of at most 1000 sectors on a cached
// read-only handle. No operator prompt on this path; a failing transfer leaves what it delivered.
bool ReadLogicalSectors(uint8_t drive, uint64_t lba, uint32_t count, uint8_t* buffer);
bool GetLogicalGeometry(uint8_t drive, DiskGeometry& geometry);
void CloseLogicalDrive();
// As PhysicalDrivePlainFile, for a logical drive.
int LogicalDrivePlainFile(uint8_t drive);
uint64_t LogicalOpenCount();

}  // namespace salvex
