#pragma once
#include <QDialog>

#include "devices/StatusDialog.h"

class QLabel;
class QProgressBar;

namespace salvex::ui {

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

 protected:
  void reject() override;  // Escape and the close box press Cancel; the work decides when to stop
  void closeEvent(QCloseEvent* event) override;

 private:
  TStatusDialog* logic_ = nullptr;
  QLabel* lines_[4] = {};
  QLabel* remaining_ = nullptr;
  QProgressBar* bar_ = nullptr;
};

}  // namespace salvex::ui
