#include "ui/Translate.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLibraryInfo>
#include <QTranslator>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTreeWidget>

#include "common/StringTable.h"

namespace salvex::ui {

QString Text(int offset) { return QString::fromStdString(LoadText(offset)); }

QString TextWith(int offset, std::initializer_list<QString> args) {
  QString text = Text(offset);
  qsizetype at = 0;
  for (const QString& arg : args) {
    at = text.indexOf("%s", at);
    if (at < 0) break;
    text.replace(at, 2, arg);
    at += arg.size();
  }
  return text;
}

namespace {

// The hint's offset when its whole text is a decimal number, else 0.
int HintOffset(const QObject* object, const char* property) {
  const QVariant hint = object->property(property);
  if (!hint.isValid()) return 0;
  bool ok = false;
  const int offset = hint.toString().toInt(&ok);
  return ok ? offset : 0;
}

void ApplyCaption(QObject* object, const QString& text) {
  if (auto* action = qobject_cast<QAction*>(object)) {
    action->setText(text);
  } else if (auto* menu = qobject_cast<QMenu*>(object)) {
    menu->menuAction()->setText(text);
    menu->setTitle(text);
  } else if (auto* label = qobject_cast<QLabel*>(object)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(object)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(object)) {
    group->setTitle(text);
  } else if (auto* widget = qobject_cast<QWidget*>(object)) {
    // A tab sheet sits in the tab widget's page stack; a window gets its caption.
    QWidget* stack = widget->parentWidget();
    auto* tabs = stack && qobject_cast<QStackedWidget*>(stack) ? qobject_cast<QTabWidget*>(stack->parentWidget())
                                                                : nullptr;
    if (tabs && tabs->indexOf(widget) >= 0)
      tabs->setTabText(tabs->indexOf(widget), text);
    else if (widget->isWindow())
      widget->setWindowTitle(text);
  }
}

}  // namespace

void TranslateComponent(QObject* object) {
  if (!object) return;
  if (const int tag = object->property(kTag).toInt()) ApplyCaption(object, Text(tag));
  if (const int hint = HintOffset(object, kHint)) {
    if (auto* action = qobject_cast<QAction*>(object)) {
      action->setStatusTip(Text(hint));
      if (!HintOffset(object, kButtonHint)) action->setToolTip(Text(hint));
    } else if (auto* widget = qobject_cast<QWidget*>(object)) {
      widget->setStatusTip(Text(hint));
      widget->setToolTip(Text(hint));
    }
  }
  if (const int hint = HintOffset(object, kButtonHint))
    if (auto* action = qobject_cast<QAction*>(object)) action->setToolTip(Text(hint));
  if (auto* tree = qobject_cast<QTreeWidget*>(object)) {
    const QVariantList tags = tree->property(kColumnTags).toList();
    for (int i = 0; i < tags.size(); ++i)
      if (tags[i].toInt()) tree->headerItem()->setText(i, Text(tags[i].toInt()));
  }
  for (QObject* child : object->children()) TranslateComponent(child);
}

QLocale LanguageLocale() {
  for (const LanguageInfo& language : Languages())
    if (language.Base == LanguageBase) return QLocale(QString::fromStdString(language.Stem == "zh" ? "zh_CN" : language.Stem));
  return QLocale(QLocale::English, QLocale::UnitedStates);
}

void ApplyLanguageToQt() {
  const QLocale locale = LanguageLocale();
  QLocale::setDefault(locale);
  static QTranslator* qt = nullptr;
  if (qt) {
    QCoreApplication::removeTranslator(qt);
    delete qt;
    qt = nullptr;
  }
  auto* translator = new QTranslator;
  if (translator->load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(translator);
    qt = translator;
  } else {
    delete translator;
  }
}

void TranslateApplication() {
  for (QWidget* window : QApplication::topLevelWidgets()) TranslateComponent(window);
}

}  // namespace salvex::ui
