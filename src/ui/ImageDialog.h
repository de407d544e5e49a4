#pragma once
#include <QDialog>

#include "disk/ImageRun.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace salvex {
class TDeviceList;
class TDriveList;
}  // namespace salvex

namespace salvex::ui {

class TMapBar;

// Tools > Create disk image: the source from the drive dialog's two lists (a volume or a whole
// disk), the image file, its map beside it and the retries. An existing map is shown, since the
// run goes on from it.
class TImageDialog : public QDialog {
  Q_OBJECT
 public:
  TImageDialog(QWidget* parent, TDeviceList& devices, TDriveList& drives);

  // Fills the lists and runs modally; true with `request` set when Start was pressed.
  bool Execute(TImageRequest& request);
  void Prepare();
  // The request the fields make; false with `why` when they do not make one.
  bool MakeRequest(TImageRequest& request, QString& why) const;

  QTabWidget* Pages() const { return pages_; }
  QListWidget* LogicalList() const { return logical_; }
  QListWidget* PhysicalList() const { return physical_; }
  QLineEdit* TargetEdit() const { return target_; }
  QLineEdit* MapEdit() const { return map_; }
  QSpinBox* RetriesBox() const { return retries_; }
  QPushButton* StartButton() const { return start_; }
  TMapBar* MapBar() const { return mapBar_; }
  QLabel* MapState() const { return mapState_; }

 private:
  void TargetEdited(const QString& text);
  void ShowMap();
  void BrowseClicked();
  void StartClicked();

  TDeviceList& devices_;
  TDriveList& drives_;
  QTabWidget* pages_ = nullptr;
  QWidget* logicalPage_ = nullptr;
  QListWidget* logical_ = nullptr;
  QListWidget* physical_ = nullptr;
  QLineEdit* target_ = nullptr;
  QLineEdit* map_ = nullptr;
  QSpinBox* retries_ = nullptr;
  QPushButton* start_ = nullptr;
  TMapBar* mapBar_ = nullptr;
  QLabel* mapState_ = nullptr;
  bool mapFollowsTarget_ = true;
  TImageRequest request_;
};

}  // namespace salvex::ui
