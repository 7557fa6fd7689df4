// The pre-launch checks, the server's argument vector, the server-matching rules over
// synthetic process tables.
#include "server/launch.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "core/last_error.h"
#include "links/link_fixture.h"
#include "server/process_finder.h"

namespace {

class PreLaunchTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    Setting(kSetServerName).text = "Server";
    Setting(kSetServerIp).value = 0x7F000001;
    Setting(kSetConsoleUsername).text = "admin";
    Setting(kSetConsolePassword).text = "secret";
    Setting(kSetEnableRemoteConsole).value = 1;
  }
  bool RefusedWith(const std::string& message) {
    std::filesystem::remove(dir_ / "korvd.log");
    SetLastError(99);
    bool passed = PassesPreLaunchChecks();
    std::string log = korvtest::ReadFile(dir_ / "korvd.log");
    return !passed && LastError() == 0 &&
           log.find(" : Couldn't start the server! " + message + "\r\n") != std::string::npos &&
           log.find('\n') == log.size() - 1;
  }
};

TEST_F(PreLaunchTest, EachCheckRefusesWithItsMessageAndArgumentsSplitAtRunsOfBlanks) {
  EXPECT_TRUE(PassesPreLaunchChecks());
  const std::string same = " address is the same as the Korvane port address. These ports must NOT be the same address.";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { Setting(kSetServerIp).value = 0; }, "Server IP address is invalid."},
      {[] { Setting(kSetServerPort).value = 80; }, "Game port address is invalid."},
      {[] { Setting(kSetConsolePort).value = 70000; }, "Remote Console port address is invalid."},
      {[] { Setting(kSetConsolePort).value = g_manager.core.listen_port; }, "Remote Console port" + same},
      {[] { Setting(kSetServerPort).value = 14667; }, "Game port" + same},
      {[] { Setting(kSetServerName).text.clear(); }, "You must provide a name for the server."},
      {[] { Setting(kSetEnableRemoteAdmin).value = 1;
            Setting(kSetConsolePassword).text.clear(); }, "You must provide a password for Remote Admin."},
      {[] { Setting(kSetConsoleUsername).text.clear(); },
       "You must provide a username and password to use the Remote Console."}};
  for (const auto& [change, message] : cases) {
    SetUp();
    change();
    EXPECT_TRUE(RefusedWith(message)) << message;
  }
  SetUp();
  Setting(kSetConsolePort).value = 70000;
  Setting(kSetEnableRemoteConsole).value = 0;
  EXPECT_TRUE(PassesPreLaunchChecks());  // the console port only counts when enabled
  SetUp();
  Setting(kSetServerInternet).value = 1;
  Setting(kSetEnableRemoteAdmin).value = 1;
  Setting(kSetConsolePassword).text = "SESAMINE";
  EXPECT_TRUE(RefusedWith("Using the default Remote Admin password is disallowed for an Internet server to prevent "
                          "unauthorized access."));
  // Without remote admin the console check compares with case: "SESAMINE" is not the default.
  Setting(kSetEnableRemoteAdmin).value = 0;
  Setting(kSetConsoleUsername).text = "UserName";
  EXPECT_TRUE(PassesPreLaunchChecks());
  Setting(kSetConsolePassword).text = "Sesamine";
  EXPECT_TRUE(RefusedWith("Using the default Remote Console username and password is disallowed "
                          "for an Internet server to prevent unauthorized access."));
  Setting(kSetServerInternet).value = 0;
  EXPECT_TRUE(PassesPreLaunchChecks());
  g_manager.core.status_monitor = 0;
  g_manager.core.overlay_path = "/ov/";
  g_manager.core.server_args = "  +a   b ";
  EXPECT_EQ(ServerArgumentVector("/my dir/bf1942_lnxded"),
            (std::vector<std::string>{"/my", "dir/bf1942_lnxded", "+statusMonitor", "0", "+overlayPath", "/ov/", "+a", "b"}));
}

class ServerChildTest : public korvtest::LogFixture {};

TEST_F(ServerChildTest, OnlyChildrenThatEndedAreReported) {
  pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  siginfo_t info;
  ::kill(child, SIGSTOP);
  ::waitid(P_PID, child, &info, WSTOPPED | WNOWAIT);
  ReapServerChildren();
  EXPECT_EQ(g_manager.core.server_exit_code, -1);
  ::kill(child, SIGKILL);
  ::waitid(P_PID, child, &info, WEXITED | WNOWAIT);
  ReapServerChildren();
  EXPECT_EQ(std::pair(g_manager.core.server_exit_code, ::waitpid(child, nullptr, WNOHANG)), std::pair(int{SIGKILL}, -1));
}

