#pragma once
#include <QSettings>
#include <QString>
#include <memory>

#include "common/Options.h"

namespace salvex::ui {

// The per-user settings store: INI file of organisation "Morvane", application "Salvex".
std::unique_ptr<QSettings> OpenSettings();

// Reads the values of group "3.0" in their fixed order. No group: the defaults stay, true.
// A missing or non-numeric boolean or number ends the reading: what was read before keeps its
// new value, the rest its default, and error says which value failed (false). A missing text
// reads as empty.
bool LoadOptions(QSettings& store, TOptions& options, QString& error);

// Writes every value (booleans as 0/1); false with the reason in error when the store failed.
bool SaveOptions(QSettings& store, const TOptions& options, QString& error);

// The language chosen at an earlier start (its string-table base), or 0 when none was stored or
// the stored one is not among the program's languages.
int LoadLanguage(QSettings& store);
// Stores the chosen language; false with the reason in error when the store failed.
bool SaveLanguage(QSettings& store, int base, QString& error);

}  // namespace salvex::ui
