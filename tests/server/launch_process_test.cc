// Launching, finding, adopting, stopping and supervising the game server from the real daemon.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "core/unique_fd.h"
#include "support/gamesim_client.h"
#include "support/korvane_con.h"

using namespace korvtest;
using gamesimtest::GameDir;

namespace {

// A server binary that records its arguments (one per line) and sleeps.
constexpr const char kRecordingServer[] =
    "#!/bin/sh\nfor a in \"$0\" \"$@\"; do echo \"$a\"; done > args.txt\necho $$ >> standin.pids\nexec sleep 1000000\n";

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeServerDir(server_);
    WriteFile(server_ + "/bf1942_lnxded", kRecordingServer);
    WriteFile(run_.Settings("servermaplist.con"),
              "game.setIdleLevel bocage\ngame.addLevel berlin ctf\n");
    WriteSettings();
  }
  void WriteSettings(std::map<std::string, std::string> changes = {}) {
    std::map<std::string, std::string> values = {
        {"game.serverName", "\"Test Server\""},
        {"game.serverIP", "127.0.0.1"},
        {"manager.consoleUsername", "\"admin\""},
        {"manager.consolePassword", "\"secret\""},
    };
    for (const auto& [key, value] : changes) values[key] = value;
    WriteFile(run_.Settings("korvane.con"), KorvaneCon(values));
  }
  std::string StartDaemon(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), "-start");
    run_.Start(extra, false);
    WaitForText(run_.LogPath(), "via command-line option");
    return run_.Log();
  }
  std::string Args() {
    WaitForText(server_ + "/args.txt", "\n");
    return ReadFile(server_ + "/args.txt");
  }
  gamesimtest::DaemonRun run_;
  std::string server_ = run_.dir();
};

TEST_F(LaunchTest, ArgumentVectorWithoutOverlayAndWithServerArguments) {
  WriteSettings({{"manager.enableRemoteConsole", "0"}});
  std::string log = StartDaemon({"+dedicated", "1", "+statusMonitor", "1", "+maxPlayers", "16"});
  for (const char* line : {"Server started\r\n", "Server started via command-line option.",
                           "WARNING: The server has been started with the remote console disabled."})
    EXPECT_TRUE(Has(log, line)) << line;
  EXPECT_EQ(Args(), server_ + "/bf1942_lnxded\n+statusMonitor\n1\n+dedicated\n1\n+maxPlayers\n16\n");
}

TEST_F(LaunchTest, EmptyRotationAndStartMapRules) {
  WriteFile(run_.Settings("servermaplist.con"), "");
  std::string log = StartDaemon();
  EXPECT_TRUE(Has(log, "Couldn't start the server! The map rotation does not contain at least one level.\r\n"));
  EXPECT_TRUE(Has(log, "Couldn't start server via command-line option!"));
  EXPECT_FALSE(Has(log, "Server started"));
  EXPECT_EQ(ReadFile(run_.Settings("maplist.con")), "");
}

TEST_F(LaunchTest, UnexecutableBinaryIsReportedByTheChild) {
  ::chmod((server_ + "/bf1942_lnxded").c_str(), 0644);
  std::string log = StartDaemon();
  EXPECT_TRUE(Has(log, "Server started\r\n"));
  ASSERT_TRUE(WaitForText(server_ + "/korvd.log", "Couldn't start the server! Exec failed. "));
  // The child leaves no copy of the parent's buffered output behind.
  std::string out = ReadFile(run_.Out());
  std::size_t first = out.find("Korvane v2.0 beta 4g");
  EXPECT_EQ(out.find("Korvane v2.0 beta 4g", first + 1), std::string::npos);
}

// Descriptor links of a process ("" for those that cannot be read).
std::vector<std::string> DescriptorLinks(pid_t pid) {
  std::vector<std::string> links;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::error_code error;
    links.push_back(std::filesystem::read_symlink(entry.path(), error).string());
  }
  return links;
}

unsigned Umask(pid_t pid) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  return std::stoul(status.substr(status.find("\nUmask:\t") + 8), nullptr, 8);
}

