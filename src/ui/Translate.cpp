#include "ui/Translate.h"

#include <algorithm>
#include <cerrno>

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
#include "salvex/StringIds.h"

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

QString ErrorReason(const TError& error) {
  static const std::pair<int, int> systemErrors[] = {{ENOSPC, txt::ErrnoNoSpace},
                                                     {EACCES, txt::ErrnoAccess},
                                                     {EROFS, txt::ErrnoReadOnly},
                                                     {EEXIST, txt::ErrnoExists},
                                                     {ENAMETOOLONG, txt::ErrnoNameTooLong},
                                                     {EIO, txt::ErrnoIo},
                                                     {EDQUOT, txt::ErrnoQuota},
                                                     {EPERM, txt::ErrnoNotPermitted},
                                                     {ENOENT, txt::ErrnoNoEntry},
                                                     {EFBIG, txt::ErrnoTooLarge}};
  if (error.Errno)
    for (const auto& [number, offset] : systemErrors)
      if (error.Errno == number) return Text(offset);
  return QString::fromStdString(error.Why.empty() ? error.Text() : error.Why);
}

QString DurationText(qint64 seconds) {
  const QLocale locale;
  if (seconds < 60) return TextWith(txt::DurationSeconds, {locale.toString(std::max<qint64>(seconds, 1))});
  const qint64 minutes = (seconds + 30) / 60;
  if (minutes < 60) return TextWith(txt::DurationMinutes, {locale.toString(minutes)});
  return TextWith(txt::DurationHoursMinutes, {locale.toString(minutes / 60), locale.toString(minutes % 60)});
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

namespace {

// Qt's standard buttons in the string table's words, for the languages Qt has no translation of
// (installed before Qt's own, which come first where they exist).
class TTableTranslator : public QTranslator {
 public:
  QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                    int n = -1) const override {
    (void)disambiguation;
    (void)n;
    if (qstrcmp(context, "QPlatformTheme") != 0) return {};
    static const std::pair<const char*, int> buttons[] = {
        {"OK", txt::PropertiesOk},        {"Cancel", txt::PropertiesCancel},
        {"Close", txt::HelpClose},        {"&Yes", txt::AnswerYes},
        {"&No", txt::AnswerNo},           {"Abort", txt::AnswerAbort},
        {"Retry", txt::AnswerRetry},      {"Ignore", txt::AnswerIgnore},
        {"Apply", txt::SectorRangeApply}, {"Yes to &All", txt::AnswerAll}};
    for (const auto& [source, offset] : buttons)
      if (qstrcmp(sourceText, source) == 0) return Text(offset);
    return {};
  }
  bool isEmpty() const override { return false; }
};

}  // namespace

QLocale LanguageLocale() {
  for (const LanguageInfo& language : Languages())
    if (language.Base == LanguageBase) return QLocale(QString::fromStdString(language.Stem == "zh" ? "zh_CN" : language.Stem));
  return QLocale(QLocale::English, QLocale::UnitedStates);
}

void ApplyLanguageToQt() {
  const QLocale locale = LanguageLocale();
  QLocale::setDefault(locale);
  static TTableTranslator* table = nullptr;
  if (!table) {
    table = new TTableTranslator;
    QCoreApplication::installTranslator(table);
  }
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
