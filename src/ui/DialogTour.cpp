#include "ui/DialogTour.h"

#include <QApplication>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidgetItem>

#include "common/Format.h"
#include "common/StringTable.h"
#include "devices/LostDrives.h"
#include "disk/RescueMap.h"
#include "recovery/Browse.h"
#include "salvex/StringIds.h"
#include "ui/ByteSource.h"
#include "ui/DriveDialog.h"
#include "ui/DriveInfoDialog.h"
#include "ui/FATSelectDialog.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
#include "ui/FolderTree.h"
#include "ui/HelpWindow.h"
#include "ui/ImageDialog.h"
#include "ui/LanguageDialog.h"
#include "ui/MainWindow.h"
#include "ui/MapBar.h"
#include "ui/OptionsDialog.h"
#include "ui/PreviewDialog.h"
#include "ui/PropertiesDialog.h"
#include "ui/RangeDialog.h"
#include "ui/SaveCommand.h"
#include "ui/SaveSummaryDialog.h"
#include "ui/StatusWindow.h"
#include "ui/SysInfoDialog.h"
#include "ui/TargetFolderDialog.h"
#include "ui/Translate.h"
#include "ui/ViewerDialog.h"
#include "ui/WelcomeDialog.h"

namespace salvex::ui {

namespace {

void Settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

// Shows a window without running it, lets `visit` look at it, and hides it again.
void Show(QWidget* widget, const QString& name, const TTourVisit& visit) {
  widget->show();
  Settle();
  visit(name, widget);
  widget->hide();
}

// The menus of the menu bar and the list's context menu, each open in turn.
void TourMenus(TMainWindow& window, const TTourVisit& visit) {
  int n = 0;
  for (QAction* action : window.menuBar()->actions()) {
    QMenu* menu = action->menu();
    if (!menu) continue;
    menu->popup(window.mapToGlobal(QPoint(20, 20)));
    Settle();
    visit(QString("menu-%1").arg(++n), menu);
    menu->hide();
  }
  for (QMenu* menu : window.findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) {
    if (menu->menuAction()->associatedObjects().size() > 1 || menu->actions().isEmpty()) continue;
    menu->popup(window.mapToGlobal(QPoint(60, 60)));
    Settle();
    visit("menu-context", menu);
    menu->hide();
  }
}

// The volume's Deleted folder saved following FAT 1, where the deleted files' chains are gone:
// the summary of a partly failed save.
void TourSaveSummary(TMainWindow& window, TCustomDirectory& folder, const TTourVisit& visit) {
  struct : TSaveQuestions {
    TAnswer ReplaceFile(const std::string&) override { return TAnswer::No; }
    TAnswer EnterFolder(const std::string&) override { return TAnswer::Yes; }
  } keep;
  std::vector<TItem*> items;
  for (const auto& child : *folder.Children) items.push_back(child.get());
  QTemporaryDir target;
  TSaveOptions options;
  options.Target = QDir(target.path()).filePath("recovered/").toStdString();
  QDir().mkpath(QString::fromStdString(options.Target));
  options.Read.FATCopy = 1;
  const TSaveRun run = SaveAndRecord(items, options, keep, nullptr);
  TSaveSummaryDialog summary(&window, run);
  Show(&summary, "save-summary", visit);
}

void TourMainWindow(TMainWindow& window, const TTourVisit& visit) {
  Show(&window, "main", visit);
  TTreeNode* deleted = window.SpecialNodes().Deleted;
  if (!deleted) return;
  window.Tree()->SelectNode(deleted);
  window.Tree()->ItemOf(deleted)->setExpanded(true);
  window.ShowFolder(deleted);
  Show(&window, "main-deleted", visit);
  window.Action("MenuLargeIcons")->trigger();
  Show(&window, "main-large-icons", visit);
  if (auto* folder = AsFolder(deleted->Object); folder && folder->Children)
    TourSaveSummary(window, *folder, visit);
  window.Action("MenuDetails")->trigger();
  window.Tree()->SelectNode(window.SpecialNodes().Root);
  window.ShowFolder(window.SpecialNodes().Root);
  window.show();
  TourMenus(window, visit);
}

void TourDriveDialogs(TMainWindow& window, const TTourVisit& visit) {
  TDriveDlg* drives = window.DriveDialog();
  drives->show();
  drives->Pages()->setCurrentIndex(0);
  drives->LogicalList()->setCurrentRow(0);
  Show(drives, "drives-logical", visit);
  drives->show();
  drives->ShowPhysicalPage();
  drives->PhysicalList()->setCurrentRow(0);
  Show(drives, "drives-physical", visit);
  TCustomDrive* drive = window.Drives().Count() ? window.Drives().Items(0) : nullptr;
  if (!drive) return;
  TPreviewDialog preview(&window);
  preview.Fill(*drive);
  Show(&preview, "preview", visit);
  if (drive->ChoosableFATs()) {
    TFATSelectDialog select(&window);
    select.Prepare(*drive, false);
    Show(&select, "fat-select", visit);
  }
  if (drive->Device) {
    TDriveInfoDialog info(&window);
    info.Prepare(*drive->Device);
    Show(&info, "drive-info", visit);
  }
}

// The imaging dialog going on from an earlier run of the first disk, with that run's map: a bad
// area being narrowed down, another not yet trimmed, the end not yet tried; and the progress
// window while such a run goes on.
void TourImaging(TMainWindow& window, const TTourVisit& visit) {
  if (window.Devices().Count() == 0) return;
  const TDevice& device = *window.Devices().Items(0);
  const uint64_t size = device.TotalSectors * (device.BytesPerSector ? device.BytesPerSector : 512);
  if (size < 1024 * 1024) return;
  TRescueMap map(size);
  const uint64_t unit = size / 64 / 512 * 512;
  map.Set(0, unit * 44, RescueFinished);
  map.Set(unit * 9, unit / 4, RescueBadSector);
  map.Set(unit * 9 + unit / 4, unit / 2, RescueNonScraped);
  map.Set(unit * 23, unit / 8, RescueBadSector);
  map.Set(unit * 30, unit, RescueNonTrimmed);
  map.Set(unit * 47, unit * 3, RescueFinished);
  QTemporaryDir dir;
  const QString image = QDir(dir.path()).filePath("disk.img");
  std::string why;
  WriteFileAtomically((image + ".map").toStdString(), map.Format(), why);
  TImageDialog imaging(&window, window.Devices(), window.Drives());
  imaging.Prepare();
  imaging.Pages()->setCurrentIndex(1);
  imaging.PhysicalList()->setCurrentRow(0);
  imaging.TargetEdit()->setText(image);
  imaging.MapEdit()->setText(image + ".map");
  imaging.MapEdit()->textEdited(imaging.MapEdit()->text());
  Show(&imaging, "image-dialog", visit);

  TStatusDialog& status = window.Status();
  status.Setup(LoadText(txt::CreatingDiskImage), TextF(txt::ImageSource, {"/dev/sdb"}),
               TextF(txt::ImageRescued, {"1.41 GB", "2.00 GB"}), TextF(txt::ImageBadAreas, {"3", "96.5 MB"}),
               TextF(txt::ImageReadRate, {"38.2 MB", "0:01"}), true, false);
  status.Max = 100;
  status.StepBy(70);
  window.StatusWindow()->ShowMap(map);
  Show(window.StatusWindow(), "status-imaging", visit);
  window.StatusWindow()->ClearMap();
  status.Hide();
}

void TourItemDialogs(TMainWindow& window, const TTourVisit& visit) {
  TCustomDrive* drive = window.CurrentDrive();
  std::vector<std::string> choices = drive ? drive->ReadChoiceItems() : std::vector<std::string>{};
  TTargetFolderDialog target(&window);
  target.Prepare(QDir::tempPath().toStdString(), choices, 0);
  Show(&target, "target", visit);
  if (QInputDialog* prompt = target.NewFolderPrompt()) Show(prompt, "new-folder", visit);

  auto* find = dynamic_cast<TFindDlg*>(&window.QtHost().FindDialog());
  if (find) {
    find->AddHit("Welcome.txt");
    Show(find, "find", visit);
  }
  // The properties of the list's first file, filled as the Properties command fills them.
  TFileListModel* model = window.ListModel();
  for (int row = 0; row < model->rowCount(); ++row) {
    TItem* item = model->ObjectAt(row);
    TItemFields fields;
    if (!item || AsFolder(item) || !ReadItemFields(*item, fields)) continue;
    TPropertiesDialog properties(&window);
    properties.Name = fields.Name;
    properties.Size = fields.Size;
    properties.Cluster = fields.Cluster;
    properties.ClusterEnabled = fields.ClusterEnabled;
    for (int c = 1; c < model->columnCount(); ++c)
      properties.Facts.emplace_back(
          TextWith(txt::Label, {model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()}),
          model->data(model->index(row, c), Qt::DisplayRole).toString());
    for (auto& fact : ItemFacts(*item)) properties.Facts.push_back(std::move(fact));
    properties.Prepare();
    Show(&properties, "properties", visit);
    break;
  }
}

void TourOtherWindows(TMainWindow& window, const TTourVisit& visit) {
  TLanguageDialog language(&window);
  Show(&language, "language", visit);
  TOptionsDialog options(&window, Options());
  static const char* pages[] = {"options-display", "options-files", "options-access"};
  auto* tabs = options.findChild<QTabWidget*>();
  for (int page = 0; tabs && page < tabs->count() && page < 3; ++page) {
    tabs->setCurrentIndex(page);
    Show(&options, pages[page], visit);
  }
  TRangeDialog sectors(&window, false, 512);
  sectors.Prepare(0, 100000, 0, 1999999);
  Show(&sectors, "range", visit);
  TRangeDialog clusters(&window, true, 4096);
  clusters.Prepare(2, 1001, 2, 1001);
  Show(&clusters, "range-clusters", visit);
  TStatusDialog& status = window.Status();
  status.Setup(LoadText(txt::SavingFiles), TextF(txt::SavingFile, {"/tmp/recovered/Docs/notes.txt"}), "", "", "", true,
               true);
  status.Max = 100;
  status.StepBy(42);
  Show(window.StatusWindow(), "status", visit);
  status.Hide();

  TSysInfoDialog system(&window);
  system.Prepare();
  Show(&system, "system", visit);
  TWelcomeDialog welcome(&window);
  Show(&welcome, "welcome", visit);
  THelpWindow help(&window);
  Show(&help, "help", visit);
  help.show();
  QApplication::processEvents();
  // The guide's third chapter, the main window, in whichever language the guide is.
  int chapter = 0;
  for (QTextBlock block = help.Browser()->document()->begin(); block.isValid(); block = block.next())
    if (block.blockFormat().headingLevel() == 2 && ++chapter == 3) {
      help.Browser()->scrollToAnchor(THelpWindow::HeadingAnchor(block.text()));
      break;
    }
  Show(&help, "help-folders", visit);
}

// The first picture of the open volume, in the viewer's hex and picture pages.
void TourViewer(TMainWindow& window, const TTourVisit& visit) {
  TCustomDrive* drive = window.CurrentDrive();
  if (!drive) return;
  for (const TItemRow& row : FindItems(*drive, "*.jpg")) {
    auto source = row.Folder ? nullptr : OpenByteSource(*row.Item, 0);
    if (!source) continue;
    TViewerDialog viewer(&window);
    viewer.Prepare(std::move(source), QString::fromStdString(row.Name), true);
    viewer.resize(760, 520);
    Show(&viewer, "viewer-hex", visit);
    if (viewer.HasPicture()) {
      viewer.ShowPicturePage();
      Show(&viewer, "viewer-picture", visit);
    }
    return;
  }
}

}  // namespace

void TourDialogs(TMainWindow& window, const TTourVisit& visit) {
  TourMainWindow(window, visit);
  TourDriveDialogs(window, visit);
  TourItemDialogs(window, visit);
  TourOtherWindows(window, visit);
  TourImaging(window, visit);
  TourViewer(window, visit);
  // The lost-drive search over the first device's first 100,000 sectors, as the drive dialog
  // offers it, and the volumes it found.
  if (window.Devices().Count() > 0) {
    TDevice& device = *window.Devices().Items(0);
    FindLostDrives(device, 0, std::min<uint64_t>(device.TotalSectors, 100000) - 1, window.Drives(), window.Status());
    TDriveDlg* drives = window.DriveDialog();
    drives->show();
    drives->Pages()->setCurrentIndex(0);
    drives->LogicalList()->setCurrentRow(0);
    drives->UpdateButtons();
    Show(drives, "lost-drives", visit);
  }
}

}  // namespace salvex::ui
