// Tests of the deadline settings: how a value is read and what the driver gets.
#include "driver/deadline.h"

#include <gtest/gtest.h>

namespace korvadex {
namespace {

TEST(DeadlineTest, ReadsWholeSecondsAndRefusesEverythingElse) {
  const struct {
    const char* text;
    bool isRead;
    int seconds;
  } cases[] = {{nullptr, true, 0}, {"", true, 0}, {"0", true, 0}, {"0030", true, 30},
               {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"99999999999999999999", false, 0},
               {"-5", false, 0}, {"+5", false, 0}, {"1.5", false, 0}, {"10s", false, 0}, {" 10", false, 0}};
  for (const auto& c : cases) {
    int seconds = -1;
    EXPECT_EQ(ParseDeadlineSeconds(c.text, seconds), c.isRead) << (c.text ? c.text : "(unset)");
    EXPECT_EQ(seconds, c.seconds) << (c.text ? c.text : "(unset)");
  }
}

TEST(DeadlineTest, DriverTimeoutsFollowTheEarliestLimitWithTwoSecondsToSpare) {
  EXPECT_EQ(DriverLoginTimeout({9, 4}), 6);
  // Capped where psqlODBC's milliseconds would overflow 32 bits.
  EXPECT_EQ(DriverLoginTimeout({1999997, 0}), 1999999);
  EXPECT_EQ(DriverLoginTimeout({1999998, 0}), 2000000);
  EXPECT_EQ(DriverLoginTimeout({2147483646, 0}), 2000000);
  EXPECT_EQ(DriverQueryTimeout({0, 4294966}, std::chrono::milliseconds(1500)), 2000000);
  EXPECT_EQ(DriverQueryTimeout({0, 10}, std::chrono::milliseconds(3900)), 9);
  // The run's own clock ends it; the driver still gets a limit, never none.
  EXPECT_EQ(DriverQueryTimeout({0, 10}, std::chrono::milliseconds(10500)), 2);
}

}  // namespace
}  // namespace korvadex
