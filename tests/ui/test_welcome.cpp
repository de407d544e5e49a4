// The welcome dialog: its artwork, and its tasks run end to end on fixture images with every
// modal window answered as a user would.
#include <QPushButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <functional>

#include "recovery/Browse.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DriveDialog.h"
#include "ui/ModalDriver.h"
#include "ui/FolderTree.h"
#include "ui/JpegImage.h"
#include "ui/MainWindow.h"
#include "ui/RangeDialog.h"
#include "common/StringTable.h"
#include "ui/UiTests.h"
#include "ui/WelcomeDialog.h"

using namespace salvex;
using namespace test_ui;

namespace {

// Range dialogs keep their proposed range, message boxes are acknowledged.
bool AcceptOthers(QWidget* modal) {
  if (auto* range = qobject_cast<ui::TRangeDialog*>(modal)) {
    QMetaObject::invokeMethod(range, &QDialog::accept, Qt::QueuedConnection);
    return true;
  }
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
    return true;
  }
  return false;
}

bool SelectRowContaining(QListWidget* list, const QString& text) {
  for (int row = 0; row < list->count(); ++row)
    if (list->item(row)->text().contains(text, Qt::CaseInsensitive)) {
      list->setCurrentRow(row);
      return true;
    }
  return false;
}

bool HasHitIn(TCustomDrive& drive, const std::string& name, TTreeKind tree) {
  for (const TItemRow& row : FindItems(drive, name))
    if (row.Tree == tree) return true;
  return false;
}

}  // namespace

class WelcomeTests : public QObject {
  Q_OBJECT
 private slots:
  // The artwork decodes through libjpeg; a cut-off JPEG gives no picture rather than a crash.
  void ArtworkDecodes() {
    QCOMPARE(ui::LoadJpegResource(":/pictures/banner.jpg").size(), QSize(557, 52));
    QFile file(":/pictures/undelete.jpg");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QImage whole = ui::DecodeJpeg(bytes);
    QCOMPARE(whole.size(), QSize(72, 72));
    QVERIFY(whole.pixelColor(2, 2).lightness() > 200);
    QVERIFY(ui::DecodeJpeg(bytes.left(20)).isNull());
    QVERIFY(ui::DecodeJpeg("not a jpeg").isNull());
  }

  // The banner's subtitle follows the language: the picture has none of its own (the strip where
  // it goes is the plain gradient), and the drawn one differs between English and German.
  void BannerSubtitleFollowsTheLanguage() {
    const QImage plain = ui::LoadJpegResource(":/pictures/banner.jpg");
    for (int y = 4; y < 48; ++y)
      for (int x = 116; x < 440; x += 3)
        QVERIFY2(qAbs(plain.pixelColor(x, y).lightness() - plain.pixelColor(445, y).lightness()) < 12,
                 qPrintable(QString("text in the picture at %1,%2").arg(x).arg(y)));
    auto strip = [](const QPixmap& banner) { return banner.toImage().copy(116, 0, 324, 52); };
    const int saved = LanguageBase;
    LanguageBase = 1000;
    const QImage english = strip(ui::TWelcomeDialog::BannerPicture());
    LanguageBase = 3000;
    const QImage german = strip(ui::TWelcomeDialog::BannerPicture());
    LanguageBase = saved;
    int bright = 0;
    for (int y = 0; y < english.height(); ++y)
      for (int x = 0; x < english.width(); ++x) bright += english.pixelColor(x, y).lightness() > 150;
    QVERIFY(bright > 100);
    QVERIFY(english != german);
  }

  // "Find lost data" on a quick-formatted volume: the drive chosen in the drive dialog goes
  // straight into the lost-data search, and its folders' files turn up in Lost.
  void FindLostDataTaskFillsLost() {
    RegisterDevices({test::UnpackedImage("fat16-quickformat.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    int driveDialogs = 0;
    RunTask(window, &ui::TWelcomeDialog::FindLostDataButton, [&](ui::TDriveDlg* drives) {
      ++driveDialogs;
      drives->Pages()->setCurrentIndex(0);
      if (!SelectRowContaining(drives->LogicalList(), "")) return false;
      Post(drives->OkButton());
      return true;
    });
    QCOMPARE(driveDialogs, 1);
    QVERIFY(window.CurrentDrive());
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Lost);
    QVERIFY(HasHitIn(*window.CurrentDrive(), "sunset.jpg", TTreeKind::Lost));
    QVERIFY(HasHitIn(*window.CurrentDrive(), "gradient.jpg", TTreeKind::Lost));
  }

  // "Find lost drive" on a disk whose partition entries are zeroed: the drive dialog opens on
  // its physical page (though the logical one was active), the search finds the FAT volume, and
  // its Root opens with the files written into it.
  void FindLostDriveTaskOpensTheFoundVolume() {
    RegisterDevices({test::UnpackedImage("lost-mbr-zeroed.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    window.DriveDialog()->Pages()->setCurrentIndex(0);
    int driveDialogs = 0;
    bool openedOnPhysicalPage = false;
    RunTask(window, &ui::TWelcomeDialog::FindLostDriveButton, [&](ui::TDriveDlg* drives) {
      if (driveDialogs++ == 0) {
        openedOnPhysicalPage = drives->Pages()->currentWidget()->isAncestorOf(drives->PhysicalList());
        drives->PhysicalList()->setCurrentRow(0);
        drives->UpdateButtons();
        Post(drives->FindButton());
        return true;
      }
      if (!SelectRowContaining(drives->LogicalList(), "LOSTFAT16")) return false;
      drives->UpdateButtons();
      Post(drives->OkButton());
      return true;
    });
    QVERIFY(openedOnPhysicalPage);
    QCOMPARE(driveDialogs, 2);
    QVERIFY(window.CurrentDrive());
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Root);
    QVERIFY(window.Tree()->ItemOf(window.SpecialNodes().Root)->isExpanded());
    QVERIFY(HasHitIn(*window.CurrentDrive(), "Read-Me-First.txt", TTreeKind::Root));
  }

 private:
  // Starts the window, presses the task's button in the welcome dialog (once) and lets
  // `answerDrives` answer the drive dialog; other windows are accepted.
  void RunTask(ui::TMainWindow& window, QPushButton* (ui::TWelcomeDialog::*task)() const,
               const std::function<bool(ui::TDriveDlg*)>& answerDrives) {
    window.PresetLanguage = 1000;
    bool activated = false;
    window.AfterActivation = [&] { activated = true; };
    int welcomes = 0;
    ModalDriver driver([&](QWidget* modal) {
      if (auto* welcome = qobject_cast<ui::TWelcomeDialog*>(modal)) {
        if (welcomes++) return false;
        Post((welcome->*task)());
        return true;
      }
      if (auto* drives = qobject_cast<ui::TDriveDlg*>(modal)) return answerDrives(drives);
      return AcceptOthers(modal);
    });
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(activated, 40000);
    QVERIFY(!driver.TimedOut);
    QCOMPARE(welcomes, 1);
  }
};

int RunWelcomeTests(int argc, char** argv) {
  WelcomeTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_welcome.moc"
