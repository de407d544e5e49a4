#pragma once
#include <QLocale>
#include <QString>

#include "recovery/Error.h"

class QObject;

namespace salvex::ui {

// Widgets and actions carry their string-table offsets as dynamic properties, the way window
// designs carry them in Tag and Hint: a caption offset (int), a hint (a decimal text names an
// offset, any other text stays), a tool-button tooltip offset, and header captions of a tree list.
inline constexpr char kTag[] = "salvexTag";
inline constexpr char kHint[] = "salvexHint";
inline constexpr char kButtonHint[] = "salvexButtonHint";
inline constexpr char kColumnTags[] = "salvexColumnTags";

// The current language's text for an offset.
QString Text(int offset);

// The text for an offset with each %s, in order, replaced by the next argument.
QString TextWith(int offset, std::initializer_list<QString> args);

// Why an error happened, in the current language: the core's reasons come from the string table;
// a system error's text from our table where it has one (the system's own is English).
QString ErrorReason(const TError& error);

// A duration for an estimate: seconds under a minute, minutes under an hour, else hours and minutes.
QString DurationText(qint64 seconds);

// Sets the caption offset (and optionally the hint offset) of a widget or action; returns it.
template <class T>
T* Tagged(T* object, int tag, int hint = 0) {
  object->setProperty(kTag, tag);
  if (hint) object->setProperty(kHint, QString::number(hint));
  return object;
}

// The chosen language's locale (numbers, dates, the MIME database's type names) and Qt's own
// translations (standard buttons, file dialogs), for LanguageBase.
QLocale LanguageLocale();
void ApplyLanguageToQt();

// Gives the object and everything it owns the texts of the current language.
void TranslateComponent(QObject* object);
// TranslateComponent on every top-level window of the application.
void TranslateApplication();

}  // namespace salvex::ui
