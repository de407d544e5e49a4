#include "common/Host.h"

#include "common/Format.h"
#include "common/StringTable.h"


namespace salvex {

std::string PrepareFindMask(const std::string& typed) {
  std::string mask = typed.empty() ? "*" : typed;
  if (mask.find('.') == std::string::npos) mask = "*" + mask + "*";
  return mask;
}

std::string THost::TypeName(const std::string& fileName) {
  auto dot = fileName.rfind('.');
  if (dot == std::string::npos || dot + 1 == fileName.size()) return "File";
  std::string ext = fileName.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return ext + " File";
}

std::string THost::FolderTypeName() { return LoadText(758); }

bool THost::ConfirmTargetOnExaminedDevice(const std::string& folder) {
  return MessageBox(TextF(756, {folder}), "", TMsgButtons::YesNo, TMsgIcon::Warning) == TMsgResult::Yes;
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
