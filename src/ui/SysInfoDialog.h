#pragma once
#include <QDialog>
#include <QString>

class QLabel;

namespace salvex::ui {

// What the system information window shows, read from /proc and Qt.
struct TSystemFacts {
  QString Processor;    // model name and logical processors
  QString Resolution;   // of the screen the window is on
  QString Colours;
  QString PhysicalMemory;
  QString FreeMemory;   // what programs can still get (MemAvailable)
  QString Version;      // the distribution
  QString Build;        // the kernel
};
TSystemFacts ReadSystemFacts(const QWidget* on);

// Processor, screen, memory and operating system, read-only.
class TSysInfoDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TSysInfoDialog(QWidget* parent = nullptr);
  void Prepare();
  bool Run();
  QString Field(int index) const;  // in the order of TSystemFacts

 private:
  QLabel* fields_[7] = {};
};

}  // namespace salvex::ui
