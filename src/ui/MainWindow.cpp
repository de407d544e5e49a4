#include "recovery/SaveEngine.h"
#include "recovery/Wrappers.h"
#include "ui/MainWindow.h"

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
#include "fat/FATdrive.h"
#include "ntfs/NTFSdrive.h"
#include "ui/DebugWindow.h"
#include "ui/ByteSource.h"
#include "ui/DriveDialog.h"
#include "ui/DriveInfoDialog.h"
#include "ui/FATSelectDialog.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
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

// Keeps list data requests away from a folder whose children change.
struct ListUpdate {
  explicit ListUpdate(TFileListModel& m) : model(m) { model.BeginListUpdate(); }
  ~ListUpdate() { model.EndListUpdate(); }
  TFileListModel& model;
};

}  // namespace

TMainForm::TMainForm(bool showDebug, QWidget* parent)
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

  debug_ = new TDebugBox(this);
  try {
    auto store = OpenSettings();
    QString error;
    if (!LoadOptions(*store, Options(), error))
      QMessageBox::critical(this, "Salvex", TextWith(848, {error}));
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

TMainForm::~TMainForm() {
  DebugLog("application closed", 1);
  ForgetDrive();
  SetHost(nullptr);
}

QAction* TMainForm::NewAction(const char* name, int tag, int hint, void (TMainForm::*slot)()) {
  auto* action = Tagged(new QAction(Text(tag), this), tag, hint);
  action->setObjectName(name);
  if (slot) connect(action, &QAction::triggered, this, slot);
  actions_[name] = action;
  return action;
}

QAction* TMainForm::Action(const QString& name) const {
  auto it = actions_.find(name);
  return it == actions_.end() ? nullptr : it->second;
}

void TMainForm::CreateActions() {
  QStyle* s = style();
  auto* drive = NewAction("MenuDrive", 51, 52, &TMainForm::OpenDriveCommand);
  drive->setShortcut(QKeySequence("Ctrl+O"));
  drive->setIcon(StandardIcon(QStyle::SP_DriveHDIcon));
  drive->setProperty(kButtonHint, "140");
  NewAction("MenuRename", 53, 54, &TMainForm::RenameCommand)->setShortcut(QKeySequence(Qt::Key_F2));
  NewAction("MenuProperties", 55, 56, &TMainForm::PropertiesCommand);
  NewAction("MenuViewAsHex", 58, 59, &TMainForm::ViewHexCommand);
  NewAction("MenuViewAsText", 60, 61, &TMainForm::ViewTextCommand);
  auto* save = NewAction("MenuSaveTo", 62, 63, &TMainForm::SaveSelection);
  save->setShortcut(QKeySequence("Ctrl+S"));
  save->setIcon(s->standardIcon(QStyle::SP_DialogSaveButton));
  save->setProperty(kButtonHint, "141");
  auto* find = NewAction("MenuFind", 64, 65, &TMainForm::FindCommand);
  find->setIcon(s->standardIcon(QStyle::SP_FileDialogContentsView));
  find->setProperty(kButtonHint, "142");
  NewAction("MenuOptions", 66, 67, &TMainForm::OptionsCommand);
  NewAction("MenuExit", 68, 69, nullptr);
  connect(actions_["MenuExit"], &QAction::triggered, this, &QWidget::close);
  NewAction("MenuSelectAll", 71, 72, &TMainForm::SelectAllCommand)->setShortcut(QKeySequence("Ctrl+A"));
  NewAction("MenuInvertselection", 73, 74, &TMainForm::InvertSelectionCommand);
  auto* statusBarItem = NewAction("MenuStatusbar", 78, 79, nullptr);
  statusBarItem->setCheckable(true);
  statusBarItem->setChecked(true);
  connect(statusBarItem, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
  auto* styles = new QActionGroup(this);
  const char* styleNames[] = {"MenuLargeIcons", "MenuSmallIcons", "MenuList", "MenuDetails"};
  for (int i = 0; i < 4; ++i) {
    auto* a = NewAction(styleNames[i], 80 + 2 * i, 81 + 2 * i, nullptr);
    a->setCheckable(true);
    styles->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] { SetListStyle(i); });
  }
  actions_["MenuDetails"]->setChecked(true);
  auto arrange = [this](const char* name, int tag, int column) {
    connect(NewAction(name, tag, 0, nullptr), &QAction::triggered, this,
            [this, column] { SortBy(column, model_->SortDescending()); });
  };
  arrange("MenuArrangebyName", 89, 0);
  arrange("MenuArangebydate", 90, 2);
  arrange("MenuArrangebySize", 91, 1);
  arrange("MenuArrangebytype", 92, 5);
  connect(NewAction("MenuArrangeDescendingOrder", 93, 0, nullptr), &QAction::triggered, this,
          [this] { SortBy(model_->SortColumn(), true); });
  connect(NewAction("MenuArrangeAscendingOrder", 94, 0, nullptr), &QAction::triggered, this,
          [this] { SortBy(model_->SortColumn(), false); });
  NewAction("MenuDrvInfo", 96, 97, &TMainForm::DriveInfoCommand);
  NewAction("MenuSysInfo", 98, 99, &TMainForm::SysInfoCommand);
  auto* lost = NewAction("MenuFindLostData", 101, 102, &TMainForm::FindLostDataCommand);
  lost->setIcon(s->standardIcon(QStyle::SP_BrowserReload));
  lost->setProperty(kButtonHint, "143");
  NewAction("MenuCreateImage", 951, 952, &TMainForm::CreateImageCommand);
  auto* help = NewAction("MenuHelpTopic", 104, 105, &TMainForm::HelpCommand);
  help->setShortcut(QKeySequence(Qt::Key_F1));
  help->setIcon(s->standardIcon(QStyle::SP_DialogHelpButton));
  help->setProperty(kButtonHint, "150");
  NewAction("MenuHomepage", 106, 107, &TMainForm::NotYetAvailable);
  NewAction("MenuAbout", 108, 109, &TMainForm::AboutCommand);
  auto* parentDir = NewAction("ButtonParentDir", 145, 0, &TMainForm::ParentDirCommand);
  parentDir->setIcon(s->standardIcon(QStyle::SP_FileDialogToParent));
  parentDir->setProperty(kButtonHint, "145");
  // The list's context menu: own captions, the same commands.
  auto popupItem = [this](const char* name, int tag, int hint, const char* command) {
    auto* a = NewAction(name, tag, hint, nullptr);
    connect(a, &QAction::triggered, actions_[command], &QAction::trigger);
  };
  popupItem("PopupMenuSaveFileTo", 110, 111, "MenuSaveTo");
  popupItem("PopupMenuProperties", 112, 113, "MenuProperties");
  popupItem("PopupMenuRename", 114, 115, "MenuRename");
  popupItem("PopupMenuViewAsHex", 116, 117, "MenuViewAsHex");
  popupItem("PopupMenuViewAsText", 118, 119, "MenuViewAsText");
}

