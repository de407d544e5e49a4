#pragma once
#include <QDialog>
#include <functional>

#include "common/Options.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace salvex::ui {

// The settings dialog, made for each use. OK copies the controls into the settings; Save
// (after a warning, since the settings file may lie on the examined disk) also stores them.
class TOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  TOptionsDialog(QWidget* parent, TOptions& options);
  // Runs modally; true on OK with the new values in the settings.
  bool Edit();
  // Stores the settings; set by the main window. Answers false with a shown error.
  std::function<bool(const TOptions&)> Store;
  // The controls' values as settings (unchanged fields from the settings given).
  TOptions Collect() const;

 private:
  void SaveClicked();
  void FontClicked();

  TOptions& options_;
  QFont font_;
  QLineEdit* fontName_ = nullptr;
  QLabel* sample_ = nullptr;
  QRadioButton* oneByte_ = nullptr;
  QRadioButton* twoByte_ = nullptr;
  QLineEdit* ansiChar_ = nullptr;
  QLineEdit* multiChar_ = nullptr;
  QCheckBox* findLost_ = nullptr;
  QLineEdit* defaultSize_ = nullptr;
  QCheckBox* int13_ = nullptr;
  QCheckBox* int13ext_ = nullptr;
  QCheckBox* int25_ = nullptr;
  QCheckBox* cache_ = nullptr;
  QCheckBox* errors_ = nullptr;
};

// The font the settings name, or the application's font where they name none.
QFont FileListFont(const TOptions& options);

}  // namespace salvex::ui
