#pragma once
#include <memory>
#include <string>
#include <vector>

#include "devices/Device.h"

namespace salvex {

class TStatusDialog;

// Every device of the run, in detection order: physical disks by BIOS number, then logical
// drives A: to Z:.
class TDeviceList {
 public:
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  TDevice* Items(size_t index) const { return items_.at(index).get(); }
  int IndexOf(const TDevice* device) const;
  void DetectDevices(TStatusDialog* status);
  std::string GetDeviceName(size_t index, bool withSize) const;
  // Appends a device built by hand (tests).
  TDevice* Add(std::unique_ptr<TDevice> device);

 private:
  std::vector<std::unique_ptr<TDevice>> items_;
};

}  // namespace salvex