void TMainForm::CreateMenus() {
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
  QMenu* object = menu(nullptr, 50, {"MenuDrive", "-", "MenuRename", "MenuProperties"});
  menu(object, 57, {"MenuViewAsHex", "MenuViewAsText"});
  for (const char* item : {"MenuSaveTo", "-", "MenuFind", "-", "MenuOptions", "-", "MenuExit"}) {
    if (std::string_view(item) == "-")
      object->addSeparator();
    else
      object->addAction(actions_[item]);
  }
  menu(nullptr, 70, {"MenuSelectAll", "MenuInvertselection"});
  QMenu* view = menu(nullptr, 75, {"MenuStatusbar", "-", "MenuLargeIcons", "MenuSmallIcons", "MenuList",
                                   "MenuDetails", "-"});
  menu(view, 88, {"MenuArrangebyName", "MenuArangebydate", "MenuArrangebySize", "MenuArrangebytype", "-",
                  "MenuArrangeDescendingOrder", "MenuArrangeAscendingOrder"});
  menu(nullptr, 95, {"MenuDrvInfo", "-", "MenuSysInfo"});
  menu(nullptr, 100, {"MenuFindLostData", "-", "MenuCreateImage"});
  menu(nullptr, 103, {"MenuHelpTopic", "-", "MenuHomepage", "-", "MenuAbout"});

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

void TMainForm::CreateWidgets() {
  pages_ = new QStackedWidget(this);
  dummyPage_ = new QWidget(pages_);
  auto* welcome = new QLabel(dummyPage_);
  welcome->setObjectName("DummyText");
  welcome->setAlignment(Qt::AlignCenter);
  welcome->setEnabled(false);
  Tagged(welcome, 52);
  (new QVBoxLayout(dummyPage_))->addWidget(welcome);

  browserPage_ = new QWidget(pages_);
  auto* splitter = new QSplitter(Qt::Horizontal, browserPage_);
  auto* left = new QWidget(splitter);
  treeCaption_ = new QLabel(left);
  treeCaption_->setFrameShape(QFrame::StyledPanel);
  tree_ = new TFolderTree(left);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 0, 0, 0);
  leftLayout->setSpacing(2);
  leftLayout->addWidget(treeCaption_);
  leftLayout->addWidget(tree_);

  auto* right = new QWidget(splitter);
  listCaption_ = new QLabel(right);
  listCaption_->setFrameShape(QFrame::StyledPanel);
  listCaption_->setTextFormat(Qt::PlainText);
  model_ = new TFileListModel(this);
  model_->Renamer = [this](TItem* object, const QString& name) { return RenameObject(object, name); };
  details_ = new QTreeView(right);
  details_->setModel(model_);
  details_->setRootIsDecorated(false);
  details_->setUniformRowHeights(true);
  details_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  details_->setSelectionBehavior(QAbstractItemView::SelectRows);
  details_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  details_->setContextMenuPolicy(Qt::CustomContextMenu);
  details_->header()->setSectionsClickable(true);
  details_->header()->setSortIndicatorShown(true);
  selection_ = details_->selectionModel();
  model_->SetSelectionModel(selection_);
  icons_ = new QListView(right);
  icons_->setModel(model_);
  icons_->setSelectionModel(selection_);
  icons_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  icons_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  icons_->setContextMenuPolicy(Qt::CustomContextMenu);
  icons_->setUniformItemSizes(true);
  listViews_ = new QStackedWidget(right);
  listViews_->addWidget(details_);
  listViews_->addWidget(icons_);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  rightLayout->setSpacing(2);
  rightLayout->addWidget(listCaption_);
  rightLayout->addWidget(listViews_);
  splitter->addWidget(left);
  splitter->addWidget(right);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({220, 680});
  (new QVBoxLayout(browserPage_))->addWidget(splitter);
  browserPage_->layout()->setContentsMargins(4, 4, 4, 4);
  pages_->addWidget(dummyPage_);
  pages_->addWidget(browserPage_);
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

  treeTimer_ = new QTimer(this);
  treeTimer_->setSingleShot(true);
  treeTimer_->setInterval(100);
  connect(treeTimer_, &QTimer::timeout, this, &TMainForm::TreeSelectionChanged);
  // Quick changes (arrow keys held down) fill the list once, for the last node.
  connect(tree_, &QTreeWidget::currentItemChanged, treeTimer_, qOverload<>(&QTimer::start));
  // A click on the node already current changes nothing for currentItemChanged, yet the list must
  // show that node's folder (after a second volume opened, Root is current with an empty list).
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    TTreeNode* node = tree_->NodeOf(item);
    if (!node || node == currentNode_) return;
    treeTimer_->stop();
    ShowFolder(node);
  });
  tree_->installEventFilter(this);
  connect(tree_, &QTreeWidget::itemExpanded, this, &TMainForm::TreeExpanded);
  connect(tree_, &QTreeWidget::itemCollapsed, this, &TMainForm::TreeCollapsed);
  connect(tree_, &QTreeWidget::itemChanged, this, &TMainForm::TreeItemChanged);
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
    connect(view, &QAbstractItemView::activated, this, &TMainForm::ListActivated);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& at) { popup_->popup(view->viewport()->mapToGlobal(at)); });
    view->installEventFilter(this);
  }
  connect(selection_, &QItemSelectionModel::selectionChanged, this, [this] {
    UpdateCommands();
    UpdateStatus();
  });
  connect(details_->header(), &QHeaderView::sectionClicked, this, &TMainForm::HeaderClicked);

  memoryTimer_ = new QTimer(this);
  connect(memoryTimer_, &QTimer::timeout, this, &TMainForm::ShowMemory);
  memoryTimer_->start(3000);
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (activated_) return;
  activated_ = true;
  QTimer::singleShot(0, this, &TMainForm::FirstActivation);
}

