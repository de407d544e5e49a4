#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "common/StringTable.h"
#include "ui/Settings.h"
#include "ui/UiTests.h"

using salvex::TOptions;

class SettingsTests : public QObject {
  Q_OBJECT
 private slots:
  void RoundTripKeepsNamesTypesAndValues() {
    QTemporaryDir dir;
    const QString file = dir.filePath("Salvex.ini");
    TOptions saved;
    saved.UseINT13 = false;
    saved.EnableCache = false;
    saved.FileListFontName = "DejaVu Sans";
    saved.FileListFontSize = 11;
    saved.LostDefaultSize = 123456;
    saved.DeletedCharAnsi = "#";
    saved.DeletedCharMultibyte = "~~";
    saved.DeletedUseMultiByte = true;
    saved.FindLostFiles = false;
    {
      QSettings store(file, QSettings::IniFormat);
      QString error;
      QVERIFY(salvex::ui::SaveOptions(store, saved, error));
    }
    {
      // Booleans are stored as 0/1 under group "3.0", with the settings' own names.
      QSettings raw(file, QSettings::IniFormat);
      QCOMPARE(raw.value("3.0/UseINT13").toString(), QString("0"));
      QCOMPARE(raw.value("3.0/UseINT13EXT").toString(), QString("1"));
      QCOMPARE(raw.value("3.0/LostDefaultSize").toString(), QString("123456"));
    }
    QSettings store(file, QSettings::IniFormat);
    TOptions loaded;
    QString error;
    QVERIFY(salvex::ui::LoadOptions(store, loaded, error));
    QCOMPARE(loaded.UseINT13, false);
    QCOMPARE(loaded.UseINT13EXT, true);
    QCOMPARE(loaded.EnableCache, false);
    QCOMPARE(loaded.FileListFontName, saved.FileListFontName);
    QCOMPARE(loaded.FileListFontSize, 11);
    QCOMPARE(loaded.LostDefaultSize, 123456u);
    QCOMPARE(loaded.DeletedCharAnsi, std::string("#"));
    QCOMPARE(loaded.DeletedCharMultibyte, std::string("~~"));
    QCOMPARE(loaded.DeletedUseMultiByte, true);
    QCOMPARE(loaded.FindLostFiles, false);
  }

  void LanguageIsRememberedAndCheckedOnReading() {
    QTemporaryDir dir;
    const QString file = dir.filePath("language.ini");
    const int base = salvex::Languages().back().Base;
    {
      QSettings store(file, QSettings::IniFormat);
      QCOMPARE(salvex::ui::LoadLanguage(store), 0);  // first start: the dialog asks
      QString error;
      QVERIFY(salvex::ui::SaveLanguage(store, base, error));
    }
    {
      QSettings store(file, QSettings::IniFormat);
      QCOMPARE(salvex::ui::LoadLanguage(store), base);
      // The other settings read as before next to it.
      TOptions loaded;
      QString error;
      QVERIFY(salvex::ui::LoadOptions(store, loaded, error));
      QCOMPARE(store.childGroups().contains("3.0"), false);
      store.setValue("Language", 12345);  // no such language: asked again, never a blank table
    }
    QSettings store(file, QSettings::IniFormat);
    QCOMPARE(salvex::ui::LoadLanguage(store), 0);
  }

  void FirstRunKeepsDefaults() {
    QTemporaryDir dir;
    QSettings store(dir.filePath("none.ini"), QSettings::IniFormat);
    TOptions loaded;
    QString error;
    QVERIFY(salvex::ui::LoadOptions(store, loaded, error));
    QCOMPARE(loaded.DeletedCharAnsi, std::string("_"));
    QCOMPARE(loaded.LostDefaultSize, 1474560u);
  }

  void MissingValueStopsReading() {
    QTemporaryDir dir;
    const QString file = dir.filePath("partial.ini");
    {
      QSettings store(file, QSettings::IniFormat);
      store.setValue("3.0/UseINT13", 0);
      store.setValue("3.0/EnableCache", 0);  // after the missing value: never read
    }
    QSettings store(file, QSettings::IniFormat);
    TOptions loaded;
    QString error;
    QVERIFY(!salvex::ui::LoadOptions(store, loaded, error));
    QVERIFY(error.contains("UseINT13EXT"));
    QCOMPARE(loaded.UseINT13, false);
    QCOMPARE(loaded.UseINT13EXT, true);
    QCOMPARE(loaded.EnableCache, true);
  }
};

int RunSettingsTests(int argc, char** argv) {
  SettingsTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_settings.moc"
