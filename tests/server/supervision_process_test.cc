// The real daemon supervising gamesim.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/unique_fd.h"
#include "support/gamesim_client.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 0123456789abcdef0123456789abcdef Mike\n";

class SupervisionTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, std::vector<std::string> options) {
    run_ = std::make_unique<gamesimtest::DaemonRun>(
        scenario, std::map<std::string, std::string>{{"manager.monitorTimerPeriod", "10"}});
    if (!conf_.empty()) WriteFile(run_->Settings("korvd.conf"), conf_);
    run_->env = env_;
    options.push_back("-start");
    ASSERT_TRUE(run_->Start(options, listening_)) << Log();
  }
  std::string LogPath() const { return run_->LogPath(); }
  std::string Log() const { return run_->Log(); }
  int Health(std::string* out) { return run_->Ctl({"health"}, out); }

  std::unique_ptr<gamesimtest::DaemonRun> run_;
  bool listening_ = true;          // Start waits for the listening line
  std::string conf_;               // korvd.conf, when not empty
  std::vector<std::string> env_;   // e.g. {"NAME=value"}
};

TEST_F(SupervisionTest, RenicedHungServerIsLoggedAndRestartedAndHealthFollowsIt) {
  conf_ = "[supervision]\nhang_seconds = 2\n";
  Start(kPlayers, {"-restart", "-priority", "5"});
  ASSERT_TRUE(WaitForText(LogPath(), " : Connected\r\n", 15s)) << Log();
  EXPECT_TRUE(WaitForText(LogPath(), " : Changed server process priority to 5.\r\n", 15s));
  std::string out;
  EXPECT_EQ(Health(&out), 0) << out;
  EXPECT_TRUE(Has(out, "healthy: server running, console connected, 1 of "));
  for (int pid : run_->GamePids()) ::kill(pid, SIGSTOP);
  ASSERT_TRUE(WaitForText(LogPath(), "Auto-restart is enabled, restarting the hung server.", 40s))
      << Log();
  ASSERT_TRUE(WaitUntil([&] { return Count(Log(), " : Connected\r\n") >= 2; }, 30s)) << Log();
  std::string log = Log();
  EXPECT_EQ(Count(log, " : Server started\r\n"), 2) << log;
  EXPECT_EQ(Count(log, " : Connected\r\n"), 2) << log;
  EXPECT_EQ(Count(log, "Server is hung"), 1) << log;
  EXPECT_EQ(Health(&out), 0) << out;
  run_->daemon.Signal(SIGTERM);
  run_->daemon.Wait(20s);
  for (int pid : run_->GamePids()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(run_->Start());
  ASSERT_TRUE(WaitForPort(run_->port));
  EXPECT_EQ(Health(&out), 1);
}

TEST_F(SupervisionTest, ReadyIsNotifiedAndMetricsParseAfterACrashAndARestart) {
  TempDir sockets;
  std::string socket_path = sockets / "notify";
  UniqueFd listener(::socket(AF_UNIX, SOCK_DGRAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  env_ = {"NOTIFY_SOCKET=" + socket_path};
  listening_ = false;
  std::string metrics = sockets / "korvd.prom";
  // A name with what a label value must escape, and a byte it cannot hold.
  conf_ = "[metrics]\ntextfile = " + metrics + "\nserver = Fleet \"A\" \\ \xc3\xa9\xff\n";
  Start("crash 1 SIGSEGV\n", {"-restart"});
  pollfd entry{listener.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 10000), 1);
  char message[64] = {};
  ASSERT_GT(::recv(listener.get(), message, sizeof message - 1, 0), 0);
  EXPECT_STREQ(message, "READY=1");
  EXPECT_TRUE(Has(Log(), "Listening on "));  // ready only once it listens

  // Three quick crashes, two restarts, then the restart loop holds. A crash by a signal is
  // told from an exit code; the servers started after this change of scenario exit with 3.
  ASSERT_TRUE(WaitForText(LogPath(), " : Server terminated by signal 11 (Segmentation fault).\r\n",
                          20s)) << Log();
  run_->game.WriteScenario("crash 1 3\n");
  ASSERT_TRUE(WaitForText(
      metrics, "\nkorvd_restart_loop{server=\"Fleet \\\"A\\\" \\\\ \xc3\xa9_\"} 1\n", 40s))
      << Log();
  std::string log = Log();
  int by_signal = Count(log, " : Server terminated by signal 11 (Segmentation fault).\r\n");
  int by_code = Count(log, " : Server terminated with exit code 3.\r\n");
  EXPECT_TRUE(by_signal >= 1 && by_code >= 1 && by_signal + by_code == 3) << log;
  EXPECT_EQ(Count(log, " : Server has crashed\r\n"), 3) << log;
  EXPECT_EQ(Count(log, " : Auto-restart is enabled, restarting the server.\r\n"), 2);
  EXPECT_EQ(Count(log, " : Server started\r\n"), 3);
  EXPECT_TRUE(Has(log, "Server is in a restart loop, disabling auto-restart."));
  EXPECT_EQ(run_->GamePids(), std::vector<int>{});
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  WriteFile(sockets / "parse.py",
            "import sys\n"
            "from prometheus_client.parser import text_string_to_metric_families\n"
            "seen = set()\n"
            "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
            "  for s in f.samples:\n"
            "    labels = ','.join(k+'='+v for k,v in sorted(s.labels.items()))\n"
            "    if (s.name, labels) in seen: sys.exit('duplicate series ' + s.name + ' ' + labels)\n"
            "    seen.add((s.name, labels))\n"
            "    print(f.type, s.name, labels, s.value)\n");
  std::string parsed;
  ASSERT_EQ(RunToEnd({"/usr/bin/python3", sockets / "parse.py", metrics}, "/", &parsed), 0)
      << parsed;
  const std::string server = "server=Fleet \"A\" \\ \xc3\xa9_";
  EXPECT_TRUE(Has(parsed, "counter korvd_server_crashes_total " + server + " 3.0\n"));
  EXPECT_TRUE(Has(parsed, "counter korvd_server_restarts_total " + server + " 2.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_restart_loop " + server + " 1.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_server_up " + server + " 0.0\n"));
  EXPECT_TRUE(Has(parsed, "counter korvd_commands_total command=change_map," + server + " 0.0\n"));
  const int commands = static_cast<int>(CommandTable().size());
  EXPECT_EQ(Count(parsed, "counter korvd_commands_total "), commands);  // one series per command
  EXPECT_EQ(Count(parsed, server), commands + 19);  // every series
  EXPECT_TRUE(Has(parsed, "gauge korvd_bans " + server + ",store=game 1.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_ban_stores_in_sync " + server + " 0.0\n"));
  EXPECT_TRUE(Has(parsed, "gauge korvd_main_loop_longest_pass_seconds "));
}

}  // namespace
}  // namespace korvtest