void TMainForm::FirstActivation() {
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
  treeCaption_->setText(Text(701));
  ShowMemory();
  UpdateStatus();
  if (PresetDrive >= 0) {
    devicesPending_ = false;
    if (ScanDevices() && OpenDrive(PresetDrive, -1, true) && special_.Root) {
      tree_->SelectNode(special_.Root);
      treeTimer_->stop();
      ShowFolder(special_.Root);
    }
  } else {
    TWelcomeDialog welcome(this);
    welcome.Run();
  }
  activateWindow();
  if (AfterActivation) AfterActivation();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  memoryTimer_->stop();
  QMainWindow::closeEvent(event);
}

void TMainForm::ApplyOptions() {
  blockcache::SetEnabled(Options().EnableCache);
  if (tree_) {
    const QFont font = FileListFont(Options());
    tree_->setFont(font);
    details_->setFont(font);
    icons_->setFont(font);
  }
}

void TMainForm::SetBrowseState(int state) {
  browseState_ = state;
  pages_->setCurrentWidget(state == 2 ? browserPage_ : dummyPage_);
  UpdateCommands();
}

TItem* TMainForm::SingleSelected() const {
  const auto rows = model_->SelectedRows();
  return rows.size() == 1 ? model_->ObjectAt(int(rows.front())) : nullptr;
}

