#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "common/StringTable.h"
#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/StatusDialog.h"
#include "fat/FATdrive.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DriveDialog.h"
#include "ui/PreviewDialog.h"
#include "ui/RangeDialog.h"
#include "ui/SysInfoDialog.h"
#include "ui/TargetFolderDialog.h"
#include "ui/Translate.h"
#include "ui/UiTests.h"

using namespace salvex;

class DialogTests : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() {
    RegisterDevices({test::UnpackedImage("fat12.img.gz").string()}, TImageKind::Auto, false);
    devices_.DetectDevices(nullptr);
    for (size_t i = 0; i < devices_.Count(); ++i) drives_.DetectDrives(*devices_.Items(i));
    QVERIFY(drives_.Count() == 1);
  }

  // The logical page names volume and device; a FAT volume offers "no" and each FAT, and a
  // new choice goes into the volume at once.
  void DriveDialogOffersTheFATs() {
    TStatusDialog status;
    ui::TDriveDlg dialog(nullptr, devices_, drives_, status);
    dialog.show();
    QCOMPARE(dialog.LogicalList()->count(), 1);
    QVERIFY(dialog.LogicalList()->item(0)->text().contains("   on "));
    QCOMPARE(dialog.PhysicalList()->count(), int(devices_.Count()));
    QVERIFY(!dialog.FATBox()->isEnabled());
    dialog.LogicalList()->setCurrentRow(0);
    auto* fat = dynamic_cast<TFATdrive*>(drives_.Items(0));
    QVERIFY(fat);
    QCOMPARE(dialog.FATBox()->count(), int(fat->NumberOfFATs) + 1);
    QCOMPARE(dialog.FATBox()->itemText(0), QString("no"));
    QCOMPARE(dialog.FATBox()->currentIndex(), int(fat->FATCopy));
    const uint8_t before = fat->FATCopy;
    dialog.FATBox()->setCurrentIndex(0);
    QCOMPARE(int(fat->FATCopy), 0);
    fat->FATCopy = before;
  }

  void PreviewShowsBootSectorAndRoot() {
    ui::TPreviewDialog preview;
    preview.Fill(*drives_.Items(0));
    auto* fat = static_cast<TFATdrive*>(drives_.Items(0));
    QStringList fields;
    for (QLineEdit* edit : preview.findChildren<QLineEdit*>()) fields << edit->text();
    QVERIFY(fields.contains("FAT12"));
    QVERIFY(fields.contains(QString::number(fat->TotalSectors)));
    QStringList names;
    for (int i = 0; i < preview.RootList()->topLevelItemCount(); ++i) names << preview.RootList()->topLevelItem(i)->text(0);
    QVERIFY(names.contains("Docs"));
    QVERIFY(names.size() >= 10);
    QCOMPARE(preview.RootList()->headerItem()->text(0), ui::Text(608));
  }

  // A new folder is made only inside the chosen one, whatever the name typed.
  void NewFolderStaysInsideTheChosenFolder() {
    QTemporaryDir dir;
    ui::TTargetFolderDialog dialog;
    // The refusal is a warning box; close it as it opens.
    auto closeBoxes = [] {
      QTimer::singleShot(0, [] {
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
      });
    };
    for (const QString bad : {"", ".", "..", "../escape", "a/b"}) {
      dialog.SetFolder(dir.path());
      closeBoxes();
      QVERIFY2(!dialog.CreateFolder(bad), qPrintable(bad));
    }
    QVERIFY(!QDir(dir.path() + "/../escape").exists());
    dialog.SetFolder(dir.path());
    QVERIFY(dialog.CreateFolder("Recovered Ελληνικά"));
    QVERIFY(QDir(dir.path()).exists("Recovered Ελληνικά"));
    QCOMPARE(dialog.Folder(), dir.path() + "/Recovered Ελληνικά/");
  }

  // Captions follow the language: tags on labels, tab sheets and windows; a hint that is not a
  // number stays as written.
  void TranslateByTags() {
    QWidget window;
    auto* tabs = new QTabWidget(&window);
    auto* page = ui::Tagged(new QWidget, 231);
    tabs->addTab(page, "x");
    auto* label = ui::Tagged(new QLabel("x", &window), 238);
    label->setProperty(ui::kHint, "plain words");
    ui::Tagged(&window, 230);
    LanguageBase = 3000;
    ui::TranslateComponent(&window);
    LanguageBase = 1000;
    QCOMPARE(tabs->tabText(0), QString::fromStdString(LoadTextAt(3231)));
    QCOMPARE(label->text(), QString::fromStdString(LoadTextAt(3238)));
    QCOMPARE(window.windowTitle(), QString::fromStdString(LoadTextAt(3230)));
    QVERIFY(label->toolTip().isEmpty());
    QVERIFY(tabs->tabText(0) != QString::fromStdString(LoadTextAt(1231)));
  }

  // The lost-drive search from the physical page, over the proposed range, lists the volumes
  // of a disk whose partition table was wiped, on the logical page. Last: it registers another image.
  void FindsLostDrivesOnThePhysicalPage() {
    RegisterDevices({test::UnpackedImage("lost-mbr-zeroed.img.gz").string()}, TImageKind::Disk, false);
    TDeviceList devices;
    TDriveList drives;
    devices.DetectDevices(nullptr);
    QCOMPARE(devices.Count(), size_t(1));
    drives.DetectDrives(*devices.Items(0));
    const size_t before = drives.Count();
    TStatusDialog status;
    ui::TDriveDlg dialog(nullptr, devices, drives, status);
    dialog.show();
    dialog.ShowPhysicalPage();
    dialog.PhysicalList()->setCurrentRow(0);
    QPushButton* find = nullptr;
    for (QPushButton* b : dialog.findChildren<QPushButton*>())
      if (b->property(ui::kTag).toInt() == 235) find = b;
    QVERIFY(find && find->isEnabled());
    QTimer::singleShot(0, [] {
      if (auto* range = qobject_cast<QDialog*>(QApplication::activeModalWidget())) range->accept();
    });
    find->click();
    QVERIFY(drives.Count() > before);
    QCOMPARE(dialog.Pages()->currentIndex(), 0);
    QCOMPARE(dialog.LogicalList()->count(), int(drives.Count()));
    bool lostListed = false;
    for (int i = 0; i < dialog.LogicalList()->count(); ++i)
      lostListed |= dialog.LogicalList()->item(i)->text().contains("(lost)   on ");
    QVERIFY(lostListed);
  }

  // System information comes from this machine: a processor, memory in megabytes that add up, the
  // kernel.
  void SystemInformation() {
    ui::TSysInfoDialog dialog;
    dialog.Prepare();
    QVERIFY(!dialog.Field(0).isEmpty());
    auto megabytes = [&](int field) -> qulonglong {
      QString text = dialog.Field(field);
      if (!text.endsWith(" MB")) return 0;
      text.chop(3);
      return QLocale().toULongLong(text);
    };
    const qulonglong total = megabytes(3), free = megabytes(4);
    QVERIFY(total > 0);
    QVERIFY(free <= total);
    QVERIFY(dialog.Field(6).startsWith("linux"));
  }

  // The range dialogs: the sector bars from the caller's range, the cluster bars kept from the
  // last use, sizes, a start bar that cannot pass the end bar, and typed values passed back as
  // typed (the searches bound them).
  void RangeDialogs() {
    ui::TRangeDialog sectors(nullptr, false, 512);
    sectors.Prepare(0, 100000, 0, 1999999);
    QCOMPARE(sectors.EndBar()->value(), 2);  // 2.5 rounds to even
    QCOMPARE(sectors.SizeLabel()->text(), QLocale().toString(48.83, 'f', 2) + " MB");
    sectors.StartBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    QCOMPARE(sectors.StartField()->text(), QString("0"));
    QCOMPARE(sectors.StartBar()->value(), 0);
    sectors.StartBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(sectors.StartField()->text(), QString("40000"));
    QCOMPARE(ui::TRangeDialog::SizeText(4194304, 512), QLocale().toString(2.0, 'f', 2) + " GB");

    uint64_t first = 0, last = 0;
    QTimer::singleShot(0, [&] {
      sectors.StartField()->setText("5000000");
      sectors.EndField()->setText("");
      sectors.accept();
    });
    QVERIFY(sectors.Execute(first, last, 0, 1999999));
    QCOMPARE(first, uint64_t(5000000));
    QCOMPARE(last, uint64_t(0));

    // First use on 1000 clusters: 2 ... 1001, whatever the caller proposed.
    ui::TRangeDialog clusters(nullptr, true, 4096);
    clusters.Prepare(500, 600, 2, 1001);
    QCOMPARE(clusters.StartField()->text(), QString("2"));
    QCOMPARE(clusters.EndField()->text(), QString("1001"));
    QCOMPARE(clusters.SizeLabel()->text(), QString("4 MB"));
    clusters.EndBar()->setSliderPosition(25);
    clusters.EndBar()->triggerAction(QAbstractSlider::SliderMove);
    QCOMPARE(clusters.EndField()->text(), QString("502"));  // round(25/50 x 998) + 3
    clusters.StartBar()->setSliderPosition(25);
    clusters.StartBar()->triggerAction(QAbstractSlider::SliderMove);
    QCOMPARE(clusters.StartField()->text(), QString("501"));
    // The bars stay for the next volume, whose numbers they now stand for.
    clusters.Prepare(0, 0, 2, 2001);
    QCOMPARE(clusters.StartField()->text(), QString("1001"));
    QCOMPARE(clusters.EndField()->text(), QString("1002"));

    first = 2, last = 1001;
    QTimer::singleShot(0, [&] {
      clusters.StartField()->setText("abc");
      clusters.accept();
    });
    QVERIFY(!clusters.Execute(first, last, 2, 1001));
    QCOMPARE(first, uint64_t(2));
    QCOMPARE(last, uint64_t(1001));
  }

 private:
  TDeviceList devices_;
  TDriveList drives_;
};

int RunDialogTests(int argc, char** argv) {
  DialogTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_dialogs.moc"
