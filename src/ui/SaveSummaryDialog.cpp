#include "ui/SaveSummaryDialog.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "common/StringTable.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

QString Reasons(const std::vector<TError>& errors) {
  QStringList parts;
  // The file is named in its own column; its errors give the reason.
  for (const TError& e : errors) parts << ErrorReason(e);
  return parts.join("; ");
}

const char* OutcomeName(TSavedFile::TOutcome outcome) {
  switch (outcome) {
    case TSavedFile::TOutcome::Saved: return "saved";
    case TSavedFile::TOutcome::Skipped: return "skipped";
    case TSavedFile::TOutcome::Partial: return "partial";
    case TSavedFile::TOutcome::Failed: return "failed";
  }
  return "failed";
}

const char* ErrorKindName(TErrorKind kind) {
  switch (kind) {
    case TErrorKind::NotThisFileSystem: return "not_this_file_system";
    case TErrorKind::Corrupt: return "corrupt";
    case TErrorKind::ReadError: return "read_error";
    case TErrorKind::TargetError: return "target_error";
    case TErrorKind::NotFound: return "not_found";
    case TErrorKind::BadArgument: return "bad_argument";
    case TErrorKind::Cancelled: return "cancelled";
  }
  return "cancelled";
}

QJsonObject FailureJson(const TError& e) {
  QJsonObject j{{"kind", ErrorKindName(e.Kind)},
                {"what", QString::fromStdString(e.What)},
                {"reason", QString::fromStdString(e.Why)}};
  if (e.Errno) j["errno"] = e.Errno;
  return j;
}

}  // namespace

TSaveSummaryDialog::TSaveSummaryDialog(QWidget* parent, const TSaveRun& run) : QDialog(parent), run_(run) {
  setWindowTitle(Text(txt::SaveSummaryTitle));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const TSaveReport& r = run.Report;
  const QLocale locale;
  const QString target = QString::fromStdString(run.Target);
  heading_ = new QLabel(TextWith(r.Cancelled ? txt::SaveSummaryCancelled : txt::SaveSummarySavedTo, {target}), this);
  heading_->setWordWrap(true);
  heading_->setTextFormat(Qt::PlainText);
  const uint64_t values[4] = {r.Files, r.Skipped, run.Partial, run.Failed};
  auto* form = new QFormLayout;
  for (int i = 0; i < 4; ++i) {
    counts_[i] = new QLabel(locale.toString(qulonglong(values[i])), this);
    form->addRow(Text(txt::SaveSummarySaved + i), counts_[i]);
  }
  counts_[0]->setText(TextWith(txt::SaveSummaryFileCount, {locale.toString(qulonglong(values[0]))}) + ", " +
                      locale.formattedDataSize(qint64(r.Bytes)));

  problems_ = new QTreeWidget(this);
  problems_->setRootIsDecorated(false);
  problems_->setHeaderLabels({Text(txt::SaveSummaryFile), Text(txt::SaveSummaryResult), Text(txt::SaveSummaryReason)});
  std::set<std::pair<std::string, std::string>> fileErrors;
  for (size_t i = 0; i < run.Files.size(); ++i) {
    const TSavedFile& f = run.Files[i];
    for (const TError& e : f.Errors) fileErrors.insert({e.What, e.Why});
    const QString name = QString::fromStdString(run.Sources[i]);
    // A file saved whole under another name than its own: the user looks for it under that name.
    if (f.Outcome == TSavedFile::TOutcome::Saved && !f.Renamed.empty()) {
      const QString savedAs = QString::fromStdString(f.SavedPath).section('/', -1);
      problems_->addTopLevelItem(
          new QTreeWidgetItem({name, TextWith(txt::SavedAs, {savedAs}), QString::fromStdString(f.Renamed)}));
      continue;
    }
    if (f.Outcome != TSavedFile::TOutcome::Partial && f.Outcome != TSavedFile::TOutcome::Failed) continue;
    problems_->addTopLevelItem(new QTreeWidgetItem(
        {name, Text(f.Outcome == TSavedFile::TOutcome::Partial ? txt::SaveSummaryPartial : txt::SaveSummaryFailed),
         Reasons(f.Errors)}));
  }
  // Failures of no single file: a folder that could not be made, the target itself.
  for (const TSaveFailure& f : r.Failures)
    if (!fileErrors.count({f.Error.What, f.Error.Why}) && f.Error.Kind != TErrorKind::Cancelled)
      problems_->addTopLevelItem(
          new QTreeWidgetItem({QString::fromStdString(f.Path), Text(txt::SaveSummaryFailed), ErrorReason(f.Error)}));
  for (const std::string& w : r.Warnings)
    problems_->addTopLevelItem(new QTreeWidgetItem({QString(), QString(), QString::fromStdString(w)}));
  const bool anyProblem = problems_->topLevelItemCount() > 0;
  problems_->setVisible(anyProblem);
  problems_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  // Reasons are long: the list scrolls sideways rather than cut them.
  problems_->header()->setStretchLastSection(false);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  openFolder_ = buttons->addButton(Text(txt::SaveSummaryOpenFolder), QDialogButtonBox::ActionRole);
  saveReport_ = buttons->addButton(Text(txt::SaveSummaryReport), QDialogButtonBox::ActionRole);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
  connect(openFolder_, &QPushButton::clicked, this, &TSaveSummaryDialog::OpenFolder);
  connect(saveReport_, &QPushButton::clicked, this, &TSaveSummaryDialog::SaveReport);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading_);
  layout->addLayout(form);
  layout->addWidget(problems_, 1);
  layout->addWidget(buttons);
  if (anyProblem) {
    int width = 0;
    for (int c = 0; c < problems_->columnCount(); ++c)
      width += std::max(problems_->header()->sectionSizeHint(c), static_cast<QAbstractItemView*>(problems_)->sizeHintForColumn(c));
    problems_->setMinimumSize(std::clamp(width + 24, 720, 1000), 160);
  }
}

