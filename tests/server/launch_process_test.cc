// Launching, finding, adopting and stopping the game server from the real daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

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
  EXPECT_TRUE(Has(log, "Server started\r\n"));
  EXPECT_TRUE(Has(log, "Server started via command-line option."));
  EXPECT_TRUE(Has(log, "WARNING: The server has been started with the remote console disabled."));
  EXPECT_EQ(Args(), server_ + "/bf1942_lnxded\n+statusMonitor\n1\n+dedicated\n1\n+maxPlayers\n16\n");
}

TEST_F(LaunchTest, EmptyRotationAndStartMapRules) {
  WriteFile(run_.Settings("servermaplist.con"), "");
  std::string log = StartDaemon();
  EXPECT_TRUE(Has(log,
                  "Couldn't start the server! The map rotation does not contain at least one "
                  "level.\r\n"));
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
      for (int fd = 0; fd < 3; ++fd) {
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" +
                                                std::to_string(fd)),
                  "/dev/null");
      }
      EXPECT_NE(Umask(pid) & 02, 0u) << pid;
    }
    for (const std::string& link : DescriptorLinks(daemon)) {
      if (link.rfind("socket:", 0) == 0 || link.rfind("pipe:", 0) == 0) {
        EXPECT_EQ(std::count(theirs.begin(), theirs.end(), link), 0) << link;
      }
    }
  }
  ::kill(daemon, SIGTERM);
  EXPECT_TRUE(WaitForText(log, "Exited", std::chrono::seconds(20)));
  std::string text = run.Log();
  EXPECT_FALSE(Has(text, "Terminating server with extreme prejudice!"));
  EXPECT_TRUE(Has(text, "Server stopped\r\n"));
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
