#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace salvex {

// What a progress window draws; the desktop implements it with widgets, the command line with a
// line on stderr. The progress logic itself lives in TStatusDialog.
class TStatusView {
 public:
  virtual ~TStatusView() = default;
  virtual void ShowTexts(const std::string& caption, const std::string lines[4]) = 0;
  virtual void ShowBar(bool visible, int percent) = 0;
  virtual void ShowRemaining(const std::string& text) = 0;
  virtual void SetVisible(bool visible) = 0;
};

// Milliseconds from an arbitrary start; injectable so that timing rules can be tested.
using TTickClock = std::function<uint32_t()>;
uint32_t SystemTickCount();

// The one progress window's logic: five texts, a rate-limited bar, a remaining-time estimate and
// a cancel flag. Operations poll UpdateDue before formatting counters and read Cancelled.
class TStatusDialog {
 public:
  explicit TStatusDialog(TStatusView* view = nullptr, TTickClock clock = SystemTickCount);

  void Setup(const std::string& caption, const std::string& line1, const std::string& line2,
             const std::string& line3, const std::string& line4, bool showProgress, bool showTime);
  void ResetProgress();
  // Empty texts leave their slot unchanged.
  void UpdateTexts(const std::string& caption, const std::string& line1 = "", const std::string& line2 = "",
                   const std::string& line3 = "", const std::string& line4 = "");
  void Step() { StepBy(1); }
  void StepBy(int64_t n);
  bool UpdateDue();
  void RestartClock() { ClockStart = 0; }
  void Show();  // clears Cancelled
  void Hide();
  void Cancel() { Cancelled = true; }  // the Cancel button

  // Read by the view and tests.
  const std::string& Caption() const { return caption_; }
  const std::string& Line(int i) const { return lines_[i]; }
  int BarPercent() const { return barPercent_; }
  bool BarVisible() const { return barVisible_; }
  const std::string& RemainingText() const { return remaining_; }
  bool Visible() const { return visible_; }

  uint32_t LastUpdate = 0;
  uint32_t ClockStart = 0;
  int32_t ElapsedSeconds = 0;
  bool ShowTime = false;
  bool UpdatePending = false;
  bool Cancelled = false;
  uint64_t Position = 0;
  uint64_t Max = 0;
  int64_t StepSize = 1;
  uint32_t IntervalMs = 500;

 private:
  void Redraw();
  void ShowRemainingTime();

  TStatusView* view_;
  TTickClock clock_;
  std::string caption_;
  std::string lines_[4];
  std::string remaining_;
  int barPercent_ = 0;
  bool barVisible_ = false;
  bool visible_ = false;
};

}  // namespace salvex
