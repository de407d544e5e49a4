#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QLocale>
#include <QTest>

#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/FileListModel.h"
#include "ui/UiTests.h"

using namespace salvex;

class FileListTests : public QObject {
  Q_OBJECT
 private slots:
  // Cells in the chosen language's formats; a lost file's stored date of 0 shows nothing.
  void CellsFollowTheLanguage() {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(ui::LocalizedCell("49152", ui::TCellKind::Size), QString("49.152"));
    QCOMPARE(ui::LocalizedCell("24.12.2023 17:05", ui::TCellKind::Modified), QString("24.12.23 17:05"));
    QCOMPARE(ui::LocalizedCell("00.00.1980 00:00", ui::TCellKind::Modified), QString());
    QCOMPARE(ui::LocalizedCell("31.02.2001 10:00", ui::TCellKind::Modified), QString());
    QCOMPARE(ui::LocalizedCell("49152", ui::TCellKind::Other), QString("49152"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(ui::LocalizedCell("49152", ui::TCellKind::Size), QString("49,152"));
    QCOMPARE(ui::LocalizedCell("24.12.2023 17:05", ui::TCellKind::Modified), QString("12/24/23 5:05 PM"));
    QLocale::setDefault(before);
  }

  void initTestCase() {
    RegisterDevices({test::UnpackedImage("fat12.img.gz").string()}, TImageKind::Auto, false);
    devices_.DetectDevices(nullptr);
    for (size_t i = 0; i < devices_.Count(); ++i) drives_.DetectDrives(*devices_.Items(i));
    QVERIFY(drives_.Count() >= 1);
    drive_ = drives_.Items(0);
    QVERIFY(drive_->HasSpecialFolders());
  }

  // The model stays consistent through the resets and column inserts the volume drives it with,
  // and every row shows its child: folders first, names, sizes, right-aligned numbers.
  void RowsFollowTheFolder() {
    ui::TFileListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QItemSelectionModel selection(&model);
    model.SetSelectionModel(&selection);
    drive_->SetupListColumns(model);
    QCOMPARE(model.columnCount(), 6);
    TCustomDirectory& root = *drive_->RootFolder;
    root.FillListView(model, false);
    QVERIFY(root.Children);
    QCOMPARE(size_t(model.rowCount()), root.Children->size());
    QVERIFY(model.rowCount() > 5);

    bool seenFile = false;
    for (int row = 0; row < model.rowCount(); ++row) {
      TItem* object = model.ObjectAt(row);
      const QString name = model.data(model.index(row, 0), Qt::DisplayRole).toString();
      QVERIFY2(!name.isEmpty(), qPrintable(QString("row %1").arg(row)));
      QVERIFY(model.data(model.index(row, 0), Qt::DecorationRole).isValid());
      if (auto* file = dynamic_cast<TCustomFile*>(object)) {
        seenFile = true;
        QCOMPARE(model.data(model.index(row, 1), Qt::DisplayRole).toString(), QLocale().toString(qulonglong(file->Size)));
      } else {
        QVERIFY2(!seenFile, "folders come before files");
      }
    }
    QCOMPARE(model.data(model.index(0, 1), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
             Qt::AlignRight);

    // Sorting by size, descending, reorders the folder's own children.
    model.SetSort(1, true);
    root.FillListView(model, false);
    uint64_t previous = UINT64_MAX;
    for (int row = 0; row < model.rowCount(); ++row)
      if (auto* file = dynamic_cast<TCustomFile*>(model.ObjectAt(row))) {
        QVERIFY(file->Size <= previous);
        previous = file->Size;
      }

    // Selected rows are what the save reads.
    selection.select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection.select(model.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(model.SelectedRows(), (std::vector<size_t>{0, 2}));
    QCOMPARE(SelectedObjects(model).size(), size_t(2));

    // While the folder changes, rows answer nothing; an emptied list has no rows.
    model.BeginListUpdate();
    QVERIFY(!model.data(model.index(0, 0), Qt::DisplayRole).isValid());
    model.EndListUpdate();
    model.SetSource(nullptr);
    QCOMPARE(model.rowCount(), 0);
  }

 private:
  TDeviceList devices_;
  TDriveList drives_;
  TCustomDrive* drive_ = nullptr;
};

int RunFileListTests(int argc, char** argv) {
  FileListTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_file_list.moc"
