#include <QAction>
#include <QApplication>
#include <QDir>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <typeinfo>

#include "common/StringTable.h"
#include "devices/FileSystemRegistry.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/FindDialog.h"
#include "ui/FileListModel.h"
#include "ui/FolderTree.h"
#include "ui/MainWindow.h"
#include "ui/ModalDriver.h"
#include "ui/SaveSummaryDialog.h"
#include "ui/TargetFolderDialog.h"
#include "ui/Translate.h"
#include "ui/UiTests.h"

using namespace salvex;

class MainWindowTests : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    RegisterDevices({test::UnpackedImage("fat12.img.gz").string()}, TImageKind::Auto, false);
    LanguageBase = 1000;
  }
  void cleanup() { LanguageBase = 1000; }

  // Open the image, select a file in Root, save it through the target folder dialog, and find
  // the saved bytes equal to what was written into the image.
  void SavesSelectedFileFromRoot() {
    ui::TMainWindow window(false);
    window.PresetLanguage = 1000;
    window.PresetDrive = 0;
    bool activated = false;
    window.AfterActivation = [&] { activated = true; };
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(activated, 10000);
    QVERIFY(window.SpecialNodes().Root);
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Root);

    ui::TFileListModel* model = window.ListModel();
    int row = -1;
    for (int r = 0; r < model->rowCount(); ++r)
      if (model->data(model->index(r, 0), Qt::DisplayRole).toString().compare("readme.txt", Qt::CaseInsensitive) == 0)
        row = r;
    QVERIFY2(row >= 0, "readme.txt is listed in Root");
    QVERIFY(!window.Action("MenuSaveTo")->isEnabled());
    window.Selection()->select(model->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QVERIFY(window.Action("MenuSaveTo")->isEnabled());
    QVERIFY(window.Action("MenuViewAsHex")->isEnabled());
    QVERIFY(window.Panel(0)->text().startsWith("1 "));

    QTemporaryDir target;
    bool answered = false;
    QString savedCount;
    test_ui::ModalDriver driver([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<ui::TTargetFolderDialog*>(modal)) {
        dialog->SetFolder(target.path());
        answered = true;
        QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      if (auto* summary = qobject_cast<ui::TSaveSummaryDialog*>(modal)) {
        savedCount = summary->Count(0)->text();
        QMetaObject::invokeMethod(summary, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      return false;
    });
    window.Action("MenuSaveTo")->trigger();
    QVERIFY(answered);
    QVERIFY2(savedCount.startsWith("1 "), qPrintable(savedCount));

    const QStringList saved = QDir(target.path()).entryList(QDir::Files);
    QCOMPARE(saved.size(), 1);
    QCOMPARE(saved.front().toLower(), QString("readme.txt"));
    const auto manifest = test::ReadManifest(test::FixturePath("fat12-manifest.txt"));
    QCOMPARE(test::Sha256OfFile(QDir(target.path()).filePath(saved.front()).toStdString()),
             manifest.at("/readme.txt").Sha256);

    // Opening a folder row walks down the tree; the parent-folder command walks back.
    int docs = -1;
    for (int r = 0; r < model->rowCount(); ++r)
      if (model->data(model->index(r, 0), Qt::DisplayRole).toString() == "Docs") docs = r;
    QVERIFY(docs >= 0);
    TItem* docsFolder = model->ObjectAt(docs);
    QVERIFY(!window.Action("ButtonParentDir")->isEnabled());
    emit window.DetailsView()->activated(model->index(docs, 0));
    QCOMPARE(window.Tree()->SelectedNode()->Object, docsFolder);
    QCOMPARE(window.Tree()->ParentNode(window.Tree()->SelectedNode()), window.SpecialNodes().Root);
    QVERIFY(window.ListCaption()->text().contains("Docs"));
    QVERIFY(window.Action("ButtonParentDir")->isEnabled());
    QVERIFY(!window.Action("MenuSaveTo")->isEnabled());
    window.Action("ButtonParentDir")->trigger();
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Root);
    QCOMPARE(model->rowCount(), int(static_cast<TCustomDirectory*>(window.SpecialNodes().Root->Object)->Children->size()));
  }

  // The find command: Cancel before Start leaves the Search folder alone; a word becomes a
  // "*word*" mask whose hits fill the dialog's list and the Search folder shown in the list.
  void FindFillsSearchFolder() {
    ui::TMainWindow window(false);
    window.PresetLanguage = 1000;
    window.PresetDrive = 0;
    bool activated = false;
    window.AfterActivation = [&] { activated = true; };
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(activated, 10000);
    auto& find = static_cast<ui::TFindDlg&>(window.QtHost().FindDialog());
    TItem* searchFolder = window.SpecialNodes().Search->Object;
    auto* results = static_cast<TCustomDirectory*>(searchFolder);

    QTimer::singleShot(0, [&] { find.CancelButton()->click(); });
    window.Action("MenuFind")->trigger();
    QVERIFY(!find.isVisible());
    QVERIFY(!results->Children || results->Children->empty());

    QTimer::singleShot(0, [&] {
      find.NameEdit()->setText("deep");
      find.StartButton()->click();
    });
    window.Action("MenuFind")->trigger();
    QCOMPARE(find.Mask(), std::string("*deep*"));
    QVERIFY(!find.isVisible());
    QCOMPARE(find.HitCount()->text(), QString("2"));
    QCOMPARE(find.Hits()->count(), 2);
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Search);
    QStringList names;
    for (int r = 0; r < window.ListModel()->rowCount(); ++r)
      names << window.ListModel()->data(window.ListModel()->index(r, 0), Qt::DisplayRole).toString();
    names.sort(Qt::CaseInsensitive);
    QCOMPARE(names, (QStringList{"Deep-Binary.bin", "deep.txt"}));
    QCOMPARE(results->Children->size(), size_t(2));
  }

  // Every file system of the table opens in the window through the program's own setup: a volume
  // image of each becomes drive 0 with its folders listed.
  void OpensAVolumeOfEveryFileSystem() {
    for (const TFileSystem& fs : FileSystems()) {
      const auto fixture = test::VolumeFixtures().find(fs.Name);
      QVERIFY2(fixture != test::VolumeFixtures().end(), fs.Name.c_str());
      RegisterDevices({test::UnpackedImage(fixture->second.Image).string()}, TImageKind::Auto, false);
      ui::TMainWindow window(false);
      window.PresetLanguage = 1000;
      window.PresetDrive = 0;
      bool activated = false;
      window.AfterActivation = [&] { activated = true; };
      window.show();
      QTRY_VERIFY_WITH_TIMEOUT(activated, 10000);
      QVERIFY2(window.Drives().Count() == 1, fs.Name.c_str());
      QVERIFY2(window.CurrentDrive() == window.Drives().Items(0), fs.Name.c_str());
      const auto made = fs.Open();
      QVERIFY2(typeid(*window.CurrentDrive()) == typeid(*made), fs.Name.c_str());
      QVERIFY2(window.SpecialNodes().Root && window.ListModel()->rowCount() > 0, fs.Name.c_str());
    }
  }

  void TranslationSwitchesMenuTexts() {
    ui::TMainWindow window(false);
    QCOMPARE(window.Action("MenuDrive")->text(), QString("&Drive..."));
    LanguageBase = 3000;
    ui::TranslateComponent(&window);
    QCOMPARE(window.Action("MenuDrive")->text(), QString("&Laufwerk..."));
    QCOMPARE(window.Action("MenuDrive")->statusTip(), ui::Text(52));
    QVERIFY(window.Action("MenuDrive")->statusTip() != QString("Open a logical or physical drive"));
  }
};

int RunMainWindowTests(int argc, char** argv) {
  MainWindowTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_main_window.moc"
