#include "cli/CliHost.h"
#include "common/TerminalText.h"
#include "disk/MappedRawIO.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include <iostream>
#include <utility>

namespace salvex::cli {

namespace {
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  std::string out;
  for (char c : text)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}
}  // namespace

void CatchInterrupts() {
  interrupted = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;  // the second signal takes its default course
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void TCliHost::ProcessMessages() {
  if (interrupted && Status) Status->Cancel();
}

TMsgResult TCliHost::AskTerminal(const std::string& text, TMsgButtons buttons) {
  const char* choices = buttons == TMsgButtons::YesNoAll ? " [y]es/[n]o/[a]ll: "
                        : buttons == TMsgButtons::AbortRetryIgnore ? " [a]bort/[r]etry/[i]gnore: "
                                                                  : " [y]es/[n]o: ";
  for (;;) {
    std::cerr << text << choices << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return buttons == TMsgButtons::AbortRetryIgnore ? TMsgResult::Abort : TMsgResult::No;
    char c = answer.empty() ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(answer[0])));
    if (buttons == TMsgButtons::AbortRetryIgnore) {
      if (c == 'a') return TMsgResult::Abort;
      if (c == 'r') return TMsgResult::Retry;
      if (c == 'i') return TMsgResult::Ignore;
    } else {
      if (c == 'y') return TMsgResult::Yes;
      if (c == 'n') return TMsgResult::No;
      if (c == 'a' && buttons == TMsgButtons::YesNoAll) return TMsgResult::All;
    }
  }
}

TReadErrorAnswer TCliHost::AnswerReadError(const std::string& caption, const std::string& text, bool perChunk) {
  // The device layer asks once per chunk; searches that ask once per region say it themselves.
  if (!(perChunk && TellMapRefusal()) && !(QuietIgnoredReads && OnReadError == TReadErrorPolicy::Ignore))
    std::cerr << "salvex-cli: " << caption << ": " << TerminalSafe(OneLine(text)) << "\n";
  if (OnReadError == TReadErrorPolicy::Retry && RetriesLeft > 0) {
    --RetriesLeft;
    return TReadErrorAnswer::Retry;
  }
  if (OnReadError == TReadErrorPolicy::Ignore) return TReadErrorAnswer::Ignore;
  return TReadErrorAnswer::Abort;
}

TReadErrorAnswer TCliHost::AskReadError(int error, uint8_t drive, uint64_t lba, uint32_t count) {
  return AnswerReadError(ReadErrorCaption(), ReadErrorText(error, drive, lba, count), true);
}

TReadErrorAnswer TCliHost::AskUnreadableRegion(uint64_t first, uint64_t last) {
  return AnswerReadError(UnreadableRegionCaption(), UnreadableRegionText(first, last), false);
}

TMsgResult TCliHost::MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                                TMsgIcon icon) {
  std::string line = TerminalSafe(OneLine(text));
  switch (buttons) {
    case TMsgButtons::AbortRetryIgnore:
      switch (AnswerReadError(caption, text, caption == ReadErrorCaption())) {
        case TReadErrorAnswer::Retry: return TMsgResult::Retry;
        case TReadErrorAnswer::Ignore: return TMsgResult::Ignore;
        default: return TMsgResult::Abort;
      }
    case TMsgButtons::YesNo:
    case TMsgButtons::YesNoAll:
    case TMsgButtons::YesNoCancel:
      if (Interactive) return AskTerminal(line, buttons);
      return TMsgResult::No;
    default:
      (void)icon;
      std::cerr << "salvex-cli: " << (caption.empty() ? "" : caption + ": ") << line << "\n";
      return buttons == TMsgButtons::OkCancel ? TMsgResult::Cancel : TMsgResult::Ok;
  }
}

bool TCliHost::TellMapRefusal() {
  if (!Mapped || Mapped->RefusedReads() == refusalsSeen_) return false;
  refusalsSeen_ = Mapped->RefusedReads();
  const TMappedRawIO::TRefusal& r = Mapped->LastRefusal();
  const std::vector<TRescueBlock> unread = r.Map ? r.Map->Unrescued(r.Offset, r.Length) : std::vector<TRescueBlock>{};
  if (unread.empty()) return false;
  // The whole unread range of the map, not only the part this read touched.
  const TRescueBlock range = r.Map->BlockAt(unread.front().Pos);
  uint64_t first = range.Pos, end = range.End();
  for (TRescueBlock b = range; b.Size > 0 && b.Status != RescueFinished; b = r.Map->BlockAt(b.Pos - 1)) {
    first = b.Pos;
    if (b.Pos == 0) break;
  }
  for (TRescueBlock b = range; b.Size > 0 && b.Status != RescueFinished; b = r.Map->BlockAt(b.End())) end = b.End();
  if (rangeReads_[first]++ == 0 && !QuietIgnoredReads)
    std::cerr << "salvex-cli: bytes " << first << "-" << end - 1 << " (" << end - first
              << ") were never read from the disk (the map does not mark them rescued); every read there fails\n";
  return true;
}

