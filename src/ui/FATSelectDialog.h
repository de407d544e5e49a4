#pragma once
#include <QDialog>

class QComboBox;

namespace salvex {
class TCustomDrive;
}

namespace salvex::ui {

// Which FAT to follow when a file of a FAT volume is read for viewing: "no FAT" or a copy.
class TFATSelectDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TFATSelectDialog(QWidget* parent = nullptr);
  // Offers "no FAT" and FAT 1..n; preselects no FAT in the Deleted tree, else the volume's FAT.
  bool Execute(const TCustomDrive& drive, bool deletedView);
  // Fills the choice as Execute does, without showing the dialog.
  void Prepare(const TCustomDrive& drive, bool deletedView);
  int ItemIndex() const { return itemIndex_; }
  QComboBox* Choice() const { return combo_; }

 private:
  QComboBox* combo_ = nullptr;
  int itemIndex_ = 0;
};

}  // namespace salvex::ui
