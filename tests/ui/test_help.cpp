// The help window: the guide compiled into the program, its links, one window per main window.
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>

#include "common/StringTable.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindow.h"
#include "ui/UiTests.h"

using namespace salvex;

class HelpTests : public QObject {
  Q_OBJECT
 private slots:
  void init() { LanguageBase = 1000; }

  // F1 opens the guide; pressing it again raises the same window; every link inside the guide
  // leads to a heading, and following one scrolls there.
  void HelpTopicsOpensOneGuide() {
    ui::TMainForm window(false);
    window.Action("MenuHelpTopic")->trigger();
    ui::THelpWindow* help = window.HelpWindow();
    QVERIFY(help);
    QVERIFY(help->isVisible());
    QVERIFY(!help->isModal());
    const QString text = help->Browser()->toPlainText();
    for (const char* heading : {"Recover deleted files", "Find lost data", "Find lost drive", "Saving files"})
      QVERIFY2(text.contains(heading), heading);
    window.Action("MenuHelpTopic")->trigger();
    QCOMPARE(window.HelpWindow(), help);
    QCOMPARE(window.findChildren<ui::THelpWindow*>().size(), 1);

    QSet<QString> anchors;
    QStringList links;
    for (QTextBlock block = help->Browser()->document()->begin(); block.isValid(); block = block.next())
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat format = it.fragment().charFormat();
        for (const QString& name : format.anchorNames()) anchors.insert(name);
        if (format.anchorHref().startsWith('#')) links << format.anchorHref().mid(1);
      }
    QVERIFY(links.size() >= 10);
    for (const QString& link : links) QVERIFY2(anchors.contains(link), qPrintable(link));

    QScrollBar* bar = help->Browser()->verticalScrollBar();
    QCOMPARE(bar->value(), 0);
    emit help->Browser()->anchorClicked(QUrl("#the-command-line"));
    QTRY_VERIFY(bar->value() > 0);

    help->findChild<QPushButton*>()->click();
    QVERIFY(!help->isVisible());
  }

  // Opened from a modal dialog (the welcome dialog's Help button), the guide still takes input.
  void HelpFromModalDialogTakesInput() {
    ui::TMainForm window(false);
    QDialog modal(&window);
    bool closed = false;
    QTimer::singleShot(0, [&] {
      window.Action("MenuHelpTopic")->trigger();
      if (ui::THelpWindow* help = window.HelpWindow(); help && QTest::qWaitForWindowExposed(help)) {
        // Through the window system, where a modal dialog blocks the windows it does not own.
        QPushButton* close = help->findChild<QPushButton*>();
        QTest::mouseClick(help->windowHandle(), Qt::LeftButton, {}, close->mapTo(help, close->rect().center()));
        closed = !help->isVisible();
      }
      modal.reject();
    });
    modal.exec();
    QVERIFY(closed);
  }
};

int RunHelpTests(int argc, char** argv) {
  HelpTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_help.moc"