TEST_F(ServerChildTest, SymlinkedServerIsFoundAndItsKillRecorded) {
  const korvtest::TempDir& dir = dir_;
  std::string real = dir / "real";
  std::filesystem::create_directory(real);
  std::filesystem::create_directory_symlink(real, dir / "link");
  std::filesystem::create_symlink("/bin/sleep", real + "/bf1942_lnxded");
  g_manager.core.server_dir = dir / "link";
  pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(real.c_str()) == 0 && ::setsid() > 0)
      ::execl((real + "/bf1942_lnxded").c_str(), "bf1942_lnxded", "100", nullptr);
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  pid_t pid = -1;
  for (int i = 0; i < 200 && !FindServerProcess(&pid); ++i) ::usleep(10000);  // until exec'd
  EXPECT_EQ(pid, child);
  // Another directory whose binary links to the same program: not its server.
  std::filesystem::create_directory(dir / "other");
  std::filesystem::create_symlink("/bin/sleep", dir / "other/bf1942_lnxded");
  g_manager.core.server_dir = dir / "other";
  pid = -1;
  EXPECT_FALSE(FindServerProcess(&pid));
  g_manager.core.server_dir = dir / "link";
  g_manager.server.server_pid = child;
  EXPECT_TRUE(StopServer(false));
  EXPECT_EQ(g_manager.core.server_exit_code, SIGKILL);
  if (::kill(child, SIGKILL) == 0) ::waitpid(child, nullptr, 0);
}

// 66 cannot be read, 55 is gone while the table is read.
std::string InServerDir(pid_t pid, const char*) {
  if (pid == 66 || pid == 55) {
    errno = pid == 66 ? EACCES : ENOENT;
    return {};
  }
  return pid == 77 ? "/elsewhere/bf1942_lnxded" : "/srv/bf/bf1942_lnxded";
}

ProcessEntry Server(pid_t pid, pid_t parent, std::vector<std::string> argv = {"x"}) {
  return ProcessEntry{"bf1942_lnxded", pid, parent, pid, std::move(argv)};
}

class FinderTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.server_dir = "/srv/bf";
  }
  static std::pair<bool, pid_t> Match(const std::vector<ProcessEntry>& table, pid_t pid) {
    return {MatchServerProcess(table, &pid, InServerDir), pid};
  }
};

TEST_F(FinderTest, PidAndOverlayRulesAndAnEmptyCommandLineIsLogged) {
  std::vector<ProcessEntry> table = {
      {"sleep", 5, 1, 5, {"sleep"}},
      {"bf1942_lnxded", 11, 10, 10, {"x"}},  // not a session leader
      Server(66, 1),                          // unreadable exe: skipped quietly
      Server(77, 1),                          // another directory
      Server(20, 19),   Server(30, 1)};
  EXPECT_EQ(Match(table, -1), std::pair(true, 20));
  EXPECT_EQ(Match(table, 30), std::pair(true, 30));
  EXPECT_EQ(Match(table, 19), std::pair(true, 20));  // the process that started the server
  EXPECT_EQ(Match(table, 11), std::pair(false, 11));  // a further process is never the server
  EXPECT_EQ(Match(table, 77).first, false);
  EXPECT_FALSE(MatchServerProcess(table, nullptr, InServerDir));
  g_manager.core.overlay_path = "/ov/";
  table = {Server(40, 1, {"b", "+overlayPath", "/other/"}), Server(41, 1, {"b", "+overlayPath"}),
           Server(42, 1, {"b", "+overlayPath", "---"})};
  EXPECT_EQ(Match(table, -1), std::pair(true, 42));
  table[1].argv = {"b", "+overlayPath", "/ov/"};
  EXPECT_EQ(Match(table, -1), std::pair(true, 41));
  g_manager.core.overlay_path.clear();  // then any overlay path will do
  EXPECT_EQ(Match(table, -1), std::pair(true, 40));
  g_manager.core.server_dir = dir_.path();
  table = {Server(55, 1), Server(50, 1, {})};
  pid_t pid = -1;
  EXPECT_FALSE(MatchServerProcess(table, &pid, [](pid_t pid, const char* link) {
    return pid == 55 ? InServerDir(pid, link) : g_manager.core.server_dir + "/b";
  }));
  // A process that vanished is passed over without a word.
  EXPECT_EQ(Log().substr(19), " : Couldn't determine server command line!\r\n");
}

}  // namespace
