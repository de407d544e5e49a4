#include "common/Host.h"

#include "common/Error.h"
#include "common/Format.h"
#include "common/StringTable.h"
#include "salvex/StringIds.h"

namespace salvex {

std::string PrepareFindMask(const std::string& typed) {
  std::string mask = typed.empty() ? "*" : typed;
  if (mask.find('.') == std::string::npos) mask = "*" + mask + "*";
  return mask;
}

std::string THost::TypeName(const std::string& fileName) {
  auto dot = fileName.rfind('.');
  // "f.txt:big" is an NTFS stream without an extension of its own, not a "TXT:BIG" file.
  if (dot == std::string::npos || dot + 1 == fileName.size() || fileName.find(':', dot) != std::string::npos)
    return LoadText(txt::TypeFile);
  std::string ext = fileName.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return TextF(txt::TypeFileWithExtension, {ext});
}

std::string THost::FolderTypeName() { return LoadText(txt::FileFolderType); }

bool THost::ConfirmTargetOnExaminedDevice(const std::string& folder) {
  return MessageBox(TextF(txt::TargetOnExaminedDrive, {folder}), "", TMsgButtons::YesNo, TMsgIcon::Warning) ==
         TMsgResult::Yes;
}

namespace {

TReadErrorAnswer ReadErrorAnswer(TMsgResult r) {
  return r == TMsgResult::Retry ? TReadErrorAnswer::Retry
         : r == TMsgResult::Ignore ? TReadErrorAnswer::Ignore
                                   : TReadErrorAnswer::Abort;
}

TReplaceAnswer ReplaceAnswer(TMsgResult r) {
  return r == TMsgResult::All ? TReplaceAnswer::All : r == TMsgResult::Yes ? TReplaceAnswer::Yes : TReplaceAnswer::No;
}

}  // namespace

std::string THost::ReadErrorText(int error, uint8_t drive, uint64_t lba, uint32_t count) {
  return "error no." + std::to_string(error) + "\r\n" + "drv:" + std::to_string(drive) + " LBA:" + std::to_string(lba) +
         " blocks:" + std::to_string(count) + "\r\n\r\n" + "Abort, Retry or Ignore?";
}

std::string THost::ReadErrorCaption() { return "NT_read error"; }

std::string THost::UnreadableRegionText(uint64_t first, uint64_t last) {
  return TextF(txt::LostDriveSectorsUnreadable, {first, last, last - first + 1});
}

std::string THost::UnreadableRegionCaption() { return LoadText(txt::LostDriveSearch); }

TReadErrorAnswer THost::AskReadError(int error, uint8_t drive, uint64_t lba, uint32_t count) {
  return ReadErrorAnswer(MessageBox(ReadErrorText(error, drive, lba, count), ReadErrorCaption(),
                                    TMsgButtons::AbortRetryIgnore, TMsgIcon::Warning));
}

TReadErrorAnswer THost::AskUnreadableRegion(uint64_t first, uint64_t last) {
  return ReadErrorAnswer(MessageBox(UnreadableRegionText(first, last), UnreadableRegionCaption(),
                                    TMsgButtons::AbortRetryIgnore, TMsgIcon::Warning));
}

TReplaceAnswer THost::AskReplaceFile(const std::string& path) {
  return ReplaceAnswer(MessageBox(TextF(txt::FileExistsQuestion, {path}) + "\n\n" + LoadText(txt::ReplaceFileQuestion),
                                  "", TMsgButtons::YesNoAll, TMsgIcon::Question));
}

TReplaceAnswer THost::AskEnterFolder(const std::string& name) {
  return ReplaceAnswer(
      MessageBox(TextF(txt::FolderExistsQuestion, {name}) + "\n\n" + LoadText(txt::OverwriteSameNamesQuestion), "",
                 TMsgButtons::YesNoAll, TMsgIcon::Question));
}

void THost::TellSaveFailure(const std::string& text, const TError& error, bool targetFull) {
  MessageBox(text + "\n\n" + error.Text(), "", TMsgButtons::Ok, targetFull ? TMsgIcon::Error : TMsgIcon::Warning);
}

namespace {

class SilentFindDialog : public TFindDialog {
 public:
  bool Run() override { return false; }
  std::string Mask() const override { return "*"; }
  void AddHit(const std::string&) override {}
  void SetScanningText(const std::string&) override {}
  bool Cancelled() const override { return true; }
  void Hide() override {}
};

// Answers every question with its safe default so that library use never blocks.
class SilentHost : public THost {
 public:
  TMsgResult MessageBox(const std::string&, const std::string&, TMsgButtons buttons, TMsgIcon) override {
    switch (buttons) {
      case TMsgButtons::Ok: return TMsgResult::Ok;
      case TMsgButtons::OkCancel: return TMsgResult::Cancel;
      case TMsgButtons::AbortRetryIgnore: return TMsgResult::Abort;
      case TMsgButtons::YesNoCancel: return TMsgResult::Cancel;
      default: return TMsgResult::No;
    }
  }
  bool AskSectorRange(uint64_t&, uint64_t&, uint64_t) override { return false; }
  bool AskClusterRange(uint64_t&, uint64_t&, uint64_t, uint64_t) override { return false; }
  bool AskTargetFolder(std::string&) override { return false; }
  TFindDialog& FindDialog() override { return find_; }

 private:
  SilentFindDialog find_;
};

THost*& Current() {
  static THost* host = nullptr;
  return host;
}

}  // namespace

THost& Host() {
  static SilentHost silent;
  return Current() ? *Current() : silent;
}

void SetHost(THost* host) { Current() = host; }

ScopedHost::ScopedHost(THost& host) : previous_(Current()) { Current() = &host; }
ScopedHost::~ScopedHost() { Current() = previous_; }

}  // namespace salvex
