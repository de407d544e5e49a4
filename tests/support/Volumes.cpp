#include "support/Volumes.h"

#include "disk/DeviceRegistry.h"

namespace salvex::test {

TCustomDrive* OpenImageVolume(const std::filesystem::path& image, uint64_t firstSector, TDeviceList& devices,
                              TDriveList& drives) {
  // Clearing the registry also closes the handles cached for the previous image.
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  registry.AddImage(image.string(), TImageKind::Auto);
  devices.DetectDevices(nullptr);
  for (size_t i = 0; i < devices.Count(); ++i) drives.DetectDrives(*devices.Items(i));
  for (size_t i = 0; i < drives.Count(); ++i)
    if (drives.Items(i)->FirstSector == firstSector) return drives.Items(i);
  return nullptr;
}

}  // namespace salvex::test
