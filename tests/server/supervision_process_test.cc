// The real daemon supervising gamesim: renicing, console login and
// reconnection, the version warning, crash detection with -restart and the
// restart loop.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <thread>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 0123456789abcdef0123456789abcdef Mike\n";

int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1))
    ++count;
  return count;
}

class SupervisionTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, std::vector<std::string> options,
             std::map<std::string, std::string> settings = {}) {
    settings.insert({"manager.monitorTimerPeriod", "10"});
    gamesimtest::LayOutForDaemon(&game_, scenario, settings);
    std::vector<std::string> argv = {BuildPath("korvd"), "-path", game_.dir.path(), "-start",
                                     "-port", std::to_string(FreePort())};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(daemon_.Start(argv, game_.dir.path(), game_.dir / "korvd-out.txt"));
  }
  void TearDown() override {
    daemon_.Signal(SIGTERM);
    daemon_.Wait(20s);
    // Whatever gamesim is left is killed by pid.
    std::string pids;
    RunToEnd({"/usr/bin/pgrep", "-f", game_.exe()}, "/", &pids);
    for (std::size_t at = 0; at < pids.size();) {
      std::size_t end = pids.find('\n', at);
      int pid = std::atoi(pids.substr(at, end - at).c_str());
      if (pid > 0) ::kill(pid, SIGKILL);
      at = end == std::string::npos ? pids.size() : end + 1;
    }
  }
  std::string LogPath() const { return game_.dir / "korvd.log"; }
  std::string Log() const { return ReadFile(LogPath()); }

  gamesimtest::GameDir game_;
  Process daemon_;
};

TEST_F(SupervisionTest, RenicesConnectsWarnsAboutTheVersionAndReconnects) {
  Start(kPlayers + "version v1.61\n", {"-priority", "5"});
  ASSERT_TRUE(WaitForText(LogPath(), " : Connected\r\n", 15s)) << Log();
  EXPECT_TRUE(WaitForText(LogPath(), " : Changed server process priority to 5.\r\n", 15s));
  ASSERT_TRUE(WaitForText(LogPath(),
                          " : WARNING: This version of Korvane is intended for BF v1.60 and may "
                          "not work correctly with this v1.61 server.\r\n",
                          10s))
      << Log();
  game_.WriteScenario(kPlayers + "version v1.61\ndrop-console\n");
  ASSERT_TRUE(WaitForText(LogPath(), " : Connection reset\r\n", 15s)) << Log();
  game_.WriteScenario(kPlayers + "version v1.61\n");
  for (int i = 0; i < 150 && Count(Log(), " : Connected\r\n") < 2; ++i)
    std::this_thread::sleep_for(100ms);
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Connected\r\n"), 2) << log;
}

TEST_F(SupervisionTest, CrashesAreRestartedUntilTheRestartLoop) {
  Start("crash 1 SIGSEGV\n", {"-restart"});
  ASSERT_TRUE(WaitForText(LogPath(), "Server is in a restart loop, disabling auto-restart.", 40s))
      << Log();
  std::this_thread::sleep_for(2s);  // time for a fourth start, which must not come
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Server has crashed\r\n"), 3) << log;
  EXPECT_EQ(Count(log, " : Auto-restart is enabled, restarting the server.\r\n"), 2);
  EXPECT_EQ(Count(log, " : Server started\r\n"), 3);
  EXPECT_EQ(RunToEnd({"/usr/bin/pgrep", "-f", game_.exe()}, "/", nullptr), 1);
}

}  // namespace
}  // namespace korvtest
