// What a new user's run of the desktop program found: each scenario repeats the steps that went
// wrong, on the demo image, through the real widgets.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidgetItem>

#include "devices/DeviceList.h"
#include "devices/DriveList.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "recovery/Browse.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DriveDialog.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
#include "ui/FolderTree.h"
#include "ui/PreviewDialog.h"
#include "ui/PropertiesDialog.h"
#include "ui/RangeDialog.h"
#include "ui/SaveSummaryDialog.h"
#include "ui/TargetFolderDialog.h"
#include "ui/Translate.h"
#include "ui/MainWindow.h"
#include "ui/ModalDriver.h"
#include "ui/UiTests.h"

using namespace salvex;
using namespace test_ui;

namespace {

bool Activate(ui::TMainWindow& window, int volume) {
  window.PresetLanguage = 1000;
  window.PresetDrive = volume;
  bool activated = false;
  window.AfterActivation = [&] { activated = true; };
  window.show();
  return QTest::qWaitFor([&] { return activated; }, 20000);
}

size_t SearchHits(TCustomDrive* drive) {
  return drive && drive->SearchFolder && drive->SearchFolder->Children ? drive->SearchFolder->Children->size() : 0;
}

int RowNamed(ui::TFileListModel* model, const QString& name) {
  for (int r = 0; r < model->rowCount(); ++r)
    if (model->data(model->index(r, 0), Qt::DisplayRole).toString() == name) return r;
  return -1;
}

void ClickNode(ui::TMainWindow& window, TTreeNode* node) {
  QTreeWidgetItem* item = window.Tree()->ItemOf(node);
  const QRect rect = window.Tree()->visualItemRect(item);
  QTest::mouseClick(window.Tree()->viewport(), Qt::LeftButton, {}, rect.center());
}

// The in-place editor of a list row, while one is open.
QLineEdit* OpenEditor(QAbstractItemView* view) {
  for (QLineEdit* edit : view->viewport()->findChildren<QLineEdit*>())
    if (edit->isVisible()) return edit;
  return nullptr;
}

}  // namespace

class UserRunTests : public QObject {
  Q_OBJECT
 private slots:
  void init() { RegisterDevices({test::UnpackedImage("demo.img.gz").string()}, TImageKind::Auto, false); }

  // Find stays open while the user presses Ctrl+O. The volume it searches must not go away under
  // it: the find ends, the drive dialog follows, and a search afterwards fills the new volume's
  // Searched folder (not the old one's). A rescan from there leaves no search behind either.
  void FindHoldsItsVolumeAcrossCtrlO() {
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    auto& find = static_cast<ui::TFindDlg&>(window.QtHost().FindDialog());
    TCustomDrive* first = window.CurrentDrive();
    bool rescan = false;
    int driveDialogs = 0;
    ModalDriver driver([&](QWidget* modal) {
      if (auto* drives = qobject_cast<ui::TDriveDlg*>(modal)) {
        ++driveDialogs;
        if (rescan) {
          Post(drives->RescanButton());
          rescan = false;
          return true;
        }
        if (window.Drives().Count() == 0 || driveDialogs > 2) {
          Post(drives->CancelButton());
          return true;
        }
        drives->Pages()->setCurrentIndex(0);
        drives->LogicalList()->setCurrentRow(1);
        Post(drives->OkButton());
        return true;
      }
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
          QMetaObject::invokeMethod(yes, &QAbstractButton::click, Qt::QueuedConnection);
          return true;
        }
        QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      return false;
    });

    QTimer::singleShot(0, [&] {
      window.Action("MenuDrive")->trigger();
      if (find.isVisible()) {
        find.NameEdit()->setText("txt");
        find.StartButton()->click();
      }
    });
    window.Action("MenuFind")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(window.CurrentDrive() && window.CurrentDrive() != first, 20000);
    QVERIFY(!find.isVisible());
    QCOMPARE(SearchHits(first), size_t(0));

