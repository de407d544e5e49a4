#pragma once
#include <deque>
#include <string>
#include <vector>

#include "common/Host.h"

namespace salvex::test {

// Records every message and answers from a script (then a default).
class FakeHost : public THost {
 public:
  struct Message {
    std::string text, caption;
    TMsgButtons buttons;
    TMsgIcon icon;
  };
  std::vector<Message> messages;
  std::deque<TMsgResult> answers;
  TMsgResult defaultAnswer = TMsgResult::Ok;
  std::string targetFolder;
  bool targetGiven = false;
  uint64_t rangeFirst = 0, rangeLast = UINT64_MAX;
  bool rangeAccepted = true;
  bool deletedSelected = false;
  int processed = 0;

  class Find : public TFindDialog {
   public:
    bool start = true;
    std::string mask = "*";
    std::vector<std::string> hits;
    bool cancelled = false;
    bool Run() override { return start; }
    std::string Mask() const override { return mask; }
    void AddHit(const std::string& name) override { hits.push_back(name); }
    void SetScanningText(const std::string&) override {}
    bool Cancelled() const override { return cancelled; }
    void Hide() override {}
  } find;

  TMsgResult MessageBox(const std::string& text, const std::string& caption, TMsgButtons buttons,
                        TMsgIcon icon) override {
    messages.push_back({text, caption, buttons, icon});
    if (answers.empty()) return defaultAnswer;
    TMsgResult r = answers.front();
    answers.pop_front();
    return r;
  }
  void ProcessMessages() override { ++processed; }
  bool AskSectorRange(uint64_t& first, uint64_t& last, uint64_t) override {
    first = rangeFirst;
    last = rangeLast;
    return rangeAccepted;
  }
  bool AskClusterRange(uint64_t& first, uint64_t& last, uint64_t, uint64_t) override {
    first = rangeFirst;
    last = rangeLast;
    return rangeAccepted;
  }
  bool AskTargetFolder(std::string& folder) override {
    if (!targetGiven) return false;
    folder = targetFolder;
    return true;
  }
  TFindDialog& FindDialog() override { return find; }
};

}  // namespace salvex::test
