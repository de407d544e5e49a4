#include "ui/MainWindow.h"
#include "recovery/SaveEngine.h"
#include "recovery/Wrappers.h"

#include <malloc.h>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "salvex/StringIds.h"
#include "ui/DebugWindow.h"
#include "ui/ByteSource.h"
#include "ui/DriveDialog.h"
#include "ui/DriveInfoDialog.h"
#include "ui/FATSelectDialog.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
#include "ui/FolderBrowser.h"
#include "ui/FolderTree.h"
#include "ui/HelpWindow.h"
#include "ui/Icons.h"
#include "ui/ImageCommand.h"
#include "ui/ImageDialog.h"
#include "ui/SysInfoDialog.h"
#include "ui/LanguageDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/PropertiesDialog.h"
#include "ui/SaveCommand.h"
#include "ui/SaveSummaryDialog.h"
#include "ui/Settings.h"
#include "ui/StatusWindow.h"
#include "ui/Translate.h"
#include "ui/ViewerDialog.h"
#include "ui/WelcomeDialog.h"

namespace salvex::ui {

namespace {

// Shows the wait cursor for a scope, also when the work fails.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

// Marks the open volume as used by a command that lets events run (nested event loops).
struct VolumeInUse {
  explicit VolumeInUse(int& count) : count_(count) { ++count_; }
  ~VolumeInUse() { --count_; }
  int& count_;
};

}  // namespace

TMainWindow::TMainWindow(bool showDebug, QWidget* parent)
    : QMainWindow(parent), host_(this), statusWindow_(new TStatusWindow(this)), status_(statusWindow_) {
  setWindowTitle("Salvex");
  resize(900, 600);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  SetHost(&host_);
  host_.EnableWindow = [this](bool enabled) {
    menuBar()->setEnabled(enabled);
    centralWidget()->setEnabled(enabled);
    for (QToolBar* bar : findChildren<QToolBar*>()) bar->setEnabled(enabled);
  };

  host_.UnitBytes = [this](bool clusters) { return UnitBytes(clusters); };
  statusWindow_->Attach(&status_);

  debug_ = new TDebugWindow(this);
  try {
    auto store = OpenSettings();
    QString error;
    if (!LoadOptions(*store, Options(), error))
      QMessageBox::critical(this, "Salvex", TextWith(txt::SettingsNotRead, {error}));
    ApplyOptions();
    if (showDebug) debug_->ShowAtCorner();
    DebugLog("application started", 1);
    CreateActions();
    CreateWidgets();
    CreateMenus();
    SetBrowseState(1);
  } catch (const std::exception& e) {
    QMessageBox::critical(this, "Salvex",
                          QString("An exception has occured while starting application:\n") + e.what());
  }
  driveDlg_ = new TDriveDlg(this, devices_, drives_, status_);
  driveDlg_->Rescan = [this] { return ScanDevices(); };
}

TMainWindow::~TMainWindow() {
  DebugLog("application closed", 1);
  ForgetDrive();
  SetHost(nullptr);
}

QAction* TMainWindow::NewAction(const char* name, int tag, int hint, void (TMainWindow::*slot)()) {
  auto* action = Tagged(new QAction(Text(tag), this), tag, hint);
  action->setObjectName(name);
  if (slot) connect(action, &QAction::triggered, this, slot);
  actions_[name] = action;
  return action;
}

QAction* TMainWindow::Action(const QString& name) const {
  auto it = actions_.find(name);
  return it == actions_.end() ? nullptr : it->second;
}

void TMainWindow::CreateActions() {
  QStyle* s = style();
  auto* drive = NewAction("MenuDrive", txt::MenuDrive, txt::MenuDriveHint, &TMainWindow::OpenDriveCommand);
  drive->setShortcut(QKeySequence("Ctrl+O"));
  drive->setIcon(StandardIcon(QStyle::SP_DriveHDIcon));
  drive->setProperty(kButtonHint, txt::ButtonDriveHint);
  NewAction("MenuRename", txt::MenuRename, txt::MenuRenameHint, &TMainWindow::RenameCommand)
      ->setShortcut(QKeySequence(Qt::Key_F2));
  NewAction("MenuProperties", txt::MenuProperties, txt::MenuPropertiesHint, &TMainWindow::PropertiesCommand);
  NewAction("MenuViewAsHex", txt::MenuViewAsHex, txt::MenuViewAsHexHint, &TMainWindow::ViewHexCommand);
  NewAction("MenuViewAsText", txt::MenuViewAsText, txt::MenuViewAsTextHint, &TMainWindow::ViewTextCommand);
  auto* save = NewAction("MenuSaveTo", txt::MenuSaveTo, txt::MenuSaveToHint, &TMainWindow::SaveSelection);
  save->setShortcut(QKeySequence("Ctrl+S"));
  save->setIcon(s->standardIcon(QStyle::SP_DialogSaveButton));
  save->setProperty(kButtonHint, txt::ButtonSaveHint);
  auto* find = NewAction("MenuFind", txt::MenuFind, txt::MenuFindHint, &TMainWindow::FindCommand);
  find->setIcon(s->standardIcon(QStyle::SP_FileDialogContentsView));
  find->setProperty(kButtonHint, txt::ButtonFindHint);
  NewAction("MenuOptions", txt::MenuOptions, txt::MenuOptionsHint, &TMainWindow::OptionsCommand);
  NewAction("MenuExit", txt::MenuExit, txt::MenuExitHint, nullptr);
  connect(actions_["MenuExit"], &QAction::triggered, this, &QWidget::close);
  NewAction("MenuSelectAll", txt::MenuSelectAll, txt::MenuSelectAllHint, &TMainWindow::SelectAllCommand)
      ->setShortcut(QKeySequence("Ctrl+A"));
  NewAction("MenuInvertselection", txt::MenuInvertSelection, txt::MenuInvertSelectionHint,
            &TMainWindow::InvertSelectionCommand);
  auto* statusBarItem = NewAction("MenuStatusbar", txt::MenuStatusBar, txt::MenuStatusBarHint, nullptr);
  statusBarItem->setCheckable(true);
  statusBarItem->setChecked(true);
  connect(statusBarItem, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
  auto* styles = new QActionGroup(this);
  const char* styleNames[] = {"MenuLargeIcons", "MenuSmallIcons", "MenuList", "MenuDetails"};
  for (int i = 0; i < 4; ++i) {
    auto* a = NewAction(styleNames[i], txt::MenuLargeIcons + 2 * i, txt::MenuLargeIcons + 1 + 2 * i, nullptr);
    a->setCheckable(true);
    styles->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { SetListStyle(i); });
  }
  actions_["MenuDetails"]->setChecked(true);
  auto arrange = [this](const char* name, int tag, int column) {
    connect(NewAction(name, tag, 0, nullptr), &QAction::triggered, this,
            [this, column] { browser_->SortBy(column, ListModel()->SortDescending()); });
  };
  arrange("MenuArrangebyName", txt::MenuArrangeByName, 0);
  arrange("MenuArangebydate", txt::MenuArrangeByDate, 2);
  arrange("MenuArrangebySize", txt::MenuArrangeBySize, 1);
  arrange("MenuArrangebytype", txt::MenuArrangeByType, 5);
  connect(NewAction("MenuArrangeDescendingOrder", txt::MenuDescending, 0, nullptr), &QAction::triggered, this,
          [this] { browser_->SortBy(ListModel()->SortColumn(), true); });
  connect(NewAction("MenuArrangeAscendingOrder", txt::MenuAscending, 0, nullptr), &QAction::triggered, this,
          [this] { browser_->SortBy(ListModel()->SortColumn(), false); });
  NewAction("MenuDrvInfo", txt::MenuDriveInfo, txt::MenuDriveInfoHint, &TMainWindow::DriveInfoCommand);
  NewAction("MenuSysInfo", txt::MenuSysInfo, txt::MenuSysInfoHint, &TMainWindow::SysInfoCommand);
  auto* lost = NewAction("MenuFindLostData", txt::MenuFindLostData, txt::MenuFindLostDataHint,
                         &TMainWindow::FindLostDataCommand);
  lost->setIcon(s->standardIcon(QStyle::SP_BrowserReload));
  lost->setProperty(kButtonHint, txt::ButtonFindLostDataHint);
  NewAction("MenuCreateImage", txt::MenuCreateImage, txt::MenuCreateImageHint, &TMainWindow::CreateImageCommand);
  auto* help = NewAction("MenuHelpTopic", txt::MenuHelpTopics, txt::MenuHelpTopicsHint, &TMainWindow::HelpCommand);
  help->setShortcut(QKeySequence(Qt::Key_F1));
  help->setIcon(s->standardIcon(QStyle::SP_DialogHelpButton));
  help->setProperty(kButtonHint, txt::ButtonHelpHint);
  NewAction("MenuHomepage", txt::MenuHomePage, txt::MenuHomePageHint, &TMainWindow::NotYetAvailable);
  NewAction("MenuAbout", txt::MenuAbout, txt::MenuAboutHint, &TMainWindow::AboutCommand);
  auto* parentDir = NewAction("ButtonParentDir", txt::ButtonParentFolder, 0, &TMainWindow::ParentDirCommand);
  parentDir->setIcon(s->standardIcon(QStyle::SP_FileDialogToParent));
  parentDir->setProperty(kButtonHint, txt::ButtonParentFolder);
  // The list's context menu: own captions, the same commands.
  auto popupItem = [this](const char* name, int tag, int hint, const char* command) {
    auto* a = NewAction(name, tag, hint, nullptr);
    connect(a, &QAction::triggered, actions_[command], &QAction::trigger);
  };
  popupItem("PopupMenuSaveFileTo", txt::PopupSaveTo, txt::PopupSaveToHint, "MenuSaveTo");
  popupItem("PopupMenuProperties", txt::PopupProperties, txt::PopupPropertiesHint, "MenuProperties");
  popupItem("PopupMenuRename", txt::PopupRename, txt::PopupRenameHint, "MenuRename");
  popupItem("PopupMenuViewAsHex", txt::PopupViewAsHex, txt::PopupViewAsHexHint, "MenuViewAsHex");
  popupItem("PopupMenuViewAsText", txt::PopupViewAsText, txt::PopupViewAsTextHint, "MenuViewAsText");
}

void TMainWindow::CreateMenus() {
  auto menu = [this](QMenu* parent, int tag, std::initializer_list<const char*> items) {
    QMenu* m = parent ? parent->addMenu(Text(tag)) : menuBar()->addMenu(Text(tag));
    Tagged(m, tag);
    for (const char* item : items) {
      if (std::string_view(item) == "-")
        m->addSeparator();
      else if (item[0])
        m->addAction(actions_[item]);
    }
    return m;
  };
  QMenu* object = menu(nullptr, txt::MenuObject, {"MenuDrive", "-", "MenuRename", "MenuProperties"});
  menu(object, txt::MenuViewAs, {"MenuViewAsHex", "MenuViewAsText"});
  for (const char* item : {"MenuSaveTo", "-", "MenuFind", "-", "MenuOptions", "-", "MenuExit"}) {
    if (std::string_view(item) == "-")
      object->addSeparator();
    else
      object->addAction(actions_[item]);
  }
  menu(nullptr, txt::MenuEdit, {"MenuSelectAll", "MenuInvertselection"});
  QMenu* view = menu(nullptr, txt::MenuView,
                     {"MenuStatusbar", "-", "MenuLargeIcons", "MenuSmallIcons", "MenuList", "MenuDetails", "-"});
  menu(view, txt::MenuArrange,
       {"MenuArrangebyName", "MenuArangebydate", "MenuArrangebySize", "MenuArrangebytype", "-",
        "MenuArrangeDescendingOrder", "MenuArrangeAscendingOrder"});
  menu(nullptr, txt::MenuInfo, {"MenuDrvInfo", "-", "MenuSysInfo"});
  menu(nullptr, txt::MenuTools, {"MenuFindLostData", "-", "MenuCreateImage"});
  menu(nullptr, txt::MenuHelp, {"MenuHelpTopic", "-", "MenuHomepage", "-", "MenuAbout"});

  popup_ = new QMenu(this);
  for (const char* item : {"PopupMenuSaveFileTo", "-", "PopupMenuProperties", "PopupMenuRename", "-",
                           "PopupMenuViewAsHex", "PopupMenuViewAsText"}) {
    if (std::string_view(item) == "-")
      popup_->addSeparator();
    else
      popup_->addAction(actions_[item]);
  }

  auto* buttons = new QToolBar(this);
  buttons->setObjectName("Buttons");
  buttons->setMovable(false);
  buttons->setIconSize(QSize(32, 32));
  buttons->setToolButtonStyle(Qt::ToolButtonIconOnly);
  for (const char* item :
       {"MenuDrive", "MenuSaveTo", "MenuFind", "MenuFindLostData", "ButtonParentDir", "MenuHelpTopic"})
    buttons->addAction(actions_[item]);
  addToolBar(Qt::LeftToolBarArea, buttons);
}

void TMainWindow::CreateWidgets() {
  pages_ = new QStackedWidget(this);
  dummyPage_ = new QWidget(pages_);
  auto* welcome = new QLabel(dummyPage_);
  welcome->setObjectName("DummyText");
  welcome->setAlignment(Qt::AlignCenter);
  welcome->setEnabled(false);
  Tagged(welcome, txt::MenuDriveHint);
  (new QVBoxLayout(dummyPage_))->addWidget(welcome);

  browser_ = new TFolderBrowser(pages_);
  browser_->FolderShown = [this] { UpdateStatus(); };
  browser_->SelectionChanged = [this] {
    UpdateCommands();
    UpdateStatus();
  };
  browser_->ContextMenu = [this](const QPoint& at) { popup_->popup(at); };
  pages_->addWidget(dummyPage_);
  pages_->addWidget(browser_);
  setCentralWidget(pages_);

  for (int i = 0; i < 3; ++i) {
    panels_[i] = new QLabel(this);
    panels_[i]->setTextFormat(Qt::PlainText);
  }
  statusBar()->addWidget(panels_[0], 1);
  // Hints cover only the first panel.
  statusBar()->addPermanentWidget(panels_[1]);
  statusBar()->addPermanentWidget(panels_[2]);
  panels_[1]->setMinimumWidth(120);
  panels_[2]->setMinimumWidth(150);

  memoryTimer_ = new QTimer(this);
  connect(memoryTimer_, &QTimer::timeout, this, &TMainWindow::ShowMemory);
  memoryTimer_->start(3000);
}

void TMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (activated_) return;
  activated_ = true;
  QTimer::singleShot(0, this, &TMainWindow::FirstActivation);
}

