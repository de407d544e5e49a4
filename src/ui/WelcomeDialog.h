#pragma once
#include <QDialog>

class QPushButton;

namespace salvex::ui {

class TMainWindow;

// The starting point shown at every start: the program's three tasks, each run through the
// main window's own commands.
class TWelcomeDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TWelcomeDialog(TMainWindow* window);
  bool Run() { return exec() == QDialog::Accepted; }

  QPushButton* UndeleteButton() const { return undelete_; }
  QPushButton* FindLostDataButton() const { return lostData_; }
  QPushButton* FindLostDriveButton() const { return lostDrive_; }
  // The banner with its subtitle in the chosen language.
  static QPixmap BannerPicture();

 private:
  void UndeleteClicked();
  void FindLostDataClicked();
  void FindLostDriveClicked();
  // Ends with OK while the task's commands run from the main window's event loop.
  void Finish();

  TMainWindow* window_;
  QPushButton* undelete_ = nullptr;
  QPushButton* lostData_ = nullptr;
  QPushButton* lostDrive_ = nullptr;
};

}  // namespace salvex::ui
