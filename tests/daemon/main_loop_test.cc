// The loop's tick timers and its reaction to SIGHUP.
#include "daemon/main_loop.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/process_harness.h"

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
  EXPECT_FALSE(Has(ReadFile(dir / "korvd.log"), "Exiting"));
  korvd.Signal(SIGINT);
  EXPECT_EQ(korvd.Wait(std::chrono::seconds(15)), 2);
  EXPECT_TRUE(Has(ReadFile(dir / "korvd.log"), "Exiting due to signal (2)."));
}

// SIGTERM ends a wait on a peer that sends a login byte by byte at once,
// not when the login's deadline runs out.
TEST(MainLoopProcess, SigtermEndsTheWaitOnAPeer) {
  TempDir dir;
  MakeServerDir(dir.path());
  int port = FreePort();
  Process korvd;
  ASSERT_TRUE(korvd.Start({BuildPath("korvd"), "-path", dir.path(), "-port",
                           std::to_string(port)},
                          dir.path(), dir / "out.txt"));
  ASSERT_TRUE(WaitForText(dir / "korvd.log", "Listening on"));
  int peer = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::send(peer, "\x05", 1, 0), 1);  // the first byte of a length
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  korvd.Signal(SIGTERM);
  EXPECT_EQ(korvd.Wait(std::chrono::seconds(15)), 15);
  ::close(peer);
  std::string log = ReadFile(dir / "korvd.log");
  EXPECT_FALSE(Has(log, "timed out"));
  EXPECT_TRUE(Has(log, "Exiting due to signal (15)."));
}

}  // namespace
