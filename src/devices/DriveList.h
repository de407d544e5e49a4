#pragma once
#include <memory>
#include <vector>

#include "devices/Model.h"

namespace salvex {

class TDevice;

// Every volume the run knows, in the order added: detection order, then lost volumes.
class TDriveList {
 public:
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  TCustomDrive* Items(size_t index) const { return items_.at(index).get(); }
  int IndexOf(const TCustomDrive* drive) const;

  // Adds the volumes of one device: its partition tables, or the whole device as one volume.
  void DetectDrives(TDevice& device);
  // Appends a volume of the partition walk and mounts it (it stays listed whatever Mount says).
  TCustomDrive* AddDrive(std::unique_ptr<TCustomDrive> drive, TDevice& device, uint64_t firstSector,
                         uint64_t sectorCount, bool quiet);
  // Appends a volume found by a search: Lost = 1, quiet mount, " (lost)" appended to the name.
  TCustomDrive* AddLostDrive(TDevice& device, std::unique_ptr<TCustomDrive> drive, bool quiet,
                             uint64_t sectorCount, uint64_t firstSector, uint64_t bootSector);
  // Appends a volume whose creator set its fields and mounted it (rebuilt volumes).
  TCustomDrive* Append(std::unique_ptr<TCustomDrive> drive);

 private:
  std::vector<std::unique_ptr<TCustomDrive>> items_;
};

}  // namespace salvex