void TMainForm::UpdateCommands() {
  TCommandInput in;
  in.DriveOpen = browseState_ == 2 && currentDrive_;
  in.SelectedRows = model_ ? model_->SelectedRows().size() : 0;
  in.SingleIsFolder = dynamic_cast<TCustomDirectory*>(SingleSelected()) != nullptr;
  auto* folder = currentNode_ ? dynamic_cast<TCustomDirectory*>(currentNode_->Object) : nullptr;
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

void TMainForm::UpdateStatus() {
  if (model_->UpdateDepth() > 0) return;
  auto* folder = currentNode_ ? dynamic_cast<TCustomDirectory*>(currentNode_->Object) : nullptr;
  if (folder) {
    QString path = QString::fromStdString(ShortenPath(folder->GetPath(nullptr), 15));
    if (path.isEmpty() && tree_->ItemOf(currentNode_)) path = tree_->ItemOf(currentNode_)->text(0);
    listCaption_->setText(QString::fromStdString(TextF(706, {path.toStdString()})));
  } else {
    listCaption_->clear();
  }
  const auto rows = model_->SelectedRows();
  uint64_t bytes = 0;
  if (!rows.empty()) {
    for (size_t row : rows)
      if (auto* f = dynamic_cast<TCustomFile*>(model_->ObjectAt(int(row)))) bytes += f->Size;
    panels_[0]->setText(QString::fromStdString(TextF(707, {rows.size()})));
  } else if (folder) {
    if (folder->Children)
      for (const auto& child : *folder->Children)
        if (auto* f = dynamic_cast<TCustomFile*>(child.get())) bytes += f->Size;
    panels_[0]->setText(QString::fromStdString(TextF(708, {size_t(model_->rowCount())})));
  } else {
    // The window's own hint; a status tip on the window would cover the counts of the list.
    panels_[0]->setText(Text(144));
  }
  panels_[1]->setText(rows.empty() && !folder ? QString() : QString("%1 KB").arg(bytes >> 10));
  UpdateCommands();
}

void TMainForm::ShowMemory() {
  const struct mallinfo2 info = mallinfo2();
  // Grouped as the chosen language groups digits (a text fills %d as it is).
  const std::string bytes = QLocale().toString(qulonglong(info.uordblks)).toStdString();
  panels_[2]->setText(QString::fromStdString(TextF(700, {bytes})));
}

bool TMainForm::ScanDevices() {
  ForgetDrive();
  devices_.Clear();
  drives_.Clear();
  status_.Setup(LoadText(200), LoadText(201), "", "", "", false, false);
  status_.Show();
  QApplication::processEvents();
  devices_.DetectDevices(&status_);
  if (!status_.Cancelled) {
    for (size_t i = 0; i < devices_.Count(); ++i) {
      TDevice* device = devices_.Items(i);
      if (device->DriveType == DriveCDROM) continue;
      status_.UpdateTexts(LoadText(203), TextF(204, {device->Name}), LoadText(201));
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

void TMainForm::OpenDriveCommand() {
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

void TMainForm::ForgetDrive() {
  if (treeTimer_) treeTimer_->stop();
  if (model_) {
    model_->SetSource(nullptr);
    model_->ClearColumns();
  }
  if (tree_) tree_->Clear();
  currentDrive_ = nullptr;
  currentDevice_ = nullptr;
  currentNode_ = nullptr;
  special_ = {};
  if (pages_) SetBrowseState(1);
  if (model_) UpdateStatus();
}

bool TMainForm::OpenDrive(int index, int fatChoice, bool skipBadClusters) {
  if (index < 0 || size_t(index) >= drives_.Count()) return false;
  TCustomDrive* drive = drives_.Items(size_t(index));
  // A volume that did not mount has no folders to show.
  if (!drive->HasSpecialFolders()) {
    QString why = Text(844);
    if (const TMountNote* failure = drive->MountFailure())
      why = TextWith(759, {QString::fromStdString(failure->Error.Text())});
    QMessageBox::warning(this, "Salvex", why);
    return false;
  }
  ForgetDrive();
  currentDrive_ = drive;
  currentDevice_ = drive->Device;
  drive->Progress = &status_;
  if (auto* fat = dynamic_cast<TFATdrive*>(drive)) {
    if (fatChoice >= 0) fat->FATCopy = uint8_t(fatChoice);
    fat->SkipBadClusters = skipBadClusters;
  }
  treeCaption_->setText(Text(701));
  DebugLog(Format("drive selected: %s", {drive->Name}), 1);
  SetBrowseState(2);
  LoadDriveTree();
  model_->ClearColumns();
  drive->SetupListColumns(*model_);
  // Column widths as the volume designs them, scaled from 96 dots per inch.
  const double scale = logicalDpiX() / 96.0;
  for (int c = 0; c < model_->columnCount(); ++c)
    details_->header()->resizeSection(c, int(model_->headerData(c, Qt::Horizontal, Qt::UserRole).toInt() * scale));
  details_->header()->setSortIndicator(0, Qt::AscendingOrder);
  columnsFitted_ = false;
  UpdateStatus();
  return true;
}

void TMainForm::LoadDriveTree() {
  model_->SetSource(nullptr);
  model_->SetSort(0, false);
  tree_->Clear();
  status_.Setup(LoadText(703), LoadText(704), "", "", "", true, false);
  status_.Show();
  QApplication::processEvents();
  {
    WaitCursor wait;
    special_ = currentDrive_->ScanDrive(*tree_, &status_);
  }
  for (TTreeNode* node : {special_.Root, special_.Lost, special_.Deleted, special_.Search})
    if (QTreeWidgetItem* item = tree_->ItemOf(node)) item->setExpanded(false);
  currentNode_ = nullptr;
  status_.Hide();
}

uint64_t TMainForm::UnitBytes(bool clusters) const {
  if (!currentDrive_) return 512;
  uint64_t perCluster = 1;
  if (auto* fat = dynamic_cast<TFATdrive*>(currentDrive_)) perCluster = fat->SectorsPerCluster;
  if (auto* ntfs = dynamic_cast<TNTFSdrive*>(currentDrive_)) perCluster = ntfs->SectorsPerCluster;
  return uint64_t(currentDrive_->BytesPerSector()) * (clusters ? std::max<uint64_t>(perCluster, 1) : 1);
}

bool TMainForm::DeletedMode(TTreeNode* node) const { return tree_->IsAtOrBelow(node, special_.Deleted); }

void TMainForm::TreeSelectionChanged() {
  if (!tree_->isVisible()) return;
  TTreeNode* node = tree_->SelectedNode();
  if (node) ShowFolder(node);
}

void TMainForm::ShowFolder(TTreeNode* node) {
  auto* folder = node ? dynamic_cast<TCustomDirectory*>(node->Object) : nullptr;
  if (!folder) {
    model_->SetSource(nullptr);
    return;
  }
  {
    WaitCursor wait;
    ListUpdate update(*model_);
    currentNode_ = node;
    folder->FillListView(*model_, DeletedMode(node));
  }
  if (!columnsFitted_ && model_->rowCount() > 0) {
    // The designed widths are a minimum; dates and long names get the room they need.
    columnsFitted_ = true;
    // The last column too: stretched to the window's edge it would cut long type names.
    details_->header()->setStretchLastSection(false);
    for (int c = 0; c < model_->columnCount(); ++c)
      details_->header()->resizeSection(c, std::max({details_->header()->sectionSize(c), details_->header()->sectionSizeHint(c),
                                                  static_cast<QAbstractItemView*>(details_)->sizeHintForColumn(c)}));
  }
  UpdateStatus();
}

void TMainForm::TreeExpanded(QTreeWidgetItem* item) {
  TTreeNode* node = tree_->NodeOf(item);
  auto* folder = node ? dynamic_cast<TCustomDirectory*>(node->Object) : nullptr;
  if (!folder) return;
  {
    WaitCursor wait;
    try {
      folder->AddTreeNodes(*tree_, node, DeletedMode(node));
    } catch (const std::exception& e) {
      Host().MessageBox(std::string("Error: ") + e.what(), "Error", TMsgButtons::Ok, TMsgIcon::Error);
    }
  }
  if (node == special_.Deleted || node == special_.Lost || node == special_.Search || node == special_.Root) return;
  tree_->SetImage(node, (folder->Flags & ItemDeleted) ? 7 : 1);
}

void TMainForm::TreeCollapsed(QTreeWidgetItem* item) {
  TTreeNode* node = tree_->NodeOf(item);
  auto* folder = node ? dynamic_cast<TCustomDirectory*>(node->Object) : nullptr;
  if (!folder || node == special_.Deleted || node == special_.Lost || node == special_.Search || node == special_.Root)
    return;
  tree_->SetImage(node, (folder->Flags & ItemDeleted) ? 6 : 0);
}

void TMainForm::TreeItemChanged(QTreeWidgetItem* item) {
  if (item != renaming_) return;
  renaming_ = nullptr;
  item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  TTreeNode* node = tree_->NodeOf(item);
  if (auto* folder = node ? dynamic_cast<TCustomDirectory*>(node->Object) : nullptr)
    folder->Rename(item->text(0).toStdString());
  model_->Refresh();
}

void TMainForm::ListActivated(const QModelIndex& index) {
  auto* folder = dynamic_cast<TCustomDirectory*>(model_->ObjectAt(index.row()));
  if (!folder || !currentNode_) return;
  QTreeWidgetItem* item = tree_->ItemOf(currentNode_);
  item->setExpanded(true);
  for (int i = 0; i < item->childCount(); ++i) {
    TTreeNode* child = tree_->NodeOf(item->child(i));
    if (child && child->Object == folder) {
      tree_->SelectNode(child);
      treeTimer_->stop();
      ShowFolder(child);
      listViews_->currentWidget()->setFocus();
      return;
    }
  }
}

void TMainForm::ParentDirCommand() {
  TTreeNode* parent = tree_->ParentNode(currentNode_);
  if (!parent) return;
  tree_->SelectNode(parent);
  treeTimer_->stop();
  ShowFolder(parent);
  listViews_->currentWidget()->setFocus();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // The user moving to the tree clears the list's selection, so that the commands do not act on
  // rows the user left; focus coming back with the window (a dialog closed) keeps it.
  if (event->type() == QEvent::FocusIn && watched == tree_ && selection_) {
    const Qt::FocusReason why = static_cast<QFocusEvent*>(event)->reason();
    if (why == Qt::MouseFocusReason || why == Qt::TabFocusReason || why == Qt::BacktabFocusReason)
      selection_->clearSelection();
  }
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Backspace &&
      (watched == details_ || watched == icons_)) {
    ParentDirCommand();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::HeaderClicked(int column) {
  const bool descending = column == model_->SortColumn() ? !model_->SortDescending() : false;
  SortBy(column, descending);
}

void TMainForm::SortBy(int column, bool descending) {
  model_->SetSort(column, descending);
  details_->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
  auto* folder = currentNode_ ? dynamic_cast<TCustomDirectory*>(currentNode_->Object) : nullptr;
  if (!folder || !folder->Children || folder->Children->size() < 2) return;
  {
    WaitCursor wait;
    ListUpdate update(*model_);
    folder->FillListView(*model_, DeletedMode(currentNode_));
  }
  UpdateStatus();
}

void TMainForm::SaveSelection() {
  const auto rows = model_->SelectedRows();
  if (rows.empty()) return;
  TItem* first = model_->ObjectAt(int(rows.front()));
  TCustomDrive* drive = nullptr;
  if (auto* f = dynamic_cast<TCustomFile*>(first)) drive = f->Drive;
  if (auto* d = dynamic_cast<TCustomDirectory*>(first)) drive = d->Drive;
  if (!drive) return;
  drive->Progress = &status_;
  TSaveRun run;
  {
    WaitCursor wait;
    VolumeInUse use(volumeInUse_);
    if (!RunSaveCommand(this, *drive, *model_, &status_, run)) return;
  }
  TSaveSummaryDialog summary(this, run);
  summary.exec();
}

void TMainForm::FindLostDataCommand() {
  if (!currentDrive_) return;
  bool found = false;
  {
    WaitCursor wait;
    VolumeInUse use(volumeInUse_);
    found = currentDrive_->FindLostData(&status_);
  }
  if (!found || !special_.Lost) return;
  tree_->RemoveChildren(special_.Lost);
  tree_->SetHasChildren(special_.Lost, currentDrive_->LostFolder->HasSubdirectories());
  QTreeWidgetItem* item = tree_->ItemOf(special_.Lost);
  item->setExpanded(false);
  tree_->SelectNode(special_.Lost);
  tree_->setFocus();
  item->setExpanded(true);
  treeTimer_->stop();
  ShowFolder(special_.Lost);
}

void TMainForm::FindCommand() {
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
    QTimer::singleShot(0, this, &TMainForm::OpenDriveCommand);
    return;
  }
  if (!found || !special_.Search) return;
  tree_->RemoveChildren(special_.Search);
  tree_->SetHasChildren(special_.Search, currentDrive_->SearchFolder->HasSubdirectories());
  QTreeWidgetItem* item = tree_->ItemOf(special_.Search);
  item->setExpanded(false);
  tree_->SelectNode(special_.Search);
  tree_->setFocus();
  item->setExpanded(true);
  treeTimer_->stop();
  ShowFolder(special_.Search);
}

void TMainForm::ViewCommand(bool hex) {
  auto* file = dynamic_cast<TCustomFile*>(SingleSelected());
  if (!file || !file->Drive) return;
  int fatChoice = file->Drive->DefaultReadChoice(DeletedMode(currentNode_));
  if (auto* fat = dynamic_cast<TFATdrive*>(file->Drive)) {
    // Which FAT the clusters follow is the user's call: a deleted file's chain is usually gone.
    if (!fatSelect_) fatSelect_ = new TFATSelectDialog(this);
    if (!fatSelect_->Execute(*fat, DeletedMode(currentNode_))) return;
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

void TMainForm::PropertiesCommand() {
  const auto rows = model_->SelectedRows();
  if (rows.size() != 1) return;
  const int row = int(rows.front());
  TItem* object = model_->ObjectAt(row);
  TItemFields fields;
  if (!object || !ReadItemFields(*object, fields)) return;
  TItemPropertiesDialog dialog(this);
  dialog.Name = fields.Name;
  dialog.Cluster = fields.Cluster;
  dialog.Size = fields.Size;
  dialog.ClusterEnabled = fields.ClusterEnabled;
  // The listing's other columns, and for files found by their content where the size came from.
  for (int c = 1; c < model_->columnCount(); ++c) {
    const QString value = model_->data(model_->index(row, c), Qt::DisplayRole).toString();
    if (!value.isEmpty())
      dialog.Facts.emplace_back(TextWith(854, {model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()}), value);
  }
  for (auto& fact : ItemFacts(*object)) dialog.Facts.push_back(std::move(fact));
  if (!dialog.Run()) return;
  fields.Name = dialog.Name;
  fields.Cluster = dialog.Cluster;
  fields.Size = dialog.Size;
  WriteItemFields(*object, fields);
  model_->Refresh();
}

void TMainForm::SysInfoCommand() {
  TSysInfoDialog dialog(this);
  dialog.Run();
}

void TMainForm::CreateImageCommand() {
  TImageDialog dialog(this, devices_, drives_);
  TImageRequest request;
  if (!dialog.Execute(request)) return;
  const TImagingOutcome outcome = RunImaging(request, status_, statusWindow_);
  QMessageBox::information(this, Text(950), ImagingSummary(request, outcome));
}

void TMainForm::DriveInfoCommand() {
  if (!currentDevice_) return;
  TDriveInfoDialog dialog(this);
  dialog.Run(*currentDevice_);
}

void TMainForm::RenameCommand() {
  QAbstractItemView* list = qobject_cast<QAbstractItemView*>(listViews_->currentWidget());
  const auto rows = model_->SelectedRows();
  if (list && (list->hasFocus() || !tree_->hasFocus()) && rows.size() == 1) {
    list->edit(model_->index(int(rows.front()), 0));
    return;
  }
  if (QTreeWidgetItem* item = tree_->currentItem(); item && tree_->hasFocus()) {
    renaming_ = item;
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    tree_->editItem(item, 0);
  }
}

bool TMainForm::RenameObject(TItem* object, const QString& name) {
  std::string shown;
  shown = ShownName(*object);
  switch (CheckRename(*object, name.toStdString())) {
    case TRenameCheck::NoParent: return false;
    case TRenameCheck::Duplicate: {
      // Shown once the editor has closed: a modal box inside the model's setData leaves the view
      // in its editing state, and it never edits again.
      const QString text = QString::fromStdString(TextF(705, {shown}));
      QTimer::singleShot(0, this, [this, text] { QMessageBox::information(this, "Salvex", text); });
      return false;
    }
    case TRenameCheck::Allowed: break;
  }
  if (auto* f = dynamic_cast<TCustomFile*>(object)) return f->Rename(name.toStdString());
  if (auto* d = dynamic_cast<TCustomDirectory*>(object)) return d->Rename(name.toStdString());
  return false;
}

void TMainForm::SelectAllCommand() {
  if (model_->rowCount() == 0) return;
  WaitCursor wait;
  selection_->select(QItemSelection(model_->index(0, 0), model_->index(model_->rowCount() - 1, 0)),
                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TMainForm::InvertSelectionCommand() {
  if (model_->rowCount() == 0) return;
  selection_->select(QItemSelection(model_->index(0, 0), model_->index(model_->rowCount() - 1, 0)),
                     QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
}

void TMainForm::OptionsCommand() {
  TOptionsDialog dialog(this, Options());
  dialog.Store = [this](const TOptions& options) {
    auto store = OpenSettings();
    QString error;
    if (SaveOptions(*store, options, error)) return true;
    QMessageBox::critical(this, "Salvex", TextWith(849, {error}));
    return false;
  };
  if (!dialog.Edit()) return;
  ApplyOptions();
  if (currentNode_) ShowFolder(currentNode_);
}

void TMainForm::SetListStyle(int style) {
  if (style == 3) {
    listViews_->setCurrentWidget(details_);
    return;
  }
  icons_->setViewMode(style == 0 ? QListView::IconMode : QListView::ListMode);
  // Icons fill rows of a grid; the list mode fills columns.
  icons_->setFlow(style == 2 ? QListView::TopToBottom : QListView::LeftToRight);
  icons_->setWrapping(true);
  icons_->setResizeMode(QListView::Adjust);
  icons_->setIconSize(style == 0 ? QSize(32, 32) : QSize(16, 16));
  icons_->setGridSize(style == 0 ? QSize(96, 64) : QSize());
  listViews_->setCurrentWidget(icons_);
}

void TMainForm::HelpCommand() {
  if (!help_) help_ = new THelpWindow(this);
  help_->Present();
}

void TMainForm::NotYetAvailable() {
  QMessageBox::information(this, "Salvex", tr("This command is not yet available."));
}

void TMainForm::AboutCommand() {
  QMessageBox::about(this, Text(660),
                     QString("Salvex %1\n\n%2\n\n%3").arg(SALVEX_VERSION, Text(662), Text(665)));
}

}  // namespace salvex::ui
