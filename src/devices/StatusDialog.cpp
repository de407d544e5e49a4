#include "devices/StatusDialog.h"

#include <chrono>
#include <cmath>

#include "common/Format.h"
#include "common/StringTable.h"
#include "salvex/StringIds.h"

namespace salvex {

uint32_t SystemTickCount() {
  using namespace std::chrono;
  // Never 0, which the progress logic reads as "not yet".
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  uint32_t t = static_cast<uint32_t>(ms);
  return t == 0 ? 1 : t;
}

TStatusDialog::TStatusDialog(TStatusView* view, TTickClock clock) : view_(view), clock_(std::move(clock)) {}

void TStatusDialog::Setup(const std::string& caption, const std::string& line1, const std::string& line2,
                          const std::string& line3, const std::string& line4, bool showProgress, bool showTime) {
  if (showProgress) {
    remaining_.clear();
    if (view_) view_->ShowRemaining(remaining_);
    ResetProgress();
  } else {
    barVisible_ = false;
    if (view_) view_->ShowBar(false, barPercent_);
  }
  ShowTime = showTime;
  caption_ = caption;
  lines_[0] = line1;
  lines_[1] = line2;
  lines_[2] = line3;
  lines_[3] = line4;
  Redraw();
}

void TStatusDialog::ResetProgress() {
  barPercent_ = 0;
  barVisible_ = true;
  if (view_) view_->ShowBar(true, 0);
  Position = 0;
  LastUpdate = 0;
  ClockStart = 0;
  ElapsedSeconds = 0;
  UpdatePending = true;
}

void TStatusDialog::UpdateTexts(const std::string& caption, const std::string& line1, const std::string& line2,
                                const std::string& line3, const std::string& line4) {
  if (!caption.empty()) caption_ = caption;
  const std::string* in[4] = {&line1, &line2, &line3, &line4};
  for (int i = 0; i < 4; ++i)
    if (!in[i]->empty()) lines_[i] = *in[i];
  Redraw();
}

void TStatusDialog::StepBy(int64_t n) {
  Position += static_cast<uint64_t>(n * StepSize);
  uint32_t now = clock_();
  if (LastUpdate != 0 && !(now > LastUpdate + IntervalMs)) return;
  UpdatePending = true;
  LastUpdate = now;
  if (Max != 0) {
    double percent = static_cast<double>(Position) / static_cast<double>(Max) * 100.0;
    if (std::isfinite(percent)) {
      barPercent_ = static_cast<int>(std::nearbyint(percent));  // ties to even
      if (view_) view_->ShowBar(barVisible_, barPercent_);
    }
  }
  if (!ShowTime) return;
  if (ClockStart == 0) {
    ClockStart = now;
    return;
  }
  if (now > ClockStart + 5000) {
    ElapsedSeconds += static_cast<int32_t>(std::nearbyint((now - ClockStart) / 1000.0));
    ClockStart = now;
    ShowRemainingTime();
  }
}

void TStatusDialog::ShowRemainingTime() {
  if (Position == 0) return;  // nothing done yet: no meaningful estimate
  double total = std::nearbyint(static_cast<double>(Max) / static_cast<double>(Position) * ElapsedSeconds);
  int64_t remaining = static_cast<int64_t>(total) - ElapsedSeconds;
  if (remaining < 0) remaining = 0;
  if (remaining < 61)
    remaining_ = TextF(txt::RemainingSeconds, {remaining});
  else
    remaining_ = TextF(txt::RemainingMinutes, {static_cast<int64_t>(std::nearbyint(remaining / 60.0))});
  if (view_) view_->ShowRemaining(remaining_);
}

bool TStatusDialog::UpdateDue() {
  if (UpdatePending) {
    UpdatePending = false;
    return true;
  }
  uint32_t now = clock_();
  if (LastUpdate != 0 && !(now > LastUpdate + IntervalMs)) return false;
  LastUpdate = now;
  return true;
}

void TStatusDialog::Show() {
  Cancelled = false;
  visible_ = true;
  if (view_) view_->SetVisible(true);
}

void TStatusDialog::Hide() {
  visible_ = false;
  if (view_) view_->SetVisible(false);
}

void TStatusDialog::Redraw() {
  if (view_) view_->ShowTexts(caption_, lines_);
}

}  // namespace salvex
