#include "recovery/DeviceSetup.h"

#include "devices/DriveList.h"
#include "exfat/ExFATdrive.h"
#include "ext/Extdrive.h"
#include "fat/FATAnalyser.h"
#include "fat/FATdrive.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

void RegisterDevices(const std::vector<std::string>& images, TImageKind kind, bool systemDisks) {
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  for (const auto& image : images) registry.AddImage(image, kind);
  if (images.empty() || systemDisks) registry.AddSystemDisks();
}

void InstallVolumeClasses() {
  TVolumeFactory factory;
  factory.NewFAT = NewFATDrive;
  factory.NewNTFS = NewNTFSDrive;
  factory.NewExFAT = NewExFATDrive;
  factory.NewExt = NewExtDrive;
  factory.NewAnalyser = NewFATAnalyser;
  SetVolumeFactory(factory);
}

}  // namespace salvex
