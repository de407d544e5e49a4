#pragma once
#include <string>
#include <vector>

#include "disk/DeviceRegistry.h"

namespace salvex {

// Makes the images given the run's devices (the registry is emptied first); with no images, or
// with systemDisks, the machine's readable disks are added as well. Throws std::runtime_error
// with one clear line for an image that cannot be used.
void RegisterDevices(const std::vector<std::string>& images, TImageKind kind, bool systemDisks);

}  // namespace salvex
