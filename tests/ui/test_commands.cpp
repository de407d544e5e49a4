#include <QTest>

#include "ui/Commands.h"
#include "ui/UiTests.h"

using salvex::ui::CommandState;
using salvex::ui::TCommandInput;
using salvex::ui::TCommandState;

class CommandTests : public QObject {
  Q_OBJECT
 private slots:
  void Enabling_data() {
    QTest::addColumn<bool>("driveOpen");
    QTest::addColumn<int>("selected");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("hasParent");
    // Expected: save, rename, properties, view, parent, find/lost/select-all group.
    QTest::addColumn<QString>("expected");
    QTest::newRow("no drive, rows selected") << false << 2 << false << true << "------";
    QTest::newRow("drive open, nothing selected") << true << 0 << false << false << "-----D";
    QTest::newRow("one file") << true << 1 << false << false << "SRPV-D";
    QTest::newRow("one folder: no view") << true << 1 << true << false << "SRP--D";
    QTest::newRow("two rows: save only") << true << 2 << false << false << "S----D";
    QTest::newRow("subfolder shown") << true << 0 << false << true << "----UD";
  }
  void Enabling() {
    QFETCH(bool, driveOpen);
    QFETCH(int, selected);
    QFETCH(bool, folder);
    QFETCH(bool, hasParent);
    QFETCH(QString, expected);
    TCommandInput in;
    in.DriveOpen = driveOpen;
    in.SelectedRows = size_t(selected);
    in.SingleIsFolder = folder;
    in.CurrentHasParent = hasParent;
    const TCommandState s = CommandState(in);
    QCOMPARE(s.SelectAll, s.Find);
    QCOMPARE(s.InvertSelection, s.FindLostData);
    QCOMPARE(s.DriveInfo, s.Find);
    QString got;
    got += s.SaveTo ? 'S' : '-';
    got += s.Rename ? 'R' : '-';
    got += s.Properties ? 'P' : '-';
    got += s.ViewAs ? 'V' : '-';
    got += s.ParentDir ? 'U' : '-';
    got += s.Find ? 'D' : '-';
    QCOMPARE(got, expected);
  }
};

int RunCommandTests(int argc, char** argv) {
  CommandTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_commands.moc"
