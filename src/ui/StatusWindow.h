#pragma once
#include <QDialog>

#include "devices/StatusDialog.h"
#include "disk/RescueMap.h"

class QLabel;
class QProgressBar;

namespace salvex::ui {

class TMapBar;

// The progress window's drawing; its logic (rate limit, estimate, cancel flag) is TStatusDialog.
// Shown modeless while the work runs on this thread and lets events through.
class TStatusWindow : public QDialog, public TStatusView {
  Q_OBJECT
 public:
  explicit TStatusWindow(QWidget* parent = nullptr);
  void Attach(TStatusDialog* logic) { logic_ = logic; }

  void ShowTexts(const std::string& caption, const std::string lines[4]) override;
  void ShowBar(bool visible, int percent) override;
  void ShowRemaining(const std::string& text) override;
  void SetVisible(bool visible) override;
  // The picture of a rescue map under the bar, while an imaging run shows its progress; hidden
  // until one is set and after ClearMap.
  void ShowMap(const TRescueMap& map);
  void ClearMap();
  TMapBar* MapBar() const { return map_; }

 protected:
  void reject() override;  // Escape and the close box press Cancel; the work decides when to stop
  void closeEvent(QCloseEvent* event) override;

 private:
  void Fit();
  TStatusDialog* logic_ = nullptr;
  QLabel* lines_[4] = {};
  QLabel* remaining_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QWidget* frame_ = nullptr;
  TMapBar* map_ = nullptr;
};

}  // namespace salvex::ui
