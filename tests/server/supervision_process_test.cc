// The real daemon supervising gamesim: renicing, the console login, crash
// detection with -restart and the restart loop.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/helpers.h"

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 0123456789abcdef0123456789abcdef Mike\n";

class SupervisionTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, std::vector<std::string> options,
             std::map<std::string, std::string> settings = {}) {
    settings.insert({"manager.monitorTimerPeriod", "10"});
    gamesimtest::LayOutForDaemon(&game_, scenario, settings);
    if (!conf_.empty()) WriteFile(game_.settings() + "/korvd.conf", conf_);
    WriteFile(game_.settings() + "/useraccess.con", "admin,secret,,4294967295,1\n");
    port_ = FreePort();
    std::vector<std::string> argv = env_;
    for (const std::string& word : {BuildPath("korvd"), std::string("-path"), game_.dir.path(),
                                    std::string("-start"), std::string("-port"),
                                    std::to_string(port_)})
      argv.push_back(word);
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(daemon_.Start(argv, game_.dir.path(), game_.dir / "korvd-out.txt"));
  }
  void TearDown() override {
    daemon_.Signal(SIGTERM);
    daemon_.Wait(20s);
    for (int pid : GamePids()) ::kill(pid, SIGKILL);  // whatever gamesim is left
  }
  std::string LogPath() const { return game_.dir / "korvd.log"; }
  std::string Log() const { return ReadFile(LogPath()); }
  int Health(std::string* out) {
    return RunToEnd({BuildPath("korvctl"), "-p", std::to_string(port_), "-u", "admin",
                     "--password", "secret", "health"}, "/", out);
  }
  std::vector<int> GamePids() {
    std::string pids;
    RunToEnd({"/usr/bin/pgrep", "-f", game_.exe()}, "/", &pids);
    std::vector<int> found;
    for (std::size_t at = 0; at < pids.size();) {
      std::size_t end = pids.find('\n', at);
      if (int pid = std::atoi(pids.substr(at, end - at).c_str()); pid > 0) found.push_back(pid);
      at = end == std::string::npos ? pids.size() : end + 1;
    }
    return found;
  }

  gamesimtest::GameDir game_;
  Process daemon_;
  std::string conf_;               // korvd.conf, when not empty
  std::vector<std::string> env_;   // e.g. {"/usr/bin/env", "NAME=value"}
  int port_ = 0;
};

// The version warning and the reconnection after a dropped link are shown
// against stand-ins with the ticks driven by hand.
TEST_F(SupervisionTest, RenicesTheServerItConnectsTo) {
  Start(kPlayers, {"-priority", "5"});
  ASSERT_TRUE(WaitForText(LogPath(), " : Connected\r\n", 15s)) << Log();
  EXPECT_TRUE(WaitForText(LogPath(), " : Changed server process priority to 5.\r\n", 15s));
}

TEST_F(SupervisionTest, HungServerIsLoggedAndRestartedAndHealthFollowsIt) {
  conf_ = "[supervision]\nhang_seconds = 5\n";
  Start(kPlayers, {"-restart"});
  ASSERT_TRUE(WaitForText(LogPath(), " : Connected\r\n", 15s)) << Log();
  std::string out;
  EXPECT_EQ(Health(&out), 0) << out;
  EXPECT_TRUE(Has(out, "healthy: server running, console connected, 1 of "));
  for (int pid : GamePids()) ::kill(pid, SIGSTOP);
  ASSERT_TRUE(WaitForText(LogPath(), "Auto-restart is enabled, restarting the hung server.", 40s))
      << Log();
  EXPECT_TRUE(Has(Log(), " : Server is hung: no answer from its console or status port for "));
  for (int i = 0; i < 150 && Count(Log(), " : Connected\r\n") < 2; ++i)
    std::this_thread::sleep_for(100ms);
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Server started\r\n"), 2) << log;
  EXPECT_EQ(Count(log, " : Connected\r\n"), 2) << log;
  EXPECT_EQ(Count(log, "Server is hung"), 1) << log;
  EXPECT_EQ(Health(&out), 0) << out;
  // Without a server, health fails and says why.
  daemon_.Signal(SIGTERM);
  daemon_.Wait(20s);
  for (int pid : GamePids()) ::kill(pid, SIGKILL);
  std::vector<std::string> argv = {BuildPath("korvd"), "-path", game_.dir.path(), "-port",
                                   std::to_string(port_)};
  Process idle;
  ASSERT_TRUE(idle.Start(argv, game_.dir.path(), game_.dir / "korvd-out2.txt"));
  ASSERT_TRUE(WaitForPort(port_));
  EXPECT_EQ(Health(&out), 1);
  idle.Signal(SIGTERM);
  idle.Wait(20s);
}

TEST_F(SupervisionTest, ReadyIsNotifiedAndMetricsParseAfterACrashAndARestart) {
  TempDir sockets;
  std::string socket_path = sockets / "notify";
  UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  env_ = {"/usr/bin/env", "NOTIFY_SOCKET=" + socket_path};
  std::string metrics = sockets / "korvd.prom";
  conf_ = "[metrics]\ntextfile = " + metrics + "\n";
  Start("crash 2 SIGSEGV\n", {"-restart"});
  pollfd entry{listener.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 10000), 1);
  char message[64] = {};
  ASSERT_GT(::recv(listener.get(), message, sizeof message - 1, 0), 0);
  EXPECT_STREQ(message, "READY=1");
  EXPECT_TRUE(Has(Log(), "Listening on "));  // ready only once it listens

  // Three quick crashes, two restarts, then the restart loop holds.
  ASSERT_TRUE(WaitForText(metrics, "\nkorvd_restart_loop 1\n", 40s)) << Log();
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Server has crashed\r\n"), 3) << log;
  EXPECT_EQ(Count(log, " : Auto-restart is enabled, restarting the server.\r\n"), 2);
  EXPECT_EQ(Count(log, " : Server started\r\n"), 3);
  EXPECT_TRUE(Has(log, "Server is in a restart loop, disabling auto-restart."));
  EXPECT_EQ(GamePids(), std::vector<int>{});
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  WriteFile(sockets / "parse.py",
            "import sys\n"
            "from prometheus_client.parser import text_string_to_metric_families\n"
            "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
            "  for s in f.samples:\n"
            "    print(f.type, s.name, ','.join(k+'='+v for k,v in sorted(s.labels.items())), s.value)\n");
  std::string parsed;
  ASSERT_EQ(RunToEnd({"/usr/bin/python3", sockets / "parse.py", metrics}, "/", &parsed), 0)
      << parsed;
  EXPECT_TRUE(Has(parsed, "counter korvd_server_crashes_total  3.0\n"));
  EXPECT_TRUE(Has(parsed, "counter korvd_server_restarts_total  2.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_restart_loop  1.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_server_up  0.0\n"));
  EXPECT_TRUE(Has(parsed, "counter korvd_commands_total command=change_map 0.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_bans store=game 1.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_main_loop_longest_pass_seconds "));
}

}  // namespace
}  // namespace korvtest
