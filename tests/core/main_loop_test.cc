// The loop's tick timers and its reaction to SIGHUP.
#include "core/main_loop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "support/process_harness.h"

using namespace korvtest;

namespace {

TEST(MainLoopTicks, BothRunFirstThenEachOnItsPeriod) {
  TickTimers timers;
  std::time_t start = 1700000000;
  EXPECT_EQ(RunDueTicks(timers, start, 30), 3);
  EXPECT_EQ(RunDueTicks(timers, start + 2, 30), 0);
  EXPECT_EQ(RunDueTicks(timers, start + 3, 30), 1);
  EXPECT_EQ(RunDueTicks(timers, start + 29, 30), 1);
  EXPECT_EQ(RunDueTicks(timers, start + 30, 30), 2);
  // A server that ended resets the supervision timer: it runs at once.
  timers.last_supervision = 0;
  EXPECT_EQ(RunDueTicks(timers, start + 31, 30), 2);
}

TEST(MainLoopProcess, SighupKeepsTheDaemonRunning) {
  TempDir dir;
  MakeServerDir(dir.path());
  Process korvd;
  ASSERT_TRUE(korvd.Start({BuildPath("korvd"), "-path", dir.path(), "-port",
                           std::to_string(FreePort()), "-debug"},
                          dir.path(), dir / "out.txt"));
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "Listening on"));
  korvd.Signal(SIGHUP);
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "DEBUG: Caught SIGHUP!"));
  EXPECT_TRUE(korvd.running());
  EXPECT_EQ(ReadFile(dir / "korvd.log").find("Exiting"), std::string::npos);
  korvd.Signal(SIGINT);
  EXPECT_EQ(korvd.Wait(std::chrono::seconds(15)), 2);
  EXPECT_NE(ReadFile(dir / "korvd.log").find("Exiting due to signal (2)."), std::string::npos);
}

}  // namespace
