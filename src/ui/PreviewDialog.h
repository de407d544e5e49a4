#pragma once
#include <QDialog>

class QLabel;
class QLineEdit;
class QTreeWidget;

namespace salvex {
class TCustomDrive;
}

namespace salvex::ui {

// A volume's boot-sector data and its root folder, before the user opens it.
class TPreviewDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPreviewDialog(QWidget* parent = nullptr);
  // Fills the fields from the volume; Execute also shows the dialog modally.
  void Fill(TCustomDrive& drive);
  void Execute(TCustomDrive& drive);
  QTreeWidget* RootList() const { return list_; }

 private:
  QLineEdit* physSec_ = nullptr;
  QLineEdit* totalSec_ = nullptr;
  QLineEdit* secPerClus_ = nullptr;
  QLineEdit* fatType_ = nullptr;
  QLabel* fatLabel_ = nullptr;
  QLineEdit* oem_ = nullptr;
  QLineEdit* label_ = nullptr;
  QTreeWidget* list_ = nullptr;
};

}  // namespace salvex::ui