void TMainWindow::FirstActivation() {
  int base = PresetLanguage;
  if (!base) base = LoadLanguage(*OpenSettings());
  if (!base) {
    TLanguageDialog dialog(this);
    dialog.Execute();
    base = dialog.Base();
    // Remembered, so that the next start does not ask again; a store that cannot be written
    // only means the question comes back.
    QString error;
    if (base) SaveLanguage(*OpenSettings(), base, error);
  }
  LanguageBase = base;
  ApplyLanguageToQt();
  TranslateApplication();
  browser_->TreeCaption()->setText(Text(txt::FoldersPane));
  ShowMemory();
  UpdateStatus();
  if (PresetDrive >= 0) {
    devicesPending_ = false;
    if (ScanDevices() && OpenDrive(PresetDrive, -1, true) && SpecialNodes().Root) SelectAndShow(SpecialNodes().Root);
  } else {
    TWelcomeDialog welcome(this);
    welcome.Run();
  }
  activateWindow();
  if (AfterActivation) AfterActivation();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  memoryTimer_->stop();
  QMainWindow::closeEvent(event);
}

void TMainWindow::ApplyOptions() {
  blockcache::SetEnabled(Options().EnableCache);
  if (browser_) browser_->SetListFont(FileListFont(Options()));
}

void TMainWindow::SetBrowseState(int state) {
  browseState_ = state;
  pages_->setCurrentWidget(state == 2 ? static_cast<QWidget*>(browser_) : dummyPage_);
  UpdateCommands();
}

