// The state's reset: one clock, and nothing a test leaves behind survives it.
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
  EXPECT_EQ(WallNow().time_since_epoch(), std::chrono::milliseconds(1700000000250));
  EXPECT_EQ(SteadyNow().time_since_epoch(), std::chrono::milliseconds(1700000000250));
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
  EXPECT_TRUE(Closed(console[0]));
  EXPECT_TRUE(Closed(wake));
  EXPECT_EQ(WakePipeFd(), -1);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(g_manager.remote.command_runner, runner);
  EXPECT_TRUE(g_manager.remote.output_paced);
  ::close(console[1]);
}

}  // namespace
