// The loop's tick timers and its reaction to a signal.
#include "daemon/main_loop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "support/gamesim_client.h"

using namespace korvtest;

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

// SIGINT ends a wait on a byte-by-byte login at once, not at the login's deadline.
TEST(MainLoopProcess, SigintEndsTheWaitOnAPeer) {
  gamesimtest::DaemonRun run;
  MakeServerDir(run.dir());
  ASSERT_TRUE(run.Start());
  korvclient::Client peer;
  ASSERT_TRUE(peer.Connect(run.port));
  ASSERT_TRUE(peer.Send("\x05"));  // the first byte of a length
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  run.daemon.Signal(SIGINT);
  EXPECT_EQ(run.daemon.Wait(std::chrono::seconds(15)), 2);
  std::string log = run.Log();
  EXPECT_FALSE(Has(log, "timed out"));
  EXPECT_TRUE(Has(log, "Exiting due to signal (2)."));
}

}  // namespace
