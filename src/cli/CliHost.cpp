#include "cli/CliHost.h"

#include <unistd.h>

#include <iostream>
#include <utility>

namespace salvex::cli {

namespace {
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  std::string out;
  for (char c : text)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}
}  // namespace

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

TMsgResult TCliHost::MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                                TMsgIcon icon) {
  std::string line = OneLine(text);
  switch (buttons) {
    case TMsgButtons::AbortRetryIgnore:
      std::cerr << "salvex-cli: " << caption << ": " << line << "\n";
      if (OnReadError == TReadErrorPolicy::Retry && RetriesLeft > 0) {
        --RetriesLeft;
        return TMsgResult::Retry;
      }
      if (OnReadError == TReadErrorPolicy::Ignore) return TMsgResult::Ignore;
      return TMsgResult::Abort;
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

TCliStatusView::~TCliStatusView() {
  if (drawn_) std::cerr << "\n";
}

void TCliStatusView::ShowTexts(const std::string& caption, const std::string lines[4]) {
  caption_ = caption;
  line_.clear();
  for (int i = 0; i < 4; ++i)
    if (!lines[i].empty()) line_ += (line_.empty() ? "" : "  ") + OneLine(lines[i]);
  Draw();
}
void TCliStatusView::ShowBar(bool visible, int percent) {
  percent_ = visible ? percent : -1;
  Draw();
}
void TCliStatusView::ShowRemaining(const std::string& text) {
  remaining_ = text;
  Draw();
}
void TCliStatusView::SetVisible(bool visible) {
  if (!visible && drawn_) {
    std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }
}

void TCliStatusView::Draw() {
  if (!enabled_) return;
  std::string text = line_.empty() ? caption_ : line_;
  if (percent_ >= 0) text = "[" + std::to_string(percent_) + "%] " + text;
  if (!remaining_.empty()) text += "  " + remaining_;
  if (text.size() > 110) text.resize(110);
  std::cerr << "\r\033[K" << text << std::flush;
  drawn_ = true;
}

}  // namespace salvex::cli
