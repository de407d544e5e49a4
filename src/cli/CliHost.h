#pragma once
#include <cstdio>
#include <string>

#include "common/Host.h"
#include "devices/StatusDialog.h"

namespace salvex::cli {

enum class TReadErrorPolicy { Abort, Ignore, Retry };

// Answers the questions the device layer asks while reading (unreadable sectors) from the
// command-line flags, and prints the core's messages on stderr. Saving has its own questions.
class TCliHost : public THost {
 public:
  TReadErrorPolicy OnReadError = TReadErrorPolicy::Abort;
  int RetriesLeft = 0;
  uint64_t RangeFirst = 0, RangeLast = UINT64_MAX;
  bool RangeGiven = false;
  bool Interactive = false;  // stdin and stderr are terminals

  TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                        TMsgIcon icon) override;
  bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) override;
  bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) override;
  bool AskTargetFolder(std::string& folder) override;
  TFindDialog& FindDialog() override;

 private:
  TMsgResult AskTerminal(const std::string& text, TMsgButtons buttons);
  class CliFind : public TFindDialog {
   public:
    TCliHost* host = nullptr;
    bool Run() override { return true; }
    std::string Mask() const override { return "*"; }
    void AddHit(const std::string&) override {}
    void SetScanningText(const std::string&) override {}
    bool Cancelled() const override { return false; }
    void Hide() override {}
  } find_;
};

// Progress on stderr as one rewritten line, only when stderr is a terminal.
class TCliStatusView : public TStatusView {
 public:
  explicit TCliStatusView(bool enabled) : enabled_(enabled) {}
  ~TCliStatusView() override;
  void ShowTexts(const std::string& caption, const std::string lines[4]) override;
  void ShowBar(bool visible, int percent) override;
  void ShowRemaining(const std::string& text) override;
  void SetVisible(bool visible) override;

 private:
  void Draw();
  bool enabled_;
  bool drawn_ = false;
  std::string caption_, line_, remaining_;
  int percent_ = -1;
};

}  // namespace salvex::cli
