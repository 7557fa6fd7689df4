// The loop's tick timers.
#include "daemon/main_loop.h"

#include <gtest/gtest.h>

namespace {

TEST(MainLoopTicks, BothRunFirstThenEachOnItsPeriod) {
  TickTimers timers;
  std::time_t start = 1700000000;
  EXPECT_EQ(MillisecondsToNextTick(timers, std::chrono::system_clock::from_time_t(start), 30), 3000);
  EXPECT_EQ(RunDueTicks(timers, start, 30), 3);
  EXPECT_EQ(RunDueTicks(timers, start + 2, 30), 0);
  EXPECT_EQ(RunDueTicks(timers, start + 3, 30), 1);
  EXPECT_EQ(RunDueTicks(timers, start + 29, 30), 1);
  EXPECT_EQ(RunDueTicks(timers, start + 30, 30), 2);
  // A server that ended resets the supervision timer: it runs at once.
  timers.last_supervision = 0;
  EXPECT_EQ(RunDueTicks(timers, start + 31, 30), 2);
  // The loop waits no longer than until the next tick is due.
  auto at = [&](std::time_t t, int ms) {
    return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(ms);
  };
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 31, 250), 30), 750);
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 34, 1), 30), 0);
  timers.last_status = start + 70;  // the supervision tick is due first
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 60, 500), 30), 500);
}

}  // namespace
