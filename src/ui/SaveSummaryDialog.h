#pragma once
#include <QDialog>

#include "ui/SaveCommand.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace salvex::ui {

// The end of a save in words: how many files were saved, skipped, kept as ".partial" and failed,
// each file that is not whole with its reason, and the ways on: open the target folder, or keep
// the report as JSON.
class TSaveSummaryDialog : public QDialog {
  Q_OBJECT
 public:
  TSaveSummaryDialog(QWidget* parent, const TSaveRun& run);

  QLabel* Heading() const { return heading_; }
  QLabel* Count(int i) const { return counts_[i]; }  // saved, skipped, partial, failed
  QTreeWidget* Problems() const { return problems_; }
  QPushButton* OpenFolderButton() const { return openFolder_; }
  QPushButton* SaveReportButton() const { return saveReport_; }
  // The report as the command line writes it with --report (without hashes).
  QByteArray ReportJson() const;
  bool WriteReport(const QString& path) const;

 private:
  void OpenFolder();
  void SaveReport();

  const TSaveRun& run_;
  QLabel* heading_ = nullptr;
  QLabel* counts_[4] = {};
  QTreeWidget* problems_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  QPushButton* saveReport_ = nullptr;
};

}  // namespace salvex::ui
