#include "ui/Settings.h"

#include "common/StringTable.h"

namespace salvex::ui {

namespace {
constexpr char kGroup[] = "3.0";
}

std::unique_ptr<QSettings> OpenSettings() {
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "Morvane", "Salvex");
}

bool LoadOptions(QSettings& store, TOptions& o, QString& error) {
  if (!store.childGroups().contains(kGroup)) return true;
  store.beginGroup(kGroup);
  struct Reader {
    QSettings& store;
    QString& error;
    bool ok = true;
    // Numbers must be present and numeric; the first that is not stops the reading.
    bool Number(const char* name, qlonglong& value) {
      if (!ok) return false;
      bool numeric = false;
      const qlonglong v = store.value(name).toString().toLongLong(&numeric);
      if (!store.contains(name) || !numeric) {
        error = QString("Invalid data type for '%1'").arg(name);
        ok = false;
        return false;
      }
      value = v;
      return true;
    }
    void Bool(const char* name, bool& value) {
      qlonglong v = 0;
      if (Number(name, v)) value = v != 0;
    }
    void Int(const char* name, int& value) {
      qlonglong v = 0;
      if (Number(name, v)) value = int(v);
    }
    void Text(const char* name, std::string& value) {
      if (ok) value = store.value(name).toString().toStdString();
    }
  } r{store, error};
  r.Bool("UseINT13", o.UseINT13);
  r.Bool("UseINT13EXT", o.UseINT13EXT);
  r.Bool("UseINT25", o.UseINT25);
  r.Bool("EnableWinErrorMsg", o.EnableWinErrorMsg);
  r.Bool("EnableCache", o.EnableCache);
  r.Text("FileListFontName", o.FileListFontName);
  r.Int("FileListFontSize", o.FileListFontSize);
  r.Int("FileListFontColor", o.FileListFontColor);
  r.Int("FileListFontHeight", o.FileListFontHeight);
  r.Int("FileListFontPixelsPerInch", o.FileListFontPixelsPerInch);
  qlonglong size = 0;
  if (r.Number("LostDefaultSize", size)) o.LostDefaultSize = uint32_t(size);
  r.Text("DeletedCharAnsi", o.DeletedCharAnsi);
  r.Text("DeletedCharMultibyte", o.DeletedCharMultibyte);
  r.Bool("DeletedUseMultiByte", o.DeletedUseMultiByte);
  r.Bool("FindLostFiles", o.FindLostFiles);
  store.endGroup();
  return r.ok;
}

bool SaveOptions(QSettings& store, const TOptions& o, QString& error) {
  store.beginGroup(kGroup);
  auto b = [&](const char* name, bool v) { store.setValue(name, v ? 1 : 0); };
  b("UseINT13", o.UseINT13);
  b("UseINT13EXT", o.UseINT13EXT);
  b("UseINT25", o.UseINT25);
  b("EnableWinErrorMsg", o.EnableWinErrorMsg);
  b("EnableCache", o.EnableCache);
  store.setValue("FileListFontName", QString::fromStdString(o.FileListFontName));
  store.setValue("FileListFontSize", o.FileListFontSize);
  store.setValue("FileListFontColor", o.FileListFontColor);
  store.setValue("FileListFontHeight", o.FileListFontHeight);
  store.setValue("FileListFontPixelsPerInch", o.FileListFontPixelsPerInch);
  store.setValue("LostDefaultSize", qlonglong(o.LostDefaultSize));
  store.setValue("DeletedCharAnsi", QString::fromStdString(o.DeletedCharAnsi));
  store.setValue("DeletedCharMultibyte", QString::fromStdString(o.DeletedCharMultibyte));
  b("DeletedUseMultiByte", o.DeletedUseMultiByte);
  b("FindLostFiles", o.FindLostFiles);
  store.endGroup();
  store.sync();
  if (store.status() == QSettings::NoError) return true;
  error = store.status() == QSettings::AccessError ? QString("access denied to %1").arg(store.fileName())
                                                    : QString("format error in %1").arg(store.fileName());
  return false;
}

// The language is not one of the settings dialog's values (it stays outside their group, whose
// reading stops at a missing value): it is written when chosen, so that the
// program asks only at its first start.
int LoadLanguage(QSettings& store) {
  bool ok = false;
  const int base = store.value("Language").toInt(&ok);
  if (!ok) return 0;
  for (const LanguageInfo& language : Languages())
    if (language.Base == base) return base;
  return 0;
}

bool SaveLanguage(QSettings& store, int base, QString& error) {
  store.setValue("Language", base);
  store.sync();
  if (store.status() == QSettings::NoError) return true;
  error = store.status() == QSettings::AccessError ? "the settings file could not be written"
                                                   : "the settings file is not in INI format";
  return false;
}

}  // namespace salvex::ui