    QTimer::singleShot(0, [&] {
      find.NameEdit()->setText("txt");
      find.StartButton()->click();
    });
    window.Action("MenuFind")->trigger();
    QVERIFY(SearchHits(window.CurrentDrive()) > 0);
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Search);
    QCOMPARE(size_t(window.ListModel()->rowCount()), SearchHits(window.CurrentDrive()));

    // Ctrl+O, Rescan, Yes, Cancel while Find waits: the volumes are gone, and so is the search.
    rescan = true;
    QTimer::singleShot(0, [&] { window.Action("MenuDrive")->trigger(); });
    window.Action("MenuFind")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.CurrentDrive() && !QApplication::activeModalWidget(), 20000);
    QVERIFY(!find.isVisible());
    QVERIFY(!driver.TimedOut);
    // Nothing of the closed volume stays in the status bar.
    QVERIFY(!window.Panel(0)->text().contains("item"));
    QVERIFY(window.Panel(1)->text().isEmpty());
  }

  // A click on Root, already the tree's current node after the second volume opened, shows
  // Root's files; the Deleted folder shows its files with the crossed-out file icon.
  void ClickOnTheCurrentNodeAndDeletedIcons() {
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    QVERIFY(window.OpenDrive(1, -1, true));
    // The tree taking the focus made Root its current node, unselected.
    QApplication::setActiveWindow(&window);
    window.Tree()->setFocus(Qt::TabFocusReason);
    QTest::qWait(200);
    QCOMPARE(window.Tree()->currentItem(), window.Tree()->ItemOf(window.SpecialNodes().Root));
    QCOMPARE(window.ListModel()->rowCount(), 0);
    ClickNode(window, window.SpecialNodes().Root);
    QVERIFY(RowNamed(window.ListModel(), "Welcome.txt") >= 0);

    // The tree taking the focus clears the list's selection.
    window.Selection()->select(window.ListModel()->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    window.activateWindow();
    window.DetailsView()->setFocus();
    QTest::keyClick(window.DetailsView(), Qt::Key_Tab, Qt::ShiftModifier);
    QTRY_VERIFY(window.Tree()->hasFocus());
    QVERIFY(window.Selection()->selectedRows().isEmpty());

    ClickNode(window, window.SpecialNodes().Deleted);
    window.Tree()->ItemOf(window.SpecialNodes().Deleted)->setExpanded(true);
    // Deleted lists folders down to the deleted file; walk to a folder holding one.
    TTreeNode* reports = nullptr;
    QTreeWidgetItem* deleted = window.Tree()->ItemOf(window.SpecialNodes().Deleted);
    for (int i = 0; i < deleted->childCount(); ++i)
      if (deleted->child(i)->text(0) == "Reports") reports = window.Tree()->NodeOf(deleted->child(i));
    QVERIFY(reports);
    ClickNode(window, reports);
    const int row = RowNamed(window.ListModel(), "Draft-Deleted.txt");
    QVERIFY(row >= 0);
    const QVariant icon = window.ListModel()->data(window.ListModel()->index(row, 0), Qt::DecorationRole);
    QVERIFY(icon.isValid() && !icon.value<QIcon>().isNull());
  }

  // F2 on a file, the name of a folder beside it: the refusal appears after the editor closed,
  // and F2 edits again afterwards.
  void RenameWorksAfterARefusal() {
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    ui::TFileListModel* model = window.ListModel();
    const int readme = RowNamed(model, "README.txt");
    QVERIFY(readme >= 0);
    int refusals = 0;
    bool boxOverEditor = false;
    ModalDriver driver([&](QWidget* modal) {
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        ++refusals;
        // A box over an open editor takes its focus, and the view then never edits again.
        if (OpenEditor(window.DetailsView())) boxOverEditor = true;
        QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      return false;
    });
    QTreeView* view = window.DetailsView();
    window.activateWindow();
    view->setFocus();
    window.Selection()->setCurrentIndex(model->index(readme, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    for (int attempt = 0; attempt < 2; ++attempt) {
      window.Action("MenuRename")->trigger();
      QTRY_VERIFY(OpenEditor(view));
      QLineEdit* editor = OpenEditor(view);
      editor->setText("Letters");
      QTest::keyClick(editor, Qt::Key_Return);
      QTRY_COMPARE(refusals, attempt + 1);
      QTRY_VERIFY(!QApplication::activeModalWidget());
      QTRY_VERIFY(!OpenEditor(view));
    }
    QVERIFY(!boxOverEditor);
    QCOMPARE(model->data(model->index(readme, 0), Qt::DisplayRole).toString(), QString("README.txt"));
  }

  // Files found by the lost-data search on a quick-formatted card have no chain in the FAT: the
  // target dialog proposes "no FAT". Following FAT 1 anyway fails file by file; the first
  // failure offers Skip all, and the summary lists every failure with its reason and can keep
  // the report. With the proposal, every file is saved whole.
  void LostFilesSaveWithoutAFATAndTheSaveSaysHowItWent() {
    RegisterDevices({test::UnpackedImage("fat16-quickformat.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    int proposed = -1, fatChoice = 1, errors = 0;
    QString target, errorButtons;
    QStringList summaries;
    int failedShown = -1, problemRows = -1, savedShown = -1;  // failed: not whole
    QTemporaryDir folders;
    QString report = folders.filePath("report.json");
    ModalDriver driver([&](QWidget* modal) {
      if (auto* range = qobject_cast<ui::TRangeDialog*>(modal)) {
        QMetaObject::invokeMethod(range, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      if (auto* dialog = qobject_cast<ui::TTargetFolderDialog*>(modal)) {
        proposed = dialog->FATBox()->currentIndex();
        dialog->FATBox()->setCurrentIndex(fatChoice);
        dialog->SetFolder(target);
        QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      if (auto* summary = qobject_cast<ui::TSaveSummaryDialog*>(modal)) {
        summaries << summary->Heading()->text();
        savedShown = summary->Count(0)->text().section(' ', 0, 0).toInt();
        // Partly saved and failed files: neither is whole.
        failedShown = summary->Count(2)->text().toInt() + summary->Count(3)->text().toInt();
        problemRows = summary->Problems()->topLevelItemCount();
        summary->WriteReport(report);
        QMetaObject::invokeMethod(summary, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        ++errors;
        for (QAbstractButton* b : box->buttons()) errorButtons += b->text() + "|";
        for (QAbstractButton* b : box->buttons())
          if (b->text() == ui::Text(803)) {
            QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection);
            return true;
          }
        QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      return false;
    });
    window.FindLostDataCommand();
    QCOMPARE(window.Tree()->SelectedNode(), window.SpecialNodes().Lost);
    auto selectAll = [&] {
      window.Selection()->select(QItemSelection(window.ListModel()->index(0, 0),
                                                window.ListModel()->index(window.ListModel()->rowCount() - 1, 0)),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    };
    selectAll();
    QVERIFY(window.ListModel()->rowCount() > 0);

    QDir(folders.path()).mkdir("fat1");
    target = folders.filePath("fat1");
    window.Action("MenuSaveTo")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(summaries.size(), 1, 20000);
    QCOMPARE(proposed, 0);
    QCOMPARE(errors, 1);
    QVERIFY2(errorButtons.contains(ui::Text(802)) && errorButtons.contains(ui::Text(804)), qPrintable(errorButtons));
    QVERIFY2(failedShown > 1, qPrintable(QString("saved %1 failed %2 rows %3").arg(savedShown).arg(failedShown).arg(problemRows)));
    QVERIFY(problemRows >= failedShown);
    QFile json(report);
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonObject written = QJsonDocument::fromJson(json.readAll()).object()["report"].toObject();
    QCOMPARE(written["failed"].toInt() + written["partial"].toInt(), failedShown);
    int withReasons = 0;
    for (const QJsonValue& file : written["files"].toArray())
      if (!file.toObject()["failures"].toArray().isEmpty()) ++withReasons;
    QCOMPARE(withReasons, failedShown);

    QDir(folders.path()).mkdir("nofat");
    target = folders.filePath("nofat");
    fatChoice = 0;
    errors = 0;
    selectAll();
    window.Action("MenuSaveTo")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(summaries.size(), 2, 20000);
    QCOMPARE(errors, 0);
    QCOMPARE(failedShown, 0);
    QVERIFY(savedShown > 1);
    QVERIFY(summaries.back().contains("nofat"));
    QVERIFY(!driver.TimedOut);
  }

  // A stick whose partition table was wiped, the volume the user wants past the proposed range:
  // the search says where it stopped and goes on to the disk's end when asked.
  void LostDriveSearchOffersTheRestOfTheDisk() {
    QTemporaryDir dir;
    const QString image = dir.filePath("wiped.img");
    QVERIFY(QFile::copy(QString::fromStdString(test::UnpackedImage("mbr-extended.img.gz").string()), image));
    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.setPermissions(file.permissions() | QFileDevice::WriteOwner);
    QVERIFY(file.write(QByteArray(512, 0)) == 512);
    file.close();
    RegisterDevices({image.toStdString()}, TImageKind::Disk, false);
    TDeviceList devices;
    TDriveList drives;
    devices.DetectDevices(nullptr);
    QCOMPARE(devices.Count(), size_t(1));
    TStatusDialog status;
    ui::TDriveDlg dialog(nullptr, devices, drives, status);
    auto listedAt = [&](uint64_t sector) {
      for (size_t i = 0; i < drives.Count(); ++i)
        if (drives.Items(i)->FirstSector == sector) return true;
      return false;
    };
    QString question;
    bool pastTheRangeBefore = true;
    ModalDriver driver([&](QWidget* modal) {
      if (auto* range = qobject_cast<ui::TRangeDialog*>(modal)) {
        QMetaObject::invokeMethod(range, &QDialog::accept, Qt::QueuedConnection);
        return true;
      }
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        question = box->text();
        pastTheRangeBefore = listedAt(100352);
        QMetaObject::invokeMethod(box->button(QMessageBox::Yes), &QAbstractButton::click, Qt::QueuedConnection);
        return true;
      }
      return false;
    });
    dialog.show();
    dialog.ShowPhysicalPage();
    dialog.PhysicalList()->setCurrentRow(0);
    dialog.FindButton()->click();
    QVERIFY(listedAt(2048) && listedAt(28672));
    QVERIFY2(question.contains(QLocale().toString(131071)), qPrintable(question));
    QVERIFY(!pastTheRangeBefore);
    QVERIFY(listedAt(100352));
    QCOMPARE(dialog.LogicalList()->count(), int(drives.Count()));
    QVERIFY(!driver.TimedOut);
  }

  // An ext file brought back from the journal opens in the properties dialog: its inode finds its
  // data (no cluster to edit), and the dialog says where its inode came from.
  void ExtItemsHaveProperties() {
    RegisterDevices({test::UnpackedImage("ext4.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    TResult<TItem*> gone = ResolvePath(*window.CurrentDrive(), TTreeKind::Deleted, "Gone/file-1.txt");
    QVERIFY(gone.Ok());
    ui::TItemFields fields;
    QVERIFY(ui::ReadItemFields(*gone.Value(), fields));
    QCOMPARE(fields.Name, QString("file-1.txt"));
    QCOMPARE(fields.Size, uint64_t(900));
    QVERIFY(!fields.ClusterEnabled);
    QStringList facts;
    for (const auto& [label, value] : ui::ItemFacts(*gone.Value())) facts << label + " " + value;
    QVERIFY2(facts.join('|').contains(ui::TextWith(904, {QString()}).section(' ', 0, 2)), qPrintable(facts.join('|')));
  }

  // An exFAT volume opens in the desktop program and the drive dialog's preview shows it.
  void ExFATOpensAndPreviews() {
    RegisterDevices({test::UnpackedImage("exfat.img.gz").string()}, TImageKind::Auto, false);
    ui::TMainWindow window(false);
    QVERIFY(Activate(window, 0));
    QVERIFY(window.CurrentDrive());
    QCOMPARE(window.CurrentDrive()->FileSystemName(), std::string("exFAT"));
    QVERIFY(RowNamed(window.ListModel(), "tiny.txt") >= 0);
    ui::TPreviewDialog preview;
    preview.Fill(*window.CurrentDrive());
    QStringList fields;
    for (QLineEdit* edit : preview.findChildren<QLineEdit*>()) fields << edit->text();
    QVERIFY2(fields.contains("exFAT"), qPrintable(fields.join('|')));
    QStringList names;
    for (int i = 0; i < preview.RootList()->topLevelItemCount(); ++i) names << preview.RootList()->topLevelItem(i)->text(0);
    QVERIFY(names.contains("tiny.txt"));
  }
};

int RunUserRunTests(int argc, char** argv) {
  UserRunTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_user_run.moc"
