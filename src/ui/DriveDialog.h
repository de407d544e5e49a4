#pragma once
#include <QDialog>
#include <functional>
#include <vector>

#include "devices/LostDrives.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;

namespace salvex {
class TDeviceList;
class TDriveList;
class TStatusDialog;
class TCustomDrive;
class TDevice;
}  // namespace salvex

namespace salvex::ui {

class TPreviewDialog;

// The drive selection: the logical page lists every volume (lost ones included), the physical
// page every device; from either the lost-drive search runs on a device.
class TDriveDlg : public QDialog {
  Q_OBJECT
 public:
  TDriveDlg(QWidget* parent, TDeviceList& devices, TDriveList& drives, TStatusDialog& status);

  // Runs modally; true with DriveIndex, FATChoice and SkipBadClusters set when a logical drive
  // was chosen.
  bool Execute();
  void ShowPhysicalPage();
  // Rebuilds both lists from the device and drive lists.
  void FillLists();
  // The physical page's list (a row per device) and the logical page's (a row per volume, with its
  // device), for every dialog that lets the user pick one.
  static void FillDeviceList(QListWidget* list, TDeviceList& devices);
  static void FillDriveList(QListWidget* list, TDeviceList& devices, TDriveList& drives);
  void UpdateButtons();
  // What a lost-drive search that ended short of the disk's last sector `end` left to offer: the
  // rest of the disk after it, or, when it found nothing, every sector it did not search. Empty
  // after an abort or a cancel.
  static std::vector<TSectorRange> UnsearchedRanges(const TLostDriveSearch& search, uint64_t end, bool found);

  int DriveIndex = -1;
  int FATChoice = 0;
  bool SkipBadClusters = true;
  // The main window's device scan (rescan); answers false when cancelled.
  std::function<bool()> Rescan;

  QTabWidget* Pages() const { return pages_; }
  QListWidget* LogicalList() const { return logical_; }
  QListWidget* PhysicalList() const { return physical_; }
  QComboBox* FATBox() const { return fat_; }
  QPushButton* FindButton() const { return findButton_; }
  QPushButton* OkButton() const { return okButton_; }
  QPushButton* RescanButton() const { return rescanButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }
  QPushButton* PreviewButton() const { return previewButton_; }
  TPreviewDialog* Preview() const { return preview_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TCustomDrive* SelectedDrive() const;
  TDevice* SearchDevice() const;
  void FindClicked();
  void RescanClicked();
  void AddImageClicked();
  void PreviewClicked();
  void OkClicked();

  TDeviceList& devices_;
  TDriveList& drives_;
  TStatusDialog& status_;
  TPreviewDialog* preview_ = nullptr;
  QTabWidget* pages_ = nullptr;
  QWidget* logicalPage_ = nullptr;
  QWidget* physicalPage_ = nullptr;
  QListWidget* logical_ = nullptr;
  QListWidget* physical_ = nullptr;
  QPushButton* previewButton_ = nullptr;
  QPushButton* findButton_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* rescanButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QLabel* fatLabel_ = nullptr;
  QComboBox* fat_ = nullptr;
  QCheckBox* skip_ = nullptr;
  bool filling_ = false;
};

}  // namespace salvex::ui
