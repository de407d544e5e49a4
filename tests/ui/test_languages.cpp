// Every window, dialog and menu of the tour, in every language the program ships: no text stays
// English where the string table or Qt's translations have another, and no caption is cut.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSet>
#include <QTabWidget>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTreeView>

#include "common/StringTable.h"
#include "recovery/DeviceSetup.h"
#include "support/Fixtures.h"
#include "ui/DialogTour.h"
#include "ui/MainWindow.h"
#include "ui/Translate.h"
#include "ui/UiTests.h"

using namespace salvex;

namespace {

QString Plain(QString text) { return text.remove('&').trimmed(); }

// The language's own texts: an English word that one entry keeps ("Start") may be another's.
QSet<QString> OwnTexts(int base) {
  QSet<QString> own;
  for (int offset = 1; offset < 1000; ++offset) own << Plain(QString::fromStdString(LoadTextAt(base + offset)));
  return own;
}

// The English texts that the language at `base` says otherwise: the table's entries (a %-field
// matches anything) and Qt's standard buttons where Qt's translation differs.
std::vector<QRegularExpression> EnglishLeft(int base) {
  std::vector<QRegularExpression> patterns;
  for (int offset = 1; offset < 1000; ++offset) {
    const QString english = Plain(QString::fromStdString(LoadTextAt(1000 + offset)));
    const QString own = Plain(QString::fromStdString(LoadTextAt(base + offset)));
    if (english.isEmpty() || own.isEmpty() || english == own || english.size() < 2) continue;
    QString pattern = QRegularExpression::escape(english);
    pattern.replace(QRegularExpression(R"(%[sdDuxf])"), ".*");
    patterns.emplace_back("^" + pattern + "$");
  }
  for (const char* button : {"OK", "Cancel", "Yes", "No", "Close", "Apply", "Save", "Open", "Help", "Abort", "Retry",
                             "Ignore", "Discard", "Yes to All", "No to All", "Restore Defaults"}) {
    const QString translated = QCoreApplication::translate("QPlatformTheme", button);
    if (Plain(translated) != button) patterns.emplace_back("^" + QRegularExpression::escape(button) + "$");
  }
  return patterns;
}

// What a person reads on a window: captions, headers, list texts, menu entries and tips, with
// each text's parts (reasons are joined by "; ") as texts of their own.
QStringList ShownTexts(QWidget* window) {
  QStringList texts;
  auto add = [&](QString text) {
    text.remove('&');
    for (const QString& part : text.split(QRegularExpression("\n|; ")))
      if (!part.trimmed().isEmpty()) texts << part.trimmed();
  };
  auto addActions = [&](const QList<QAction*>& actions) {
    for (QAction* a : actions) {
      add(a->text());
      add(a->toolTip());
    }
  };
  add(window->windowTitle());
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  widgets << window;
  for (QWidget* w : widgets) {
    if (!w->isVisibleTo(window) && w != window) continue;
    add(w->toolTip());
    if (auto* label = qobject_cast<QLabel*>(w))
      add(Qt::mightBeRichText(label->text()) ? QTextDocumentFragment::fromHtml(label->text()).toPlainText() : label->text());
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
      add(button->text());
    else if (auto* group = qobject_cast<QGroupBox*>(w))
      add(group->title());
    else if (auto* tabs = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < tabs->count(); ++i) add(tabs->tabText(i));
    else if (auto* combo = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < combo->count(); ++i) add(combo->itemText(i));
    else if (auto* edit = qobject_cast<QLineEdit*>(w))
      add(edit->placeholderText());
    else if (auto* menu = qobject_cast<QMenu*>(w))
      addActions(menu->actions());
    else if (auto* bar = qobject_cast<QMenuBar*>(w))
      addActions(bar->actions());
    if (auto* view = qobject_cast<QAbstractItemView*>(w); view && view->model()) {
      const QAbstractItemModel* model = view->model();
      auto* tree = qobject_cast<QTreeView*>(view);
      auto shown = [&](int c) { return !tree || !tree->isColumnHidden(c); };
      for (int c = 0; c < model->columnCount(); ++c)
        if (shown(c) && (!tree || !tree->isHeaderHidden())) add(model->headerData(c, Qt::Horizontal).toString());
      // Names are the volume's own; every other column is ours.
      for (int r = 0; r < std::min(model->rowCount(), 40); ++r)
        for (int c = 1; c < model->columnCount(); ++c)
          if (shown(c)) add(model->index(r, c).data().toString());
      if (model->columnCount() == 1)
        for (int r = 0; r < std::min(model->rowCount(), 40); ++r) add(model->index(r, 0).data().toString());
    }
  }
  return texts;
}

// Captions that do not fit the room they were given.
QStringList CutTexts(QWidget* window) {
  QStringList cut;
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    if (!w->isVisible() || qobject_cast<QMenu*>(w)) continue;
    if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty() && label->pixmap().isNull()) {
      const bool short_ = label->wordWrap() ? label->heightForWidth(label->width()) > label->height()
                                            : label->sizeHint().width() > label->width();
      if (short_) cut << "label " + label->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(w); button && !button->text().isEmpty()) {
      if (button->sizeHint().width() > button->width()) cut << "button " + button->text();
    } else if (auto* header = qobject_cast<QHeaderView*>(w); header && header->orientation() == Qt::Horizontal) {
      auto* view = qobject_cast<QAbstractItemView*>(header->parentWidget());
      for (int c = 0; c < header->count(); ++c) {
        if (header->isSectionHidden(c)) continue;
        const int need = std::max(header->sectionSizeHint(c), view ? view->sizeHintForColumn(c) : 0);
        if (header->sectionSize(c) + 2 < need)
          cut << "column " + header->model()->headerData(c, Qt::Horizontal).toString();
      }
    }
  }
  // A title needs its width and room for the window's buttons.
  if (window->isWindow() && !qobject_cast<QMenu*>(window) &&
      window->fontMetrics().horizontalAdvance(window->windowTitle()) + 90 > window->width())
    cut << "title " + window->windowTitle();
  return cut;
}

}  // namespace

