// The real daemon supervising gamesim: renicing, the console login, crash
// detection with -restart and the restart loop.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>

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

// The version warning and the reconnection after a dropped link are shown
// against stand-ins with the ticks driven by hand.
TEST_F(SupervisionTest, RenicesTheServerItConnectsTo) {
  Start(kPlayers, {"-priority", "5"});
  ASSERT_TRUE(WaitForText(LogPath(), " : Connected\r\n", 15s)) << Log();
  EXPECT_TRUE(WaitForText(LogPath(), " : Changed server process priority to 5.\r\n", 15s));
}

TEST_F(SupervisionTest, CrashesAreRestartedUntilTheRestartLoop) {
  Start("crash 1 SIGSEGV\n", {"-restart"});
  ASSERT_TRUE(WaitForText(LogPath(), "Server is in a restart loop, disabling auto-restart.", 40s))
      << Log();
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Server has crashed\r\n"), 3) << log;
  EXPECT_EQ(Count(log, " : Auto-restart is enabled, restarting the server.\r\n"), 2);
  EXPECT_EQ(Count(log, " : Server started\r\n"), 3);
  EXPECT_EQ(RunToEnd({"/usr/bin/pgrep", "-f", game_.exe()}, "/", nullptr), 1);
}

}  // namespace
}  // namespace korvtest
