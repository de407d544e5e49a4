#include "ui/QtHost.h"

#include <QApplication>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>

#include "common/StringTable.h"
#include "salvex/StringIds.h"
#include "ui/FindDialog.h"
#include "ui/RangeDialog.h"
#include "ui/TargetFolderDialog.h"
#include "ui/Translate.h"

namespace salvex::ui {

TQtHost::TQtHost(QWidget* window) : window_(window) {}

TQtHost::~TQtHost() = default;

TMsgResult TQtHost::MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                               TMsgIcon icon) {
  QMessageBox box(window_ && window_->isVisible() ? window_.data() : nullptr);
  box.setWindowTitle(caption.empty() ? QStringLiteral("Salvex") : QString::fromStdString(caption));
  box.setText(QString::fromStdString(text));
  switch (icon) {
    case TMsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case TMsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case TMsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case TMsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case TMsgIcon::None: break;
  }
  using B = QMessageBox::StandardButton;
  QMessageBox::StandardButtons set;
  switch (buttons) {
    case TMsgButtons::Ok: set = B::Ok; break;
    case TMsgButtons::OkCancel: set = B::Ok | B::Cancel; break;
    case TMsgButtons::YesNo: set = B::Yes | B::No; break;
    case TMsgButtons::YesNoCancel: set = B::Yes | B::No | B::Cancel; break;
    case TMsgButtons::YesNoAll: set = B::Yes | B::No | B::YesToAll; break;
    case TMsgButtons::AbortRetryIgnore: set = B::Abort | B::Retry | B::Ignore; break;
  }
  box.setStandardButtons(set);
  if (buttons == TMsgButtons::YesNoAll) box.button(B::YesToAll)->setText(Text(txt::AnswerAll));
  switch (box.exec()) {
    case B::Ok: return TMsgResult::Ok;
    case B::Cancel: return TMsgResult::Cancel;
    case B::Yes: return TMsgResult::Yes;
    case B::No: return TMsgResult::No;
    case B::YesToAll: return TMsgResult::All;
    case B::Abort: return TMsgResult::Abort;
    case B::Retry: return TMsgResult::Retry;
    case B::Ignore: return TMsgResult::Ignore;
    default:
      // The close box: the answer that does least.
      return set & B::Cancel ? TMsgResult::Cancel
             : set & B::No   ? TMsgResult::No
             : set & B::Abort ? TMsgResult::Abort
                              : TMsgResult::Ok;
  }
}

void TQtHost::ProcessMessages() { QApplication::processEvents(); }

bool TQtHost::AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) {
  TRangeDialog dialog(window_, false, UnitBytes ? UnitBytes(false) : 512);
  return dialog.Execute(first, last, 0, maximum);
}

bool TQtHost::AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) {
  // One cluster dialog for the run: its bars stay where the user left them.
  if (!clusterRange_) clusterRange_ = new TRangeDialog(window_, true);
  clusterRange_->SetUnitBytes(UnitBytes ? UnitBytes(true) : 512);
  return clusterRange_->Execute(first, last, minimum, maximum);
}

bool TQtHost::AskTargetFolder(std::string& folder) {
  int none = 0;
  return AskSaveTarget(folder, {}, none);
}

bool TQtHost::AskSaveTarget(std::string& folder, const std::vector<std::string>& fatItems, int& fatChoice) {
  if (!targetDialog_) targetDialog_ = new TTargetFolderDialog(window_);
  if (folder.empty()) folder = LastTarget;
  if (!targetDialog_->Run(folder, fatItems, fatChoice)) return false;
  LastTarget = folder;
  return true;
}

TFindDialog& TQtHost::FindDialog() {
  if (!find_) find_ = new TFindDlg(window_);
  return *find_;
}

void TQtHost::EnableMainWindow(bool enabled) {
  if (EnableWindow)
    EnableWindow(enabled);
  else if (window_)
    window_->setEnabled(enabled);
}

std::string TQtHost::TypeName(const std::string& fileName) {
  static QMimeDatabase mime;
  const QMimeType type = mime.mimeTypeForFile(QString::fromStdString(fileName), QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return THost::TypeName(fileName);
  return type.comment().toStdString();
}

}  // namespace salvex::ui
