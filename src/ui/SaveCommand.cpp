#include "ui/SaveCommand.h"

#include <QMessageBox>
#include <QPushButton>

#include "common/Format.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/Model.h"
#include "devices/StatusDialog.h"
#include "devices/TargetCheck.h"
#include "recovery/Browse.h"
#include "ui/Translate.h"

namespace salvex::ui {

namespace {

class TDesktopQuestions : public TSaveQuestions {
 public:
  TDesktopQuestions(QWidget* window, const std::string& target, TStatusDialog* status)
      : window_(window), target_(target), status_(status) {}

  TAnswer ReplaceFile(const std::string& path) override {
    return Answer(Host().MessageBox(TextF(718, {path}) + "\n\n" + LoadText(719), "", TMsgButtons::YesNoAll,
                                    TMsgIcon::Question));
  }
  TAnswer EnterFolder(const std::string& name) override {
    return Answer(Host().MessageBox(TextF(715, {name}) + "\n\n" + LoadText(716), "", TMsgButtons::YesNoAll,
                                    TMsgIcon::Question));
  }
  void Failed(const std::string& path, const TError& error) override {
    if (error.Kind == TErrorKind::Cancelled || skipAll_) return;
    std::string text;
    if (error.Kind == TErrorKind::TargetError) {
      if (error.Errno == ENOSPC)
        text = TextF(717, {path, target_});
      else if (path.empty() || path.back() == '/' || path + "/" == target_ || path == target_)
        text = TextF(800, {target_});
      else
        text = TextF(711, {path});
    } else {
      text = TextF(801, {path});
    }
    QMessageBox box(QMessageBox::Warning, "Salvex", QString::fromStdString(text),
                    QMessageBox::NoButton, window_);
    box.setInformativeText(QString::fromStdString(error.Text()));
    QPushButton* skip = box.addButton(Text(802), QMessageBox::AcceptRole);
    QPushButton* skipAll = box.addButton(Text(803), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(Text(804), QMessageBox::RejectRole);
    box.setDefaultButton(skip);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == skipAll) skipAll_ = true;
    if (box.clickedButton() == cancel && status_) status_->Cancel();
    (void)skip;
  }

 private:
  static TAnswer Answer(TMsgResult r) {
    return r == TMsgResult::All ? TAnswer::All : r == TMsgResult::Yes ? TAnswer::Yes : TAnswer::No;
  }
  QWidget* window_;
  std::string target_;
  TStatusDialog* status_;
  bool skipAll_ = false;
};

}  // namespace

bool RunSaveCommand(QWidget* window, TCustomDrive& drive, TListView& list, TStatusDialog* status, TSaveRun& run) {
  const std::vector<TItem*> selected = SelectedObjects(list);
  if (selected.empty()) return false;
  // Files of the deleted and lost-data searches have no chain in the current FAT.
  const TTreeKind tree = list.Source() ? TreeOf(*list.Source()) : TTreeKind::None;
  const bool noChain = tree == TTreeKind::Deleted || tree == TTreeKind::Lost;
  const std::vector<std::string> choices = drive.ReadChoiceItems();
  int choice = noChain ? 0 : drive.DefaultReadChoice(false);
  std::string folder;
  if (!Host().AskSaveTarget(folder, choices, choice) || folder.empty()) return false;
  if (!ConfirmSaveTarget(drive.Device, folder)) return false;

  TSaveOptions options;
  options.Target = folder;
  if (!choices.empty()) options.Read.FATCopy = choice >= 0 && size_t(choice) < choices.size() ? choice : -1;
  TDesktopQuestions questions(window, folder, status);
  Host().EnableMainWindow(false);
  run = SaveAndRecord(selected, options, questions, status);
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
