// The state's reset (one clock, nothing a test leaves behind survives it) and the tick timers.
#include "daemon/manager_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/clock.h"
#include "core/last_error.h"
#include "core/wake.h"
#include "daemon/main_loop.h"
#include "remote/command_queue.h"
#include "remote/connection.h"
#include "support/process_harness.h"
#include "support/remote_client.h"

namespace {

bool Closed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

TEST(ManagerStateTest, OneClockForEveryReadingUntilTheReset) {
  ResetManagerState();
  SetClockForTests([] { return std::int64_t{1700000000250}; });
  EXPECT_EQ(ClockNow(), 1700000000);
  EXPECT_EQ(std::tuple(WallNow().time_since_epoch(), SteadyNow().time_since_epoch()),
            std::tuple(std::chrono::milliseconds(1700000000250), std::chrono::milliseconds(1700000000250)));
  ResetManagerState();
  EXPECT_NE(ClockNow(), 1700000000);
}

TEST(ManagerStateTest, ResetClosesWhatTheSectionsOpenedAndPutsTheHooksBack) {
  ResetManagerState();
  const auto runner = g_manager.remote.command_runner;
  ASSERT_NE(runner, nullptr);
  int port = 0;
  int listener = korvtest::BindLoopback(false, 0, &port);
  korvclient::Client peer;
  ASSERT_TRUE(peer.Connect(port));
  AcceptConnection(listener);
  ::close(listener);
  int console[2];
  ASSERT_EQ(::pipe(console), 0);
  g_manager.links.console_socket = console[0];
  OpenWakePipe();
  const int wake = WakePipeFd();
  ASSERT_GE(wake, 0);
  SetLastError(EIO);
  SetCommandRunner([](const QueuedCommand&) {});
  PaceOutput(false);

  ResetManagerState();
  pollfd hangup{peer.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&hangup, 1, 10000), 1);
  char byte;
  EXPECT_EQ(::recv(peer.fd(), &byte, 1, 0), 0);  // the daemon's end is closed
  EXPECT_EQ(std::tuple(Closed(console[0]), Closed(wake), WakePipeFd(), LastError(), g_manager.remote.output_paced),
            std::tuple(true, true, -1, 0, true));
  EXPECT_EQ(g_manager.remote.command_runner, runner);
  ::close(console[1]);
}

TEST(MainLoopTicks, BothRunFirstThenEachOnItsPeriod) {
  TickTimers timers;
  std::time_t start = 1700000000;
  EXPECT_EQ(MillisecondsToNextTick(timers, std::chrono::system_clock::from_time_t(start), 30), 3000);
  EXPECT_EQ((std::vector{RunDueTicks(timers, start, 30), RunDueTicks(timers, start + 2, 30), RunDueTicks(timers, start + 3, 30),
                         RunDueTicks(timers, start + 29, 30), RunDueTicks(timers, start + 30, 30)}),
            (std::vector{3, 0, 1, 1, 2}));
  // A server that ended resets the supervision timer: it runs at once.
  timers.last_supervision = 0;
  EXPECT_EQ(RunDueTicks(timers, start + 31, 30), 2);
  // The loop waits no longer than until the next tick is due.
  auto at = [&](std::time_t t, int ms) { return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(ms); };
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 31, 250), 30), 750);
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 34, 1), 30), 0);
  timers.last_status = start + 70;  // the supervision tick is due first
  EXPECT_EQ(MillisecondsToNextTick(timers, at(start + 60, 500), 30), 500);
}

// The poll waits its period (at least 50 ms) from the last fetch, the status
// tick's included, and only while the console link is up.
TEST(MainLoopTicks, ChatPollWaitsItsPeriodFromTheLastFetch) {
  ResetManagerState();
  g_manager.core.conf.chat_poll_ms = 20;
  TickTimers timers;
  const auto t = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
  const auto ms = [](int n) { return std::chrono::milliseconds(n); };
  EXPECT_EQ(MillisecondsToChatPoll(timers, t), -1);
  g_manager.links.console_connected = true;
  EXPECT_EQ(MillisecondsToChatPoll(timers, t), 0);
  EXPECT_FALSE(RunChatPoll(timers, t, 0, true));
  EXPECT_EQ(MillisecondsToChatPoll(timers, t + ms(10)), 40);
  EXPECT_FALSE(RunChatPoll(timers, t + ms(49), 0, false));
  g_manager.core.conf.chat_poll_ms = 0;
  EXPECT_EQ(MillisecondsToChatPoll(timers, t + ms(60)), -1);
  ResetManagerState();
}

}  // namespace
