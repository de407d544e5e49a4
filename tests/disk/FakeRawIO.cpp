#include "disk/FakeRawIO.h"

#include "devices/Device.h"
#include "disk/DeviceRegistry.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"

namespace salvex::test {

ScopedFakeIO::ScopedFakeIO() {
  ClosePhysicalDrive();
  CloseLogicalDrive();
  TDeviceRegistry::Instance().Clear();
  blockcache::Reset();
  SetRawIO(&io);
}

ScopedFakeIO::~ScopedFakeIO() {
  ClosePhysicalDrive();
  CloseLogicalDrive();
  TDeviceRegistry::Instance().Clear();
  blockcache::Reset();
  blockcache::SetEnabled(false);
  SetRawIO(nullptr);
}

}  // namespace salvex::test
