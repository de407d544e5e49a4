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

namespace {

// A volume of one folder whose rows are what the test puts in, ordered as the test says.
struct TOrderDrive : TCustomDrive {
  TListOrder Order;
  bool ReadSectors(uint64_t, uint32_t, bool, uint8_t*) override { return false; }
  bool Mount(bool) override { return true; }
  bool FindLostData(TStatusDialog*) override { return false; }
  std::vector<TListColumn> ListColumns() const override { return StandardColumns("number"); }
  TListOrder ListOrder() const override { return Order; }
  std::string FileSystemName() const override { return "test"; }
  uint32_t BytesPerSector() const override { return 512; }
};

struct TOrderFile : TCustomFile {
  std::unique_ptr<TItem> Clone() const override { return nullptr; }
  bool Rename(const std::string&) override { return false; }
  std::string GetPath(const TCustomDirectory*) const override { return ""; }
};

struct TOrderFolder : TCustomDirectory {
  std::unique_ptr<TItem> Clone() const override { return nullptr; }
  std::string GetPath(const TCustomDirectory*) const override { return ""; }
  bool Rename(const std::string&) override { return false; }
  void LoadListing(bool) override {}
  bool MayHaveSubfolders(bool) override { return false; }
  TListRow ListRow(const TItem& child) const override { return {ShownName(child), TRowIcon::File, {}}; }
  TSortKey SortKey(const TItem& child, bool) const override {
    TSortKey key;
    key.Name = ShownName(child);
    if (auto* f = dynamic_cast<const TCustomFile*>(&child)) key.Size = f->Size;
    return key;
  }
  bool Search(const std::function<bool(TItem&)>&, bool) override { return true; }
  static std::string ShownName(const TItem& item) {
    if (auto* f = dynamic_cast<const TCustomFile*>(&item)) return f->Name;
    return static_cast<const TCustomDirectory&>(item).Name;
  }
};

}  // namespace

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
    model.SetColumns(drive_->ListColumns());
    QCOMPARE(model.columnCount(), 6);
    TCustomDirectory& root = *drive_->RootFolder;
    model.ShowFolder(root, false);
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
    model.ShowFolder(root, false);
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

  // The list orders rows as the volume describes: folders first (in descending order too where the
  // volume says so), lost names by their numbers.
  void RowsSortAsTheVolumeOrders() {
    struct Case {
      const char* what;
      int column;
      bool descending, foldersFirstAlways;
      std::vector<std::string> rows;
    };
    const Case cases[] = {
        {"by name", 0, false, false, {"Alpha", "beta", "a.txt", "B.txt", "file9", "file10"}},
        {"by name, descending", 0, true, false, {"file10", "file9", "B.txt", "a.txt", "beta", "Alpha"}},
        {"by name, descending, folders first", 0, true, true, {"beta", "Alpha", "file10", "file9", "B.txt", "a.txt"}},
        {"by size, descending, folders first", 1, true, true, {"beta", "Alpha", "file9", "B.txt", "a.txt", "file10"}},
    };
    for (const Case& c : cases) {
      TOrderDrive drive;
      drive.Order.FoldersFirstAlways = c.foldersFirstAlways;
      TOrderFolder folder;
      folder.Drive = &drive;
      folder.Children.emplace();
      for (const char* name : {"beta", "Alpha"}) {
        auto d = std::make_unique<TOrderFolder>();
        d->Name = name;
        d->Drive = &drive;
        folder.Adopt(std::move(d));
      }
      const std::pair<const char*, uint64_t> files[] = {{"file10", 1}, {"B.txt", 20}, {"a.txt", 5}, {"file9", 30}};
      for (const auto& [name, size] : files) {
        auto f = std::make_unique<TOrderFile>();
        f->Name = name;
        f->Size = size;
        f->Drive = &drive;
        // Lost files are named after their numbers and compare by them.
        if (std::string(name).rfind("file", 0) == 0) f->Flags = ItemLost;
        folder.Adopt(std::move(f));
      }
      ui::TFileListModel model;
      model.SetColumns(drive.ListColumns());
      model.SetSort(c.column, c.descending);
      model.ShowFolder(folder, false);
      std::vector<std::string> rows;
      for (int row = 0; row < model.rowCount(); ++row)
        rows.push_back(model.data(model.index(row, 0), Qt::DisplayRole).toString().toStdString());
      QVERIFY2(rows == c.rows, c.what);
    }
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