void TSaveSummaryDialog::OpenFolder() { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(run_.Target))); }

QByteArray TSaveSummaryDialog::ReportJson() const {
  const TSaveReport& r = run_.Report;
  QJsonArray files;
  std::set<std::pair<std::string, std::string>> fileErrors;
  for (size_t i = 0; i < run_.Files.size(); ++i) {
    const TSavedFile& f = run_.Files[i];
    QJsonArray failures;
    for (const TError& e : f.Errors) {
      failures.append(FailureJson(e));
      fileErrors.insert({e.What, e.Why});
    }
    files.append(QJsonObject{{"source", QString::fromStdString(run_.Sources[i])},
                             {"saved_as", f.SavedPath.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(f.SavedPath))},
                             {"bytes_written", qint64(f.Bytes)},
                             {"status", OutcomeName(f.Outcome)},
                             {"renamed", f.Renamed.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(f.Renamed))},
                             {"failures", failures}});
  }
  QJsonArray other;
  for (const TSaveFailure& f : r.Failures)
    if (!fileErrors.count({f.Error.What, f.Error.Why})) other.append(FailureJson(f.Error));
  QJsonArray warnings;
  for (const std::string& w : r.Warnings) warnings.append(QString::fromStdString(w));
  const QJsonObject report{{"target", QString::fromStdString(run_.Target)},
                           {"saved", qint64(r.Files)},
                           {"skipped", qint64(r.Skipped)},
                           {"partial", qint64(run_.Partial)},
                           {"failed", qint64(run_.Failed)},
                           {"errors", qint64(r.Failures.size())},
                           {"bytes", qint64(r.Bytes)},
                           {"zero_filled_sectors", qint64(r.ZeroFilledSectors)},
                           {"cancelled", r.Cancelled},
                           {"stopped", r.Stopped},
                           {"other_failures", other},
                           {"warnings", warnings},
                           {"files", files}};
  return QJsonDocument(QJsonObject{{"report", report}}).toJson(QJsonDocument::Indented);
}

bool TSaveSummaryDialog::WriteReport(const QString& path) const {
  QFile file(path);
  const QByteArray json = ReportJson();
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(json) == json.size() && file.flush();
}

void TSaveSummaryDialog::SaveReport() {
  const QString path = QFileDialog::getSaveFileName(this, Text(txt::SaveSummaryReport).remove('&'), QString(),
                                                    Text(txt::JsonReportFilter));
  if (path.isEmpty()) return;
  if (!WriteReport(path)) QMessageBox::warning(this, "Salvex", TextWith(txt::ReportNotWritten, {path}));
}

}  // namespace salvex::ui
