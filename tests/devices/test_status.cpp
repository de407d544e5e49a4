#include <gtest/gtest.h>

#include "common/StringTable.h"
#include "devices/StatusDialog.h"

namespace salvex::test {
namespace {

struct StatusTest : ::testing::Test {
  uint32_t now = 1000;
  TStatusDialog dialog{nullptr, [this] { return now; }};
};

TEST_F(StatusTest, ThousandStepsWithin100msMoveTheBarOnce) {
  dialog.Setup("c", "", "", "", "", true, false);
  dialog.Max = 100000;
  dialog.IntervalMs = 500;
  EXPECT_TRUE(dialog.UpdateDue());  // first call after a reset
  int moves = 0, last = dialog.BarPercent();
  for (int i = 0; i < 1000; ++i) {
    now += (i % 10 == 0) ? 1 : 0;
    dialog.Step();
    if (dialog.BarPercent() != last) ++moves, last = dialog.BarPercent();
  }
  EXPECT_EQ(dialog.Position, 1000u);
  EXPECT_EQ(dialog.LastUpdate, 1001u);  // only the very first step updated
  EXPECT_LE(moves, 1);
  EXPECT_TRUE(dialog.UpdateDue());   // the pending update from the first step
  EXPECT_FALSE(dialog.UpdateDue());  // then nothing within the interval
  now += 501;
  EXPECT_TRUE(dialog.UpdateDue());
}

TEST_F(StatusTest, ZeroIntervalUpdatesAtEveryTickBoundary) {
  dialog.Setup("c", "", "", "", "", true, false);
  dialog.Max = 4;
  dialog.IntervalMs = 0;
  dialog.Step();
  EXPECT_EQ(dialog.BarPercent(), 25);
  dialog.Step();  // same tick: no update
  EXPECT_EQ(dialog.BarPercent(), 25);
  ++now;
  dialog.Step();
  EXPECT_EQ(dialog.BarPercent(), 75);
}

TEST_F(StatusTest, BarRoundsHalfToEvenAndSurvivesZeroMax) {
  dialog.Setup("c", "", "", "", "", true, false);
  dialog.Max = 0;
  dialog.Step();
  EXPECT_EQ(dialog.BarPercent(), 0);
  dialog.ResetProgress();
  dialog.Max = 200;
  dialog.IntervalMs = 0;
  dialog.StepBy(1);  // 0.5 % -> 0
  EXPECT_EQ(dialog.BarPercent(), 0);
  ++now;
  dialog.StepBy(2);  // 1.5 % -> 2
  EXPECT_EQ(dialog.BarPercent(), 2);
}

TEST_F(StatusTest, RemainingTimeInSecondsThenMinutes) {
  LanguageBase = 1000;
  dialog.Setup("c", "", "", "", "", true, true);
  dialog.Max = 100;
  dialog.IntervalMs = 0;
  dialog.Step();  // starts the clock
  EXPECT_EQ(dialog.ClockStart, now);
  now += 6000;
  dialog.StepBy(9);  // 10 of 100 in 6 s -> 54 s left
  EXPECT_EQ(dialog.ElapsedSeconds, 6);
  EXPECT_NE(dialog.RemainingText().find("54"), std::string::npos) << dialog.RemainingText();
  dialog.ResetProgress();
  dialog.Max = 1000;
  dialog.Step();
  now += 10000;
  dialog.Step();  // 2 of 1000 in 10 s -> 4990 s, about 83 minutes
  EXPECT_NE(dialog.RemainingText().find("83"), std::string::npos) << dialog.RemainingText();
}

TEST_F(StatusTest, TextsKeepEmptySlotsAndShowClearsCancel) {
  dialog.Setup("cap", "one", "two", "", "", false, false);
  EXPECT_FALSE(dialog.BarVisible());
  dialog.UpdateTexts("", "uno", "");
  EXPECT_EQ(dialog.Caption(), "cap");
  EXPECT_EQ(dialog.Line(0), "uno");
  EXPECT_EQ(dialog.Line(1), "two");
  dialog.Cancel();
  EXPECT_TRUE(dialog.Cancelled);
  dialog.Show();
  EXPECT_FALSE(dialog.Cancelled);
  dialog.Setup("cap", "", "", "", "", true, false);
  EXPECT_TRUE(dialog.BarVisible());
  EXPECT_EQ(dialog.BarPercent(), 0);
}

}  // namespace
}  // namespace salvex::test
