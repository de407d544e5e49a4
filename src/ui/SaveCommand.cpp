#include "ui/SaveCommand.h"

#include <QMessageBox>
#include <QPushButton>

#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "recovery/Browse.h"
#include "recovery/Wrappers.h"
#include "salvex/StringIds.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

// The program's questions, with a failure dialog that can skip the rest or cancel the save.
class TDesktopQuestions : public THostSaveQuestions {
 public:
  TDesktopQuestions(TCustomDrive& drive, QWidget* window, const std::string& target, TStatusDialog* status)
      : THostSaveQuestions(drive), window_(window), target_(target), status_(status) {}

  void Failed(const std::string& path, const TError& error) override {
    if (error.Kind == TErrorKind::Cancelled || skipAll_) return;
    std::string text;
    if (error.Kind == TErrorKind::TargetError) {
      if (error.Errno == ENOSPC)
        text = TextF(txt::NotEnoughFreeSpace, {path, target_});
      else if (path.empty() || path.back() == '/' || path + "/" == target_ || path == target_)
        text = TextF(txt::CannotWriteTargetFolder, {target_});
      else
        text = TextF(txt::CannotWriteTargetFile, {path});
    } else {
      text = TextF(txt::CannotReadFileFromVolume, {path});
    }
    QMessageBox box(QMessageBox::Warning, "Salvex", QString::fromStdString(text),
                    QMessageBox::NoButton, window_);
    box.setInformativeText(ErrorReason(error));
    QPushButton* skip = box.addButton(Text(txt::SaveErrorSkip), QMessageBox::AcceptRole);
    QPushButton* skipAll = box.addButton(Text(txt::SaveErrorSkipAll), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(Text(txt::SaveErrorCancel), QMessageBox::RejectRole);
    box.setDefaultButton(skip);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == skipAll) skipAll_ = true;
    if (box.clickedButton() == cancel && status_) status_->Cancel();
    (void)skip;
  }

 private:
  QWidget* window_;
  std::string target_;
  TStatusDialog* status_;
  bool skipAll_ = false;
};

}  // namespace

bool RunSaveCommand(QWidget* window, TCustomDrive& drive, const TCustomDirectory* shown,
                    const std::vector<TItem*>& selected, TStatusDialog* status, TSaveRun& run) {
  if (selected.empty()) return false;
  std::optional<TSaveOptions> options = AskSaveOptions(drive, shown);
  if (!options) return false;
  TDesktopQuestions questions(drive, window, options->Target, status);
  Host().EnableMainWindow(false);
  run = SaveAndRecord(selected, *options, questions, status);
  Host().EnableMainWindow(true);
  return true;
}

TSaveRun SaveAndRecord(const std::vector<TItem*>& items, TSaveOptions options, TSaveQuestions& questions,
                       TStatusDialog* status) {
  TSaveRun run;
  run.Target = options.Target;
  options.OnFile = [&run](const TSavedFile& saved) {
    if (saved.Outcome == TSavedFile::TOutcome::Partial) ++run.Partial;
    if (saved.Outcome == TSavedFile::TOutcome::Failed) ++run.Failed;
    run.Files.push_back(saved);
    run.Sources.push_back(saved.File ? RowOf(*const_cast<TCustomFile*>(saved.File)).Path : std::string());
  };
  run.Report = SaveItems(items, options, questions, status);
  return run;
}

}  // namespace salvex::ui
