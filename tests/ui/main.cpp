#include <QApplication>
#include <QStandardPaths>

#include "ui/UiTests.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Settings and caches go to test locations, never the user's own.
  QStandardPaths::setTestModeEnabled(true);
  int failures = 0;
  failures += RunCommandTests(argc, argv);
  failures += RunSettingsTests(argc, argv);
  failures += RunFileListTests(argc, argv);
  failures += RunDialogTests(argc, argv);
  failures += RunMainWindowTests(argc, argv);
  failures += RunViewerTests(argc, argv);
  failures += RunWelcomeTests(argc, argv);
  failures += RunHelpTests(argc, argv);
  failures += RunUserRunTests(argc, argv);
  failures += RunImagingTests(argc, argv);
  failures += RunLanguageTests(argc, argv);
  return failures == 0 ? 0 : 1;
}
