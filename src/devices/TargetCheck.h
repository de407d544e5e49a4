#pragma once
#include <string>

namespace salvex {

class TDevice;

// Whether `folder` lies on a file system of the device being examined (its own mounted partition,
// or a partition of the disk examined). Saving there could overwrite the very data being salvaged.
// Images never count: they are files opened read-only, and writing beside them cannot touch them.
bool TargetOnExaminedDevice(const TDevice& device, const std::string& folder);

// Asks, when the folder lies on the examined device, whether to save there anyway; true when the
// save may go on.
bool ConfirmSaveTarget(const TDevice* device, const std::string& folder);

}  // namespace salvex
