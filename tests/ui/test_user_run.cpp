// What a new user's run of the desktop program found: each scenario repeats the steps that went
// wrong, on the demo image, through the real widgets.
#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidgetItem>

#include "devices/Model.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DriveDialog.h"
#include "ui/FileListModel.h"
#include "ui/FindDialog.h"
#include "ui/FolderTree.h"
#include "ui/MainWindow.h"
#include "ui/ModalDriver.h"
#include "ui/UiTests.h"

using namespace salvex;
using namespace test_ui;

namespace {

bool Activate(ui::TMainForm& window, int volume) {
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

void ClickNode(ui::TMainForm& window, TTreeNode* node) {
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
    ui::TMainForm window(false);
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
    ui::TMainForm window(false);
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
    ui::TMainForm window(false);
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
};

int RunUserRunTests(int argc, char** argv) {
  UserRunTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_user_run.moc"
