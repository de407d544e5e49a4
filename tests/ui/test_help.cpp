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
#include <QUrl>
#include <algorithm>

#include "common/StringTable.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindow.h"
#include "ui/Translate.h"
#include "ui/UiTests.h"

using namespace salvex;

namespace {

// Every link inside the guide leads to one of its headings.
bool LinksLeadToHeadings(ui::THelpWindow& help) {
  QSet<QString> anchors;
  QStringList links;
  for (QTextBlock block = help.Browser()->document()->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      for (const QString& name : format.anchorNames()) anchors.insert(name);
      if (format.anchorHref().startsWith('#')) links << QUrl(format.anchorHref()).fragment();
    }
  for (const QString& link : links)
    if (!anchors.contains(link)) qWarning("no heading for the link #%s", qPrintable(link));
  return links.size() >= 10 && std::all_of(links.begin(), links.end(), [&](const QString& l) { return anchors.contains(l); });
}

}  // namespace

class HelpTests : public QObject {
  Q_OBJECT
 private slots:
  void init() { LanguageBase = 1000; }

  // F1 opens the guide; pressing it again raises the same window; every link inside the guide
  // leads to a heading, and following one scrolls there.
  void HelpTopicsOpensOneGuide() {
    ui::TMainWindow window(false);
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

    QVERIFY(LinksLeadToHeadings(*help));

    QScrollBar* bar = help->Browser()->verticalScrollBar();
    QCOMPARE(bar->value(), 0);
    emit help->Browser()->anchorClicked(QUrl("#the-command-line"));
    QTRY_VERIFY(bar->value() > 0);

    help->findChild<QPushButton*>()->click();
    QVERIFY(!help->isVisible());
  }

  // Each language with a guide of its own shows it, with the tasks named as the welcome dialog
  // names them, and its links lead to its headings; the others show the English guide.
  void EachLanguageItsGuide() {
    for (const auto& [base, resource] : {std::pair{1000, ":/help/guide.md"}, {3000, ":/help/guide.de.md"},
                                         {5000, ":/help/guide.md"}}) {
      LanguageBase = base;
      QCOMPARE(ui::THelpWindow::GuideResource(), QString(resource));
      ui::THelpWindow help;
      const QString text = help.Browser()->toPlainText();
      for (int task : {2, 6, 9}) QVERIFY2(base == 5000 || text.contains(ui::Text(task)), qPrintable(ui::Text(task)));
      QVERIFY(LinksLeadToHeadings(help));
    }
    LanguageBase = 1000;
  }

  // Opened from a modal dialog (the welcome dialog's Help button), the guide still takes input.
  void HelpFromModalDialogTakesInput() {
    ui::TMainWindow window(false);
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
