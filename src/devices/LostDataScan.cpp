#include "devices/LostDataScan.h"

#include <algorithm>
#include <string>

#include "common/Debug.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/Model.h"
#include "salvex/StringIds.h"

namespace salvex {

bool AskLostRange(uint64_t lowest, uint64_t highest, uint64_t& first, uint64_t& last) {
  first = lowest;
  last = highest;
  if (!Host().AskClusterRange(first, last, lowest, highest)) return false;
  first = std::clamp(first, lowest, highest);
  last = std::clamp(last, lowest, highest);
  if (first > last) std::swap(first, last);
  return true;
}

TLostDataScan::TLostDataScan(TCustomDrive& drive, TStatusDialog* status, uint64_t clusters)
    : drive_(drive), dialog_(status ? *status : silent_) {
  drive.LastLostSearch = TLostSearchReport{};
  drive.LastLostSearch.Ran = true;
  TCustomDirectory& lost = *drive.LostFolder;
  lost.ClearChildren();
  lost.Children.emplace();
  lost.TreeBuilt = false;
  Host().EnableMainWindow(false);
  dialog_.Setup(LoadText(txt::FindLostDataWait), "", "", "", "", true, true);
  dialog_.Max = clusters;
  dialog_.StepSize = 1;
  dialog_.IntervalMs = 500;
  dialog_.Show();
}

TLostDataScan::~TLostDataScan() {
  TLostSearchReport& report = drive_.LastLostSearch;
  report.Cancelled = dialog_.Cancelled;
  if (drive_.LostFolder && drive_.LostFolder->Children) {
    for (const auto& item : *drive_.LostFolder->Children) {
      if (item->AsFolder()) {
        ++report.Folders;
      } else if (auto* file = item->AsFile()) {
        ++report.Files;
        if (file->SizeOrigin == TSizeOrigin::FormatEnd) ++report.FilesCutAtEnd;
      }
    }
  }
  if (drive_.Device) drive_.Device->SetCacheEnabled(false);
  Host().EnableMainWindow(true);
  dialog_.Hide();
}

void TLostDataScan::Fail(const std::exception& e) {
  drive_.LastLostSearch.Failure = e.what();
  DebugLog(std::string("FindLostData: ") + e.what(), 0);
}

void TLostDataScan::NoteNestedHit() { ++drive_.LastLostSearch.NestedHits; }

}  // namespace salvex
