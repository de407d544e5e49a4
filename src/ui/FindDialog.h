#pragma once
#include <QDialog>

#include "common/Host.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace salvex::ui {

// The name search's window. It stays modeless while the volume's search runs between pending
// window messages, so the main window keeps painting and Cancel stops the search.
class TFindDlg : public QDialog, public TFindDialog {
  Q_OBJECT
 public:
  explicit TFindDlg(QWidget* parent = nullptr);

  bool Run() override;
  std::string Mask() const override { return mask_; }
  void AddHit(const std::string& name) override;
  void SetScanningText(const std::string& text) override;
  bool Cancelled() const override { return cancelled_; }
  void Hide() override { hide(); }
  // Ends a waiting or running search as the Cancel button does.
  void Cancel() { CancelPressed(); }

  // Tests and scripted use drive the dialog through these.
  QLineEdit* NameEdit() const { return name_; }
  QPushButton* StartButton() const { return start_; }
  QPushButton* CancelButton() const { return cancel_; }
  QListWidget* Hits() const { return hits_; }
  QLabel* HitCount() const { return count_; }

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Start();
  void CancelPressed();

  QLineEdit* name_ = nullptr;
  QLabel* scanning_ = nullptr;
  QLabel* count_ = nullptr;
  QListWidget* hits_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* cancel_ = nullptr;
  std::string mask_ = "*";
  bool started_ = false;
  bool cancelled_ = false;
  bool waiting_ = false;
};

}  // namespace salvex::ui