void TMainWindow::UpdateCommands() {
  TCommandInput in;
  in.DriveOpen = browseState_ == 2 && currentDrive_;
  in.SelectedRows = browser_ ? ListModel()->SelectedRows().size() : 0;
  in.SingleIsFolder = browser_ && AsFolder(browser_->SingleSelected()) != nullptr;
  TCustomDirectory* folder = browser_ ? browser_->CurrentFolder() : nullptr;
  in.CurrentHasParent = folder && folder->Parent;
  const TCommandState s = CommandState(in);
  auto set = [this](std::initializer_list<const char*> names, bool on) {
    for (const char* name : names)
      if (QAction* a = Action(name)) a->setEnabled(on);
  };
  set({"MenuSelectAll"}, s.SelectAll);
  set({"MenuInvertselection"}, s.InvertSelection);
  set({"MenuFind"}, s.Find);
  set({"MenuFindLostData"}, s.FindLostData);
  set({"MenuDrvInfo"}, s.DriveInfo);
  set({"MenuSaveTo", "PopupMenuSaveFileTo"}, s.SaveTo);
  set({"MenuRename", "PopupMenuRename"}, s.Rename);
  set({"MenuProperties", "PopupMenuProperties"}, s.Properties);
  set({"MenuViewAsHex", "MenuViewAsText", "PopupMenuViewAsHex", "PopupMenuViewAsText"}, s.ViewAs);
  set({"ButtonParentDir"}, s.ParentDir);
}

