#pragma once
#include <cstdio>
#include <map>
#include <string>

#include "common/Host.h"
#include "devices/StatusDialog.h"

namespace salvex {
class TMappedRawIO;
}

namespace salvex::cli {

enum class TReadErrorPolicy { Abort, Ignore, Retry };

// Answers the questions the device layer asks while reading (unreadable sectors) from the
// command-line flags, and prints the core's messages on stderr. Saving has its own questions.
class TCliHost : public THost {
 public:
  TReadErrorPolicy OnReadError = TReadErrorPolicy::Abort;
  int RetriesLeft = 0;
  // Ignored read errors are not told one by one (map-files: the map says where they are).
  bool QuietIgnoredReads = false;
  uint64_t RangeFirst = 0, RangeLast = UINT64_MAX;
  bool RangeGiven = false;
  bool Interactive = false;  // stdin and stderr are terminals
  // Reads through a rescue map: a read the map refused is told once per unread range of the map,
  // not once per chunk that touched it; ReportMapRanges counts them at the end.
  const TMappedRawIO* Mapped = nullptr;
  void ReportMapRanges() const;

  TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                        TMsgIcon icon) override;
  bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) override;
  bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) override;
  bool AskTargetFolder(std::string& folder) override;
  TReadErrorAnswer AskReadError(int error, uint8_t drive, uint64_t lba, uint32_t count) override;
  TReadErrorAnswer AskUnreadableRegion(uint64_t first, uint64_t last) override;
  TFindDialog& FindDialog() override;
  // Cancels `Status` once Ctrl-C (SIGINT) or SIGTERM has come; long work calls this often.
  void ProcessMessages() override;
  TStatusDialog* Status = nullptr;

 private:
  // True when the read error being asked about is one the map refused (told here, once per range).
  bool TellMapRefusal();
  uint64_t refusalsSeen_ = 0;
  std::map<uint64_t, uint64_t> rangeReads_;  // failed reads by the unread range's first byte
  TMsgResult AskTerminal(const std::string& text, TMsgButtons buttons);
  // Tells of an unreadable stretch on stderr and answers from --on-read-error.
  TReadErrorAnswer AnswerReadError(const std::string& caption, const std::string& text, bool perChunk);
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

// Ctrl-C and SIGTERM end a long command as its Cancel button would: what was saved stays, a file
// cut short is kept as partial, and the summary is printed. A second one ends the program at once.
void CatchInterrupts();

// One progress line: a bar with the percentage, the rate and the time left, then `text`, cut to
// `width` columns. A negative percent or rate leaves its part out.
std::string ProgressLine(int percent, double ratePerSecond, const std::string& unit, double secondsLeft,
                         const std::string& text, size_t width);

// Progress on stderr as one rewritten line, only when enabled (stderr is a terminal and not --quiet).
class TCliStatusView : public TStatusView {
 public:
  explicit TCliStatusView(bool enabled) : enabled_(enabled) {}
  ~TCliStatusView() override;
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  // The dialog whose Position and Max the rate and time left are computed from.
  void SetDialog(const TStatusDialog* dialog) { dialog_ = dialog; }
  // What the dialog's Position counts: "B" for bytes, else a plural noun ("sectors").
  std::string Unit = "B";

  void ShowTexts(const std::string& caption, const std::string lines[4]) override;
  void ShowBar(bool visible, int percent) override;
  void ShowRemaining(const std::string& text) override;
  void SetVisible(bool visible) override;

 private:
  void Draw();
  bool enabled_;
  bool drawn_ = false;
  const TStatusDialog* dialog_ = nullptr;
  std::string caption_, line_;
  int percent_ = -1;
  double startSeconds_ = 0;
  uint64_t startPosition_ = 0;
};

}  // namespace salvex::cli
