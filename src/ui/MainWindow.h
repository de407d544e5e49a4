#pragma once
#include <QMainWindow>
#include <map>

#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/StatusDialog.h"
#include "ui/Commands.h"
#include "ui/FolderBrowser.h"
#include "ui/QtHost.h"

class QItemSelectionModel;
class QLabel;
class QListView;
class QMenu;
class QStackedWidget;
class QTimer;
class QTreeView;
class QTreeWidgetItem;

namespace salvex::ui {

class TDebugWindow;
class TDriveDlg;
class TFATSelectDialog;
class TViewerDialog;
class TFileListModel;
class TFolderBrowser;
class TFolderTree;
class THelpWindow;
class TStatusWindow;

// The program's one main window: opens a volume, shows its folder tree beside the virtual file
// list, and starts every command.
class TMainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit TMainWindow(bool showDebug, QWidget* parent = nullptr);
  ~TMainWindow() override;

  // Language base used at the first activation instead of asking (0 = ask).
  int PresetLanguage = 0;
  // Volume opened at the first activation instead of running the drive dialog (-1 = ask).
  int PresetDrive = -1;
  // Called once the first activation is done (screenshots, tests).
  std::function<void()> AfterActivation;

  // Open a drive: the device scan the first time, the drive dialog, then the volume.
  void OpenDriveCommand();
  // Scans devices and their volumes anew; false when cancelled.
  bool ScanDevices();
  // Opens volume `index` of the drive list; false when it cannot be shown.
  bool OpenDrive(int index, int fatChoice, bool skipBadClusters);
  // Fills the list from the folder of node (at once, without the selection pause).
  void ShowFolder(TTreeNode* node);
  // Chooses node in the tree and shows its folder.
  void SelectAndShow(TTreeNode* node);
  void SaveSelection();
  void FindLostDataCommand();
  // Tools > Create disk image: the dialog, then the run with its progress window.
  void CreateImageCommand();
  void UpdateCommands();
  void UpdateStatus();

  TFolderBrowser* Browser() const { return browser_; }
  TFolderTree* Tree() const { return browser_->Tree(); }
  TFileListModel* ListModel() const { return browser_->ListModel(); }
  QItemSelectionModel* Selection() const { return browser_->Selection(); }
  const TSpecialNodes& SpecialNodes() const { return browser_->SpecialNodes(); }
  TDriveDlg* DriveDialog() const { return driveDlg_; }
  // Created at the first view command.
  TFATSelectDialog* FATSelect() const { return fatSelect_; }
  TViewerDialog* Viewer() const { return viewer_; }
  // Created at the first help command; one per main window.
  THelpWindow* HelpWindow() const { return help_; }
  TStatusDialog& Status() { return status_; }
  TStatusWindow* StatusWindow() const { return statusWindow_; }
  TCustomDrive* CurrentDrive() const { return currentDrive_; }
  TQtHost& QtHost() { return host_; }
  TDriveList& Drives() { return drives_; }
  TDeviceList& Devices() { return devices_; }
  QAction* Action(const QString& name) const;
  QLabel* ListCaption() const { return browser_->ListCaption(); }
  QTreeView* DetailsView() const { return browser_->DetailsView(); }
  QLabel* Panel(int i) const { return panels_[i]; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateWidgets();
  QAction* NewAction(const char* name, int tag, int hint, void (TMainWindow::*slot)());
  void FirstActivation();
  void SetBrowseState(int state);
  void ApplyOptions();
  void ForgetDrive();
  uint64_t UnitBytes(bool clusters) const;

  void ParentDirCommand();
  void RenameCommand();
  void SelectAllCommand();
  void InvertSelectionCommand();
  void FindCommand();
  void OptionsCommand();
  void ViewHexCommand() { ViewCommand(true); }
  void ViewTextCommand() { ViewCommand(false); }
  void ViewCommand(bool hex);
  void PropertiesCommand();
  void DriveInfoCommand();
  void SysInfoCommand();
  void HelpCommand();
  void NotYetAvailable();
  void AboutCommand();
  void SetListStyle(int style);
  void ShowMemory();

  TQtHost host_;
  TDebugWindow* debug_ = nullptr;
  TDeviceList devices_;
  TDriveList drives_;
  TStatusWindow* statusWindow_ = nullptr;
  TStatusDialog status_;
  TCustomDrive* currentDrive_ = nullptr;
  TDevice* currentDevice_ = nullptr;
  int browseState_ = 1;
  bool activated_ = false;
  bool devicesPending_ = true;
  int volumeInUse_ = 0;       // commands running that hold the open volume
  bool findRunning_ = false;
  bool openPending_ = false;  // Ctrl+O during a find: open the drive dialog after it

  QStackedWidget* pages_ = nullptr;
  QWidget* dummyPage_ = nullptr;
  TFolderBrowser* browser_ = nullptr;
  QLabel* panels_[3] = {};
  QTimer* memoryTimer_ = nullptr;
  QMenu* popup_ = nullptr;
  TDriveDlg* driveDlg_ = nullptr;
  TFATSelectDialog* fatSelect_ = nullptr;
  TViewerDialog* viewer_ = nullptr;
  THelpWindow* help_ = nullptr;
  std::map<QString, QAction*> actions_;
};

}  // namespace salvex::ui