void TMainWindow::UpdateStatus() {
  TFileListModel* model = ListModel();
  if (model->UpdateDepth() > 0) return;
  TCustomDirectory* folder = browser_->CurrentFolder();
  browser_->UpdateCaption();
  const auto rows = model->SelectedRows();
  uint64_t bytes = 0;
  if (!rows.empty()) {
    for (size_t row : rows)
      if (auto* f = AsFile(model->ObjectAt(int(row)))) bytes += f->Size;
    panels_[0]->setText(QString::fromStdString(TextF(txt::ItemsSelected, {rows.size()})));
  } else if (folder) {
    if (folder->Children)
      for (const auto& child : *folder->Children)
        if (auto* f = child->AsFile()) bytes += f->Size;
    panels_[0]->setText(QString::fromStdString(TextF(txt::ItemCount, {size_t(model->rowCount())})));
  } else {
    // The window's own hint; a status tip on the window would cover the counts of the list.
    panels_[0]->setText(Text(txt::StatusPressF1));
  }
  panels_[1]->setText(rows.empty() && !folder ? QString() : QString("%1 KB").arg(bytes >> 10));
  UpdateCommands();
}

void TMainWindow::ShowMemory() {
  const struct mallinfo2 info = mallinfo2();
  // Grouped as the chosen language groups digits (a text fills %d as it is).
  const std::string bytes = QLocale().toString(qulonglong(info.uordblks)).toStdString();
  panels_[2]->setText(QString::fromStdString(TextF(txt::MemoryInUse, {bytes})));
}

