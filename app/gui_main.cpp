#include <QApplication>
#include <QCommandLineParser>
#include <QListWidget>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "common/Format.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "recovery/DeviceSetup.h"
#include "fat/FATdrive.h"
#include "ui/DriveDialog.h"
#include "ui/FolderTree.h"
#include "ui/FATSelectDialog.h"
#include "ui/HelpWindow.h"
#include "ui/LanguageDialog.h"
#include "ui/MainWindow.h"
#include "ui/SaveCommand.h"
#include "ui/SaveSummaryDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/PreviewDialog.h"
#include "ui/RangeDialog.h"
#include "ui/StatusWindow.h"
#include "ui/TargetFolderDialog.h"
#include "ui/ByteSource.h"
#include "ui/ViewerDialog.h"
#include "ui/WelcomeDialog.h"
#include "ui/SysInfoDialog.h"
#include "devices/LostDrives.h"
#include "recovery/Browse.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTabWidget>
#include <QTextBrowser>

using namespace salvex;

namespace {

// The language base for a name such as "de" or "German"; 0 when unknown.
int LanguageFor(const QString& name) {
  for (const auto& language : Languages())
    if (name.compare(QString::fromStdString(language.Stem), Qt::CaseInsensitive) == 0 ||
        name.compare(QString::fromStdString(language.Name), Qt::CaseInsensitive) == 0)
      return language.Base;
  return 0;
}

// Saves a window's picture; used to look at the program without a display of one's own.
void Grab(QWidget* widget, const QString& file) {
  if (!widget->grab().save(file)) std::fprintf(stderr, "salvex: cannot write %s\n", qPrintable(file));
}

// Shows a dialog without running it, saves its picture, and hides it again.
void GrabShown(QWidget* widget, const QString& file) {
  widget->show();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  Grab(widget, file);
  widget->hide();
}

// Pictures of every dialog of the program, for looking at layouts and texts.
void GrabDialogs(ui::TMainForm& window, const QString& dir) {
  QDir().mkpath(dir);
  auto file = [&](const char* name) { return QDir(dir).filePath(name); };
  GrabShown(&window, file("main.png"));
  if (TTreeNode* deleted = window.SpecialNodes().Deleted) {
    window.Tree()->SelectNode(deleted);
    window.Tree()->ItemOf(deleted)->setExpanded(true);
    window.ShowFolder(deleted);
    GrabShown(&window, file("main-deleted.png"));
    window.Action("MenuLargeIcons")->trigger();
    GrabShown(&window, file("main-large-icons.png"));
    // The Deleted folder saved following FAT 1, where the deleted files' chains are gone: the
    // summary of a partly failed save.
    if (auto* folder = dynamic_cast<TCustomDirectory*>(deleted->Object); folder && folder->Children) {
      struct : TSaveQuestions {
        TAnswer ReplaceFile(const std::string&) override { return TAnswer::No; }
        TAnswer EnterFolder(const std::string&) override { return TAnswer::Yes; }
      } keep;
      std::vector<TItem*> items;
      for (const auto& child : *folder->Children) items.push_back(child.get());
      QTemporaryDir target;
      TSaveOptions options;
      options.Target = QDir(target.path()).filePath("recovered/").toStdString();
      QDir().mkpath(QString::fromStdString(options.Target));
      options.Read.FATCopy = 1;
      const ui::TSaveRun run = ui::SaveAndRecord(items, options, keep, nullptr);
      ui::TSaveSummaryDialog summary(&window, run);
      GrabShown(&summary, file("save-summary.png"));
    }
    window.Action("MenuDetails")->trigger();
    window.Tree()->SelectNode(window.SpecialNodes().Root);
    window.ShowFolder(window.SpecialNodes().Root);
  }
  ui::TLanguageDialog language(&window);
  GrabShown(&language, file("language.png"));
  ui::TDriveDlg* drives = window.DriveDialog();
  drives->show();
  drives->LogicalList()->setCurrentRow(0);
  GrabShown(drives, file("drives-logical.png"));
  drives->show();
  drives->ShowPhysicalPage();
  drives->PhysicalList()->setCurrentRow(0);
  GrabShown(drives, file("drives-physical.png"));
  if (TCustomDrive* drive = window.Drives().Count() ? window.Drives().Items(0) : nullptr) {
    ui::TPreviewDrvDialog preview(&window);
    preview.Fill(*drive);
    GrabShown(&preview, file("preview.png"));
    if (auto* fat = dynamic_cast<TFATdrive*>(drive)) {
      ui::TFATSelectDialog select(&window);
      select.Prepare(*fat, false);
      GrabShown(&select, file("fat-select.png"));
    }
  }
  ui::TDirSelectDialog target(&window);
  target.Prepare(QDir::tempPath().toStdString(), {"no FAT (consecutive)", "FAT 1", "FAT 2"}, 0);
  GrabShown(&target, file("target.png"));
  ui::TOptionsDialog options(&window, Options());
  for (int page = 0; page < 3; ++page) {
    options.findChild<QTabWidget*>()->setCurrentIndex(page);
    GrabShown(&options, file(page == 0 ? "options-display.png" : page == 1 ? "options-files.png" : "options-access.png"));
  }
  ui::TRangeDialog range(&window, false, 512);
  range.Prepare(0, 100000, 0, 1999999);
  GrabShown(&range, file("range.png"));
  TStatusDialog& status = window.Status();
  status.Setup(LoadText(709), TextF(710, {"/tmp/recovered/Docs/notes.txt"}), "", "", "", true, true);
  status.Max = 100;
  status.StepBy(42);
  GrabShown(window.StatusWindow(), file("status.png"));
  status.Hide();

  ui::TSysInfoDialog system(&window);
  system.Prepare();
  GrabShown(&system, file("system.png"));
  ui::TWelcomeDialog welcome(&window);
  GrabShown(&welcome, file("welcome.png"));
  ui::THelpWindow help(&window);
  GrabShown(&help, file("help.png"));
  help.show();
  QApplication::processEvents();
  help.Browser()->scrollToAnchor("the-main-window");
  GrabShown(&help, file("help-folders.png"));
  // The first picture of the open volume, in the viewer's hex and picture pages.
  if (TCustomDrive* drive = window.CurrentDrive()) {
    for (const TItemRow& row : FindItems(*drive, "*.jpg")) {
      auto source = row.Folder ? nullptr : ui::OpenByteSource(*row.Item, 0);
      if (!source) continue;
      ui::TViewerDialog viewer(&window);
      viewer.Prepare(std::move(source), QString::fromStdString(row.Name), true);
      viewer.resize(760, 520);
      GrabShown(&viewer, file("viewer-hex.png"));
      if (viewer.HasPicture()) {
        viewer.ShowPicturePage();
        GrabShown(&viewer, file("viewer-picture.png"));
      }
      break;
    }
  }
  // The lost-drive search over the first device's first 100,000 sectors, as the drive dialog
  // offers it, and the volumes it found.
  if (window.Devices().Count() > 0) {
    TDevice& device = *window.Devices().Items(0);
    FindLostDrives(device, 0, std::min<uint64_t>(device.TotalSectors, 100000) - 1, window.Drives(), status);
    drives->show();
    drives->Pages()->setCurrentIndex(0);
    drives->LogicalList()->setCurrentRow(0);
    drives->UpdateButtons();
    GrabShown(drives, file("lost-drives.png"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A first argument "DEBUG" (exactly) shows the debug window.
  const bool debug = argc > 1 && std::string(argv[1]) == "DEBUG";
  QApplication app(argc, argv);
  QApplication::setApplicationName("Salvex");
  QApplication::setOrganizationName("Morvane");

  QCommandLineParser parser;
  parser.setApplicationDescription("Salvex: find and save deleted and lost files on FAT and NTFS disks and images");
  parser.addHelpOption();
  parser.addOption({"disk", "Treat the images as whole disks."});
  parser.addOption({"drive", "Treat the images as single volumes."});
  parser.addOption({"floppy", "Treat the images as floppy disks."});
  parser.addOption({"system-disks", "Also use the machine's own readable disks."});
  parser.addOption({"lang", "Use this language instead of asking (en, de, fr, ...).", "language"});
  parser.addOption({"open", "Open volume number n at start instead of asking.", "n"});
  parser.addOption({"screenshot", "Save a picture of the main window after start, then quit.", "png"});
  parser.addOption({"screenshot-drives", "Save a picture of the drive selection, then quit.", "png"});
  parser.addOption({"screenshot-dialogs", "Save pictures of every dialog into a folder, then quit.", "dir"});
  parser.addPositionalArgument("image", "Disk or volume images to examine.", "[IMAGE...]");
  parser.process(app);

  std::vector<std::string> images;
  for (const QString& image : parser.positionalArguments())
    if (image != "DEBUG") images.push_back(image.toStdString());
  const TImageKind kind = parser.isSet("disk")     ? TImageKind::Disk
                          : parser.isSet("drive")  ? TImageKind::Drive
                          : parser.isSet("floppy") ? TImageKind::Floppy
                                                   : TImageKind::Auto;
  try {
    RegisterDevices(images, kind, parser.isSet("system-disks"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "salvex: %s\n", e.what());
    QMessageBox::critical(nullptr, "Salvex", QString::fromUtf8(e.what()));
    return 1;
  }

  int status = 0;
  {
    ui::TMainForm window(debug);
    if (parser.isSet("lang")) window.PresetLanguage = LanguageFor(parser.value("lang"));
    if (parser.isSet("open")) window.PresetDrive = parser.value("open").toInt();
    const QString mainShot = parser.value("screenshot");
    const QString drivesShot = parser.value("screenshot-drives");
    const QString dialogShots = parser.value("screenshot-dialogs");
    if (!dialogShots.isEmpty())
      window.AfterActivation = [&] {
        QTimer::singleShot(300, &window, [&] {
          GrabDialogs(window, dialogShots);
          QApplication::quit();
        });
      };
    if (dialogShots.isEmpty() && (!mainShot.isEmpty() || !drivesShot.isEmpty())) {
      window.AfterActivation = [&] {
        QTimer::singleShot(500, &window, [&] {
          if (!mainShot.isEmpty()) Grab(&window, mainShot);
          if (drivesShot.isEmpty()) {
            QApplication::quit();
            return;
          }
          ui::TDriveDlg* dialog = window.DriveDialog();
          dialog->show();
          dialog->LogicalList()->setCurrentRow(0);
          QTimer::singleShot(500, &window, [&, dialog] {
            Grab(dialog, drivesShot);
            QApplication::quit();
          });
        });
      };
    }
    window.show();
    status = QApplication::exec();
  }
  ClosePhysicalDrive();
  CloseLogicalDrive();
  return status;
}