void TCliHost::ReportMapRanges() const {
  if (rangeReads_.empty() || QuietIgnoredReads) return;
  uint64_t reads = 0;
  for (const auto& [first, count] : rangeReads_) reads += count;
  std::cerr << "salvex-cli: " << reads << " read(s) fell on " << rangeReads_.size()
            << " range(s) the map does not mark rescued\n";
}

bool TCliHost::AskSectorRange(uint64_t& first, uint64_t& last, uint64_t maximum) {
  if (RangeGiven) {
    first = RangeFirst;
    last = RangeLast;
  }
  if (first > last) std::swap(first, last);
  if (last > maximum) last = maximum;
  if (first > last) first = last;
  return true;
}

bool TCliHost::AskClusterRange(uint64_t& first, uint64_t& last, uint64_t minimum, uint64_t maximum) {
  if (RangeGiven) {
    first = RangeFirst;
    last = RangeLast;
  }
  // A range typed backwards means the same clusters.
  if (first > last) std::swap(first, last);
  if (first < minimum) first = minimum;
  if (last > maximum) last = maximum;
  if (first > last) first = last;
  return true;
}

bool TCliHost::AskTargetFolder(std::string&) { return false; }

TFindDialog& TCliHost::FindDialog() {
  find_.host = this;
  return find_;
}

namespace {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Scaled(double value, const std::string& unit) {
  static const char* prefixes[] = {"", "k", "M", "G", "T"};
  int i = 0;
  while (value >= 1000 && i < 4) {
    value /= 1000;
    ++i;
  }
  char text[48];
  if (unit == "B")
    std::snprintf(text, sizeof text, "%.1f %sB", value, prefixes[i]);
  else
    std::snprintf(text, sizeof text, "%.1f%s %s", value, prefixes[i], unit.c_str());
  return text;
}

// Columns a UTF-8 text takes, counting each code point as one.
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

std::string ProgressLine(int percent, double ratePerSecond, const std::string& unit, double secondsLeft,
                         const std::string& text, size_t width) {
  std::string line;
  if (percent >= 0) {
    const int p = percent > 100 ? 100 : percent;
    const int filled = p / 5;
    line = "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), '.') + "] ";
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", p);
    line += pct;
  }
  if (ratePerSecond >= 0) line += "  " + Scaled(ratePerSecond, unit) + "/s";
  if (secondsLeft >= 0) {
    const auto s = static_cast<long long>(secondsLeft + 0.5);
    char left[40];
    if (s >= 3600)
      std::snprintf(left, sizeof left, "  %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
    else
      std::snprintf(left, sizeof left, "  %lld:%02lld left", s / 60, s % 60);
    line += left;
  }
  if (!text.empty()) line += (line.empty() ? "" : "  ") + text;
  // Cut on a code point boundary.
  if (Columns(line) > width) {
    size_t cols = 0, i = 0;
    for (; i < line.size(); ++i) {
      if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80 && ++cols > width) break;
    }
    line.resize(i);
  }
  return line;
}

TCliStatusView::~TCliStatusView() {
  if (drawn_) std::cerr << "\r\033[K" << std::flush;
}

void TCliStatusView::ShowTexts(const std::string& caption, const std::string lines[4]) {
  caption_ = caption;
  line_.clear();
  for (int i = 0; i < 4; ++i)
    if (!lines[i].empty()) line_ += (line_.empty() ? "" : "  ") + OneLine(lines[i]);
  Draw();
}

void TCliStatusView::ShowBar(bool visible, int percent) {
  if (visible && percent == 0) {
    // A new operation: the rate counts from here.
    startSeconds_ = NowSeconds();
    startPosition_ = dialog_ ? dialog_->Position : 0;
  }
  percent_ = visible ? percent : -1;
  Draw();
}

// The dialog's own estimate is coarse (whole minutes); the line computes its own from the rate.
void TCliStatusView::ShowRemaining(const std::string&) {}

void TCliStatusView::SetVisible(bool visible) {
  if (!visible && drawn_) {
    std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }
}

void TCliStatusView::Draw() {
  if (!enabled_) return;
  double rate = -1, left = -1;
  if (dialog_ && percent_ >= 0 && startSeconds_ > 0) {
    const double elapsed = NowSeconds() - startSeconds_;
    const uint64_t done = dialog_->Position > startPosition_ ? dialog_->Position - startPosition_ : 0;
    if (elapsed >= 1 && done > 0) {
      rate = double(done) / elapsed;
      if (dialog_->Max > dialog_->Position) left = double(dialog_->Max - dialog_->Position) / rate;
      else left = 0;
    }
  }
  winsize ws{};
  const size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10 ? ws.ws_col - 1 : 79;
  std::cerr << "\r\033[K" << ProgressLine(percent_, rate, Unit, left, line_.empty() ? caption_ : line_, width)
            << std::flush;
  drawn_ = true;
}

}  // namespace salvex::cli
