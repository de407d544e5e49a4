#include "recovery/Wrappers.h"

#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/Model.h"
#include "devices/TargetCheck.h"
#include "recovery/Browse.h"
#include "salvex/StringIds.h"

namespace salvex {

namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

}  // namespace

TSaveQuestions::TAnswer THostSaveQuestions::ReplaceFile(const std::string& path) {
  return Host().AskReplaceFile(path);
}

TSaveQuestions::TAnswer THostSaveQuestions::EnterFolder(const std::string& name) {
  return Host().AskEnterFolder(name);
}

void THostSaveQuestions::Failed(const std::string& path, const TError& error) {
  std::string text;
  switch (error.Kind) {
    case TErrorKind::TargetError:
      // A full target leaves out every file that does not fit: one message, the rest in the report.
      if (error.Errno == ENOSPC && toldFull_) return;
      if (error.Errno == ENOSPC) {
        toldFull_ = true;
        text = TextF(txt::NotEnoughFreeSpace, {path, Parent(path)});
      } else if (!path.empty() && path.back() != '/' && error.Why == LoadText(txt::ExistsNotFolder))
        text = TextF(txt::CannotCreateFolder, {path});
      else
        text = TextF(txt::CannotWriteTargetFile, {path});
      break;
    case TErrorKind::Cancelled: return;
    default:
      text = TextF(txt::CannotReadSourceFile, {drive_.Device ? drive_.Device->Name : std::string(), path, 0});
      break;
  }
  Host().TellSaveFailure(text, error, error.Errno == ENOSPC);
}

std::optional<TSaveOptions> AskSaveOptions(TCustomDrive& drive, const TCustomDirectory* shown) {
  const TTreeKind tree = shown ? TreeOf(*shown) : TTreeKind::None;
  const bool noChain = tree == TTreeKind::Deleted || tree == TTreeKind::Lost;
  const std::vector<std::string> choices = drive.ReadChoiceItems();
  int choice = drive.DefaultReadChoice(noChain);
  std::string folder;
  if (!Host().AskSaveTarget(folder, choices, choice) || folder.empty()) return std::nullopt;
  if (!ConfirmSaveTarget(drive.Device, folder)) return std::nullopt;
  TSaveOptions options;
  options.Target = folder;
  if (!choices.empty()) options.Read.FATCopy = choice >= 0 && size_t(choice) < choices.size() ? choice : -1;
  return options;
}

TSaveReport SaveSelectedTo(TCustomDrive& drive, const TCustomDirectory* shown, const std::vector<TItem*>& selected) {
  std::optional<TSaveOptions> options = AskSaveOptions(drive, shown);
  if (!options) return {};
  THostSaveQuestions questions(drive);
  Host().EnableMainWindow(false);
  TSaveReport report = SaveItems(selected, *options, questions, drive.Progress);
  Host().EnableMainWindow(true);
  return report;
}

bool FindFiles(TCustomDrive& drive) {
  if (!drive.HasSpecialFolders()) return false;
  TFindDialog& dialog = Host().FindDialog();
  if (!dialog.Run()) return false;
  TCustomDirectory& results = *drive.SearchFolder;
  results.ClearChildren();
  if (!results.Children) results.Children.emplace();
  results.TreeBuilt = false;
  FindItems(drive, dialog.Mask(), [&](const TItemRow& hit) {
    dialog.SetScanningText(ShortenPath(hit.Path, 30));
    dialog.AddHit(hit.Name);
    std::unique_ptr<TItem> copy = hit.Item->Clone();
    if (auto* f = copy->AsFile()) f->Parent = &results;
    if (auto* d = copy->AsFolder()) d->Parent = &results;
    results.Adopt(std::move(copy));
    Host().ProcessMessages();
    return !dialog.Cancelled();
  });
  dialog.Hide();
  return true;
}

}  // namespace salvex
