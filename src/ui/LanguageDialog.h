#pragma once
#include <QDialog>

class QListWidget;

namespace salvex::ui {

// The language choice at every start. The clicked language holds even after Cancel; without a
// click the language is English.
class TLanguageDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TLanguageDialog(QWidget* parent = nullptr);
  // Runs modally; the chosen base is Base() afterwards, whatever the answer.
  bool Execute();
  int Base() const { return base_; }
  // Chooses the language at a list position, as a click does.
  void Choose(int position);

 private:
  QListWidget* list_ = nullptr;
  int base_ = 1000;
};

}  // namespace salvex::ui
