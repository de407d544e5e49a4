#pragma once
#include <QDialog>

class QLabel;
class QLineEdit;

namespace salvex {
class TDevice;
}

namespace salvex::ui {

class TMapBar;

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
  // The rescue map an image was added with, drawn under the geometry; hidden without one.
  TMapBar* MapBar() const { return mapBar_; }
  QLabel* MapText() const { return mapText_; }

 private:
  QLineEdit* fields_[6] = {};
  QLabel* mapLabel_ = nullptr;
  QLabel* mapText_ = nullptr;
  TMapBar* mapBar_ = nullptr;
};

}  // namespace salvex::ui
