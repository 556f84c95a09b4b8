// Tests of the deadline settings: how a value is read and what the driver gets.
#include "driver/deadline.h"

#include <gtest/gtest.h>

namespace korvadex {
namespace {

TEST(DeadlineTest, ReadsWholeSecondsAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    bool isRead;
    int seconds;
  };
  const Case cases[] = {
      {nullptr, true, 0},          {"", true, 0},           {"0", true, 0},
      {"2", true, 2},              {"0030", true, 30},      {"2147483647", true, 2147483647},
      {"2147483648", false, 0},    {"99999999999999999999", false, 0},
      {"-5", false, 0},            {"+5", false, 0},        {"1.5", false, 0},
      {"10s", false, 0},           {" 10", false, 0},       {"10 ", false, 0},
      {"abc", false, 0},           {"0x10", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "(unset)" : c.text);
    int seconds = -1;
    EXPECT_EQ(ParseDeadlineSeconds(c.text, seconds), c.isRead);
    EXPECT_EQ(seconds, c.seconds);
  }
}

TEST(DeadlineTest, DriverTimeoutsFollowTheEarliestLimitWithTwoSecondsToSpare) {
  EXPECT_EQ(DriverLoginTimeout({0, 0}), 0);
  EXPECT_EQ(DriverLoginTimeout({5, 0}), 7);
  EXPECT_EQ(DriverLoginTimeout({0, 7}), 9);
  EXPECT_EQ(DriverLoginTimeout({9, 4}), 6);
  EXPECT_EQ(DriverLoginTimeout({2147483646, 0}), 2147483647);

  using std::chrono::milliseconds;
  EXPECT_EQ(DriverQueryTimeout({5, 0}, milliseconds(0)), 0);
  EXPECT_EQ(DriverQueryTimeout({0, 10}, milliseconds(0)), 12);
  EXPECT_EQ(DriverQueryTimeout({0, 10}, milliseconds(3900)), 9);
  // The run's own clock ends it; the driver still gets a limit, never none.
  EXPECT_EQ(DriverQueryTimeout({0, 10}, milliseconds(10500)), 2);
  EXPECT_EQ(DriverQueryTimeout({0, 2147483647}, milliseconds(0)), 2147483647);
}

}  // namespace
}  // namespace korvadex
