// Finding, adopting and stopping a running gamesim from the real daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "support/gamesim_client.h"

using namespace korvtest;
using gamesimtest::GameDir;

namespace {

class DiscoveryTest : public ::testing::Test {
 protected:
  // Runs the daemon until its listening line (or its end); returns the log.
  std::string RunDaemon(std::vector<std::string> extra, int* status = nullptr) {
    extra.push_back("-debug");
    run_.Start(extra, false);
    WaitUntil([&] { return !run_.daemon.running() || Has(run_.Log(), "Listening on"); });
    if (status != nullptr) *status = run_.daemon.Wait(std::chrono::seconds(10));
    return run_.Log();
  }
  gamesimtest::DaemonRun run_{""};
  GameDir& game_ = run_.game;
  Process& server_ = run_.server;
};

// The daemon adopts its server and leaves it running; -stop asks it to quit, kills only if ignored.
TEST_F(DiscoveryTest, AdoptsItsServerAndStopOptionStopsItAndExitsWithoutListening) {
  // gamesim takes the game's fixed ports.
  if (!PrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  ASSERT_TRUE(gamesimtest::StartGame(game_, &server_));
  EXPECT_TRUE(Has(RunDaemon({}), "Server is already running, monitoring enabled.\r\n"));
  run_.daemon.Signal(SIGTERM);
  ASSERT_EQ(run_.daemon.Wait(std::chrono::seconds(10)), 15);
  ASSERT_TRUE(server_.running());
  std::filesystem::remove(run_.LogPath());
  int status = -1;
  std::string log = RunDaemon({"-stop"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Has(log, "Server stopped via command-line option.\r\n"));
  EXPECT_FALSE(Has(log, "Listening on"));
  EXPECT_FALSE(Has(log, "Terminating server with extreme prejudice!"));
  EXPECT_EQ(server_.Wait(std::chrono::seconds(10)), 0);

  game_.WriteScenario("ignore-quit\n");
  std::filesystem::remove(game_.out());
  std::filesystem::remove(run_.LogPath());
  ASSERT_TRUE(gamesimtest::StartGame(game_, &server_));
  log = RunDaemon({"-stop"}, &status);
  EXPECT_TRUE(Has(log, "Terminating server with extreme prejudice!"));
  EXPECT_EQ(server_.Wait(std::chrono::seconds(10)), 128 + SIGKILL);
}

TEST_F(DiscoveryTest, StopOptionWithoutAServerJustRuns) {
  std::string log = RunDaemon({"-stop"});
  EXPECT_TRUE(Has(log, "Listening on"));
  EXPECT_FALSE(Has(log, "Server stopped"));
}

}  // namespace
