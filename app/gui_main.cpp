#include <QApplication>
#include <QCommandLineParser>
#include <QListWidget>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "common/Helpers.h"
#include "common/StringTable.h"
#include "disk/LogicalDrive.h"
#include "disk/PhysicalDisk.h"
#include "recovery/DeviceSetup.h"
#include "ui/DialogTour.h"
#include "ui/DriveDialog.h"
#include "ui/MainWindow.h"

#include <QDir>

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

// Pictures of every dialog of the program, for looking at layouts and texts.
void GrabDialogs(ui::TMainWindow& window, const QString& dir) {
  QDir().mkpath(dir);
  ui::TourDialogs(window, [&](const QString& name, QWidget* shown) { Grab(shown, QDir(dir).filePath(name + ".png")); });
}

}  // namespace

int main(int argc, char** argv) {
  ReadTimeZoneOnce();
  // A first argument "DEBUG" (exactly) shows the debug window.
  const bool debug = argc > 1 && std::string(argv[1]) == "DEBUG";
  QApplication app(argc, argv);
  QApplication::setApplicationName("Salvex");
  QApplication::setOrganizationName("Morvane");

  QCommandLineParser parser;
  parser.setApplicationDescription("Salvex: find and save deleted and lost files on FAT, exFAT, NTFS and ext2/3/4 disks and images");
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
    ui::TMainWindow window(debug);
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
