#include "devices/TargetCheck.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "common/Format.h"
#include "common/Host.h"
#include "devices/Device.h"
#include "disk/DeviceRegistry.h"

namespace salvex {

namespace {

// The block device name ("sda", "sda1", "nvme0n1p2") behind a device number, from sysfs.
std::string BlockName(dev_t dev) {
  std::error_code ec;
  std::filesystem::path link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  auto target = std::filesystem::canonical(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The disk holding a partition ("sda" for "sda1"), or the name itself for a whole disk.
std::string DiskOf(dev_t dev) {
  std::error_code ec;
  std::filesystem::path link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  auto target = std::filesystem::canonical(link, ec);
  if (ec) return {};
  if (std::filesystem::exists(target / "partition", ec)) return target.parent_path().filename().string();
  return target.filename().string();
}

}  // namespace

bool TargetOnExaminedDevice(const TDevice& device, const std::string& folder) {
  const auto& registry = TDeviceRegistry::Instance();
  const TRegisteredDevice* reg =
      device.Kind == KindPhysical ? registry.FindPhysical(device.Number) : registry.FindLogical(device.Number);
  if (!reg) return false;
  struct stat dev {};
  if (::stat(reg->Path.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
  // The folder may not exist yet: its nearest existing ancestor says where it will be.
  std::filesystem::path p = std::filesystem::absolute(folder);
  struct stat target {};
  while (::stat(p.c_str(), &target) != 0) {
    if (!p.has_parent_path() || p.parent_path() == p) return false;
    p = p.parent_path();
  }
  if (target.st_dev == dev.st_rdev) return true;
  if (major(target.st_dev) == 0) return false;  // tmpfs, overlay and other virtual file systems
  std::string examined = BlockName(dev.st_rdev);
  if (examined.empty()) return false;
  // A whole disk holds every partition on it.
  return reg->Physical && DiskOf(target.st_dev) == examined;
}

bool ConfirmSaveTarget(const TDevice* device, const std::string& folder) {
  if (!device || !TargetOnExaminedDevice(*device, folder)) return true;
  return Host().ConfirmTargetOnExaminedDevice(folder);
}

}  // namespace salvex
