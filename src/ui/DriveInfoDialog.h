#pragma once
#include <QDialog>

class QLineEdit;

namespace salvex {
class TDevice;
}

namespace salvex::ui {

// The geometry of the disk that holds the open volume, read-only.
class TDriveInfoDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TDriveInfoDialog(QWidget* parent = nullptr);
  bool Run(const TDevice& device);
  // Fills the fields as Run does; a failed geometry query shows 0 everywhere.
  void Prepare(const TDevice& device);
  // Drive, cylinders, heads, sectors per track, sectors, bytes per sector.
  QString Field(int index) const;

 private:
  QLineEdit* fields_[6] = {};
};

}  // namespace salvex::ui
