#include "devices/LostDataScan.h"

#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/Model.h"

namespace salvex {

TLostDataScan::TLostDataScan(TCustomDrive& drive, TStatusDialog* status, uint64_t clusters)
    : drive_(drive), dialog_(status ? *status : silent_) {
  TCustomDirectory& lost = *drive.LostFolder;
  lost.ClearChildren();
  lost.Children.emplace();
  lost.TreeBuilt = false;
  Host().EnableMainWindow(false);
  dialog_.Setup(LoadText(729), "", "", "", "", true, true);
  dialog_.Max = clusters;
  dialog_.StepSize = 1;
  dialog_.IntervalMs = 500;
  dialog_.Show();
}

TLostDataScan::~TLostDataScan() {
  if (drive_.Device) drive_.Device->SetCacheEnabled(false);
  Host().EnableMainWindow(true);
  dialog_.Hide();
}

}  // namespace salvex