bool TMainWindow::ScanDevices() {
  ForgetDrive();
  devices_.Clear();
  drives_.Clear();
  status_.Setup(LoadText(txt::ScanningDevices), LoadText(txt::ScanPleaseWait), "", "", "", false, false);
  status_.Show();
  QApplication::processEvents();
  devices_.DetectDevices(&status_);
  if (!status_.Cancelled) {
    for (size_t i = 0; i < devices_.Count(); ++i) {
      TDevice* device = devices_.Items(i);
      if (device->DriveType == DriveCDROM) continue;
      status_.UpdateTexts(LoadText(txt::ScanningDrives), TextF(txt::ScanOnDevice, {device->Name}),
                          LoadText(txt::ScanPleaseWait));
      QApplication::processEvents();
      if (status_.Cancelled) break;
      const size_t before = drives_.Count();
      drives_.DetectDrives(*device);
      // What mounting found is told once, as the volumes are found.
      for (size_t k = before; k < drives_.Count(); ++k)
        for (const TMountNote& note : drives_.Items(k)->MountNotes)
          if (!note.Message.empty()) Host().MessageBox(note.Message, note.Caption, TMsgButtons::Ok, note.Icon);
    }
  }
  const bool done = !status_.Cancelled;
  status_.Hide();
  return done;
}

void TMainWindow::OpenDriveCommand() {
  // The volumes are not destroyed under a command that waits in an event loop of its own: a
  // waiting or running find ends first, and the drive dialog opens once it has returned.
  if (volumeInUse_ > 0) {
    if (findRunning_) {
      openPending_ = true;
      static_cast<TFindDlg&>(host_.FindDialog()).Cancel();
    } else {
      QApplication::beep();
    }
    return;
  }
  if (devicesPending_) {
    devicesPending_ = false;
    if (!ScanDevices()) return;
  }
  if (!driveDlg_->Execute()) return;
  OpenDrive(driveDlg_->DriveIndex, driveDlg_->FATChoice, driveDlg_->SkipBadClusters);
}