// -daemon -start: the server is the detached daemon's child on /dev/null; -exit sends "quit".
TEST(LaunchGamesim, DaemonModeDetachesFirstAndExitStopsTheServer) {
  gamesimtest::DaemonRun run("");
  std::string pid_file = run.dir() + "/korvd.pid";
  std::string out;
  ASSERT_EQ(RunToEnd({BuildPath("korvd"), "-path", run.dir(), "-daemon", "-start", "-exit", "-pid",
                      pid_file, "-port", std::to_string(FreePort())},
                     run.dir(), &out),
            0);
  EXPECT_EQ(out, "");  // nothing is echoed with -daemon
  std::string log = run.LogPath();
  ASSERT_TRUE(WaitForText(log, "Listening on"));
  pid_t daemon = std::stoi(ReadFile(pid_file));
  ASSERT_GT(daemon, 1);
  std::string daemon_id = std::to_string(daemon);
  // The daemon listens before it launches the server, so the child may come a moment later.
  pid_t server = 0;
  WaitUntil([&] {
    server = std::atoi(ReadFile("/proc/" + daemon_id + "/task/" + daemon_id + "/children").c_str());
    return server > 1;
  });
  EXPECT_GT(server, 1) << ReadFile(log);
  if (server > 1) {
    ASSERT_TRUE(WaitForText(log, "Connected\r\n", std::chrono::seconds(20)));
    std::vector<std::string> theirs = DescriptorLinks(server);
    for (pid_t pid : {daemon, server}) {
      for (const char* fd : {"/0", "/1", "/2"})
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd" + fd), "/dev/null");
      EXPECT_NE(Umask(pid) & 02, 0u) << pid;
    }
    for (const std::string& link : DescriptorLinks(daemon))
      EXPECT_FALSE((link.rfind("socket:", 0) == 0 || link.rfind("pipe:", 0) == 0) &&
                   std::count(theirs.begin(), theirs.end(), link) > 0) << link;
  }
  ::kill(daemon, SIGTERM);
  EXPECT_TRUE(WaitForText(log, "Exited", std::chrono::seconds(20)));
  EXPECT_FALSE(Has(run.Log(), "Terminating server with extreme prejudice!"));
  EXPECT_TRUE(Has(run.Log(), "Server stopped\r\n"));
  EXPECT_EQ(run.GamePids(), std::vector<int>{});
}

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
  EXPECT_FALSE(Has(log, "Listening on") || Has(log, "Terminating server with extreme prejudice!"));
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

using namespace std::chrono_literals;

const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 0123456789abcdef0123456789abcdef Mike\n";

class SupervisionTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, std::vector<std::string> options) {
    run_ = std::make_unique<gamesimtest::DaemonRun>(
        scenario, std::map<std::string, std::string>{{"manager.monitorTimerPeriod", "10"}});
    WriteFile(run_->Settings("korvd.conf"), gamesimtest::kFastTicks + conf_);
    run_->env = env_;
    options.push_back("-start");
    ASSERT_TRUE(run_->Start(options, listening_)) << Log();
  }
  std::string LogPath() const { return run_->LogPath(); }
  std::string Log() const { return run_->Log(); }
  int Health(std::string* out) { return run_->Ctl({"health"}, out); }

  std::unique_ptr<gamesimtest::DaemonRun> run_;
  bool listening_ = true;          // Start waits for the listening line
  std::string conf_;               // korvd.conf after the fast ticks' [supervision] line
  std::vector<std::string> env_;   // e.g. {"NAME=value"}
};

TEST_F(SupervisionTest, RenicedHungServerIsLoggedAndRestartedAndHealthFollowsIt) {
  conf_ = "hang_seconds = 2\n";
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
  EXPECT_EQ(std::tuple(Count(log, " : Server started\r\n"), Count(log, " : Connected\r\n"), Count(log, "Server is hung")),
            std::tuple(2, 2, 1)) << log;
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
  EXPECT_EQ(std::pair(Count(log, " : Auto-restart is enabled, restarting the server.\r\n"), Count(log, " : Server started\r\n")),
            std::pair(2, 3));
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
  for (const std::string& line : std::vector<std::string>{"counter korvd_server_crashes_total " + server + " 3.0\n", "counter korvd_server_restarts_total " + server + " 2.0\n",
        "gauge korvd_restart_loop " + server + " 1.0\n", "gauge korvd_server_up " + server + " 0.0\n",
        "counter korvd_commands_total command=change_map," + server + " 0.0\n", "gauge korvd_main_loop_longest_pass_seconds ",
        "gauge korvd_bans " + server + ",store=game 1.0\n", "gauge korvd_ban_stores_in_sync " + server + " 0.0\n"})
    EXPECT_TRUE(Has(parsed, line)) << line;
  const int commands = static_cast<int>(CommandTable().size());
  EXPECT_EQ(Count(parsed, "counter korvd_commands_total "), commands);  // one series per command
  EXPECT_EQ(Count(parsed, server), commands + 19);  // every series
}

}  // namespace
