#pragma once
#include <cstdint>
#include <filesystem>

#include "devices/DeviceList.h"
#include "devices/DriveList.h"

namespace salvex::test {

// Registers the image alone, detects its devices and volumes with the file-system table, and
// returns the volume that starts at `firstSector` (nullptr when there is none).
TCustomDrive* OpenImageVolume(const std::filesystem::path& image, uint64_t firstSector, TDeviceList& devices,
                              TDriveList& drives);

}  // namespace salvex::test