void TMainWindow::ForgetDrive() {
  if (browser_) browser_->Forget();
  currentDrive_ = nullptr;
  currentDevice_ = nullptr;
  if (pages_) SetBrowseState(1);
  if (browser_) UpdateStatus();
}

bool TMainWindow::OpenDrive(int index, int fatChoice, bool skipBadClusters) {
  if (index < 0 || size_t(index) >= drives_.Count()) return false;
  TCustomDrive* drive = drives_.Items(size_t(index));
  // A volume that did not mount has no folders to show.
  if (!drive->HasSpecialFolders()) {
    QString why = Text(txt::VolumeUnreadable);
    if (const TMountNote* failure = drive->MountFailure())
      why = TextWith(txt::CannotOpenVolume, {QString::fromStdString(failure->Error.Text())});
    QMessageBox::warning(this, "Salvex", why);
    return false;
  }
  ForgetDrive();
  currentDrive_ = drive;
  currentDevice_ = drive->Device;
  drive->Progress = &status_;
  if (drive->ChoosableFATs()) {
    if (fatChoice >= 0) drive->SetFATChoice(fatChoice);
    drive->SetSkipBadClusters(skipBadClusters);
  }
  browser_->TreeCaption()->setText(Text(txt::FoldersPane));
  DebugLog(Format("drive selected: %s", {drive->Name}), 1);
  SetBrowseState(2);
  browser_->ShowVolume(*drive, status_);
  UpdateStatus();
  return true;
}

uint64_t TMainWindow::UnitBytes(bool clusters) const {
  if (!currentDrive_) return 512;
  const uint64_t sector = currentDrive_->BytesPerSector();
  return clusters ? std::max<uint64_t>(currentDrive_->AllocationUnit(), sector) : sector;
}

void TMainWindow::ShowFolder(TTreeNode* node) { browser_->ShowFolder(node); }

void TMainWindow::SelectAndShow(TTreeNode* node) { browser_->SelectAndShow(node); }

void TMainWindow::ParentDirCommand() {
  browser_->ParentDir();
}

void TMainWindow::SaveSelection() {
  const auto rows = ListModel()->SelectedRows();
  if (rows.empty()) return;
  TItem* first = ListModel()->ObjectAt(int(rows.front()));
  TCustomDrive* drive = nullptr;
  if (auto* f = AsFile(first)) drive = f->Drive;
  if (auto* d = AsFolder(first)) drive = d->Drive;
  if (!drive) return;
  drive->Progress = &status_;
  TSaveRun run;
  {
    WaitCursor wait;
    VolumeInUse use(volumeInUse_);
    if (!RunSaveCommand(this, *drive, ListModel()->Source(), SelectedObjects(*ListModel()), &status_, run)) return;
  }
  TSaveSummaryDialog summary(this, run);
  summary.exec();
}

void TMainWindow::FindLostDataCommand() {
  if (!currentDrive_) return;
  bool found = false;
  {
    WaitCursor wait;
    VolumeInUse use(volumeInUse_);
    found = currentDrive_->FindLostData(&status_);
  }
  if (!found || !SpecialNodes().Lost) return;
  browser_->ShowRebuilt(SpecialNodes().Lost, *currentDrive_->LostFolder);
}

void TMainWindow::FindCommand() {
  if (!currentDrive_) return;
  bool found = false;
  {
    VolumeInUse use(volumeInUse_);
    findRunning_ = true;
    found = FindFiles(*currentDrive_);
    findRunning_ = false;
  }
  if (openPending_) {
    openPending_ = false;
    QTimer::singleShot(0, this, &TMainWindow::OpenDriveCommand);
    return;
  }
  if (!found || !SpecialNodes().Search) return;
  browser_->ShowRebuilt(SpecialNodes().Search, *currentDrive_->SearchFolder);
}