class LanguageTests : public QObject {
  Q_OBJECT
 private slots:
  void EveryDialogInEveryLanguage() {
    RegisterDevices({test::UnpackedImage("demo.img.gz").string()}, TImageKind::Auto, false);
    QStringList faults;
    for (const LanguageInfo& language : Languages()) {
      ui::TMainWindow window(false);
      window.PresetLanguage = language.Base;
      window.PresetDrive = 0;
      bool activated = false;
      window.AfterActivation = [&] { activated = true; };
      window.show();
      QVERIFY(QTest::qWaitFor([&] { return activated; }, 20000));
      const std::vector<QRegularExpression> english = EnglishLeft(language.Base);
      const QSet<QString> own = OwnTexts(language.Base);
      QStringList seen;
      ui::TourDialogs(window, [&](const QString& name, QWidget* shown) {
        seen << name;
        const QString where = QString::fromStdString(language.Stem) + " " + name + ": ";
        for (const QString& text : ShownTexts(shown))
          for (const QRegularExpression& pattern : english)
            if (!own.contains(text) && pattern.match(text).hasMatch()) {
              faults << where + "English \"" + text + "\"";
              break;
            }
        for (const QString& text : CutTexts(shown)) faults << where + "cut " + text;
      });
      QVERIFY2(seen.size() > 25, qPrintable(seen.join(' ')));
    }
    LanguageBase = 1000;
    ui::ApplyLanguageToQt();
    faults.removeDuplicates();
    QVERIFY2(faults.isEmpty(), qPrintable(QString("%1 fault(s):\n").arg(faults.size()) + faults.join('\n')));
  }
};

int RunLanguageTests(int argc, char** argv) {
  LanguageTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_languages.moc"