void TMainWindow::ViewCommand(bool hex) {
  auto* file = AsFile(browser_->SingleSelected());
  if (!file || !file->Drive) return;
  const bool deletedView = browser_->DeletedMode(browser_->CurrentNode());
  int fatChoice = file->Drive->DefaultReadChoice(deletedView);
  if (file->Drive->ChoosableFATs()) {
    // Which FAT the clusters follow is the user's call: a deleted file's chain is usually gone.
    if (!fatSelect_) fatSelect_ = new TFATSelectDialog(this);
    if (!fatSelect_->Execute(*file->Drive, deletedView)) return;
    fatChoice = fatSelect_->ItemIndex();
    if (file->Size == 0) return;
  }
  std::unique_ptr<TByteSource> source = OpenByteSource(*file, fatChoice);
  if (!source) return;
  if (!viewer_) viewer_ = new TViewerDialog(this);
  const QString name = QString::fromStdString(DisplayName(file->Name));
  if (hex)
    viewer_->ShowHex(std::move(source), name);
  else
    viewer_->ShowText(std::move(source), name);
}

void TMainWindow::PropertiesCommand() {
  TFileListModel* model = ListModel();
  const auto rows = model->SelectedRows();
  if (rows.size() != 1) return;
  const int row = int(rows.front());
  TItem* object = model->ObjectAt(row);
  TItemFields fields;
  if (!object || !ReadItemFields(*object, fields)) return;
  TPropertiesDialog dialog(this);
  dialog.Name = fields.Name;
  dialog.Cluster = fields.Cluster;
  dialog.Size = fields.Size;
  dialog.ClusterEnabled = fields.ClusterEnabled;
  // The listing's other columns, and for files found by their content where the size came from.
  for (int c = 1; c < model->columnCount(); ++c) {
    const QString value = model->data(model->index(row, c), Qt::DisplayRole).toString();
    if (!value.isEmpty())
      dialog.Facts.emplace_back(
          TextWith(txt::Label, {model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()}), value);
  }
  for (auto& fact : ItemFacts(*object)) dialog.Facts.push_back(std::move(fact));
  if (!dialog.Run()) return;
  fields.Name = dialog.Name;
  fields.Cluster = dialog.Cluster;
  fields.Size = dialog.Size;
  WriteItemFields(*object, fields);
  model->Refresh();
}

void TMainWindow::SysInfoCommand() {
  TSysInfoDialog dialog(this);
  dialog.Run();
}

void TMainWindow::CreateImageCommand() {
  TImageDialog dialog(this, devices_, drives_);
  TImageRequest request;
  if (!dialog.Execute(request)) return;
  const TImagingOutcome outcome = RunImaging(request, status_, statusWindow_);
  QMessageBox::information(this, Text(txt::CreateDiskImage), ImagingSummary(request, outcome));
}

void TMainWindow::DriveInfoCommand() {
  if (!currentDevice_) return;
  TDriveInfoDialog dialog(this);
  dialog.Run(*currentDevice_);
}

void TMainWindow::RenameCommand() {
  browser_->Rename();
}

void TMainWindow::SelectAllCommand() {
  browser_->SelectAll();
}

void TMainWindow::InvertSelectionCommand() {
  browser_->InvertSelection();
}

void TMainWindow::OptionsCommand() {
  TOptionsDialog dialog(this, Options());
  dialog.Store = [this](const TOptions& options) {
    auto store = OpenSettings();
    QString error;
    if (SaveOptions(*store, options, error)) return true;
    QMessageBox::critical(this, "Salvex", TextWith(txt::SettingsNotWritten, {error}));
    return false;
  };
  if (!dialog.Edit()) return;
  ApplyOptions();
  if (browser_->CurrentNode()) ShowFolder(browser_->CurrentNode());
}

void TMainWindow::SetListStyle(int style) {
  browser_->SetListStyle(style);
}

void TMainWindow::HelpCommand() {
  if (!help_) help_ = new THelpWindow(this);
  help_->Present();
}

void TMainWindow::NotYetAvailable() {
  QMessageBox::information(this, "Salvex", tr("This command is not yet available."));
}

void TMainWindow::AboutCommand() {
  QMessageBox::about(
      this, Text(txt::AboutTitle),
      QString("Salvex %1\n\n%2\n\n%3").arg(SALVEX_VERSION, Text(txt::AboutPurpose), Text(txt::AboutReadOnly)));
}

}  // namespace salvex::ui
