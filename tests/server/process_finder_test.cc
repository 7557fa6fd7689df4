// The server-matching rules over synthetic process tables.
#include "server/process_finder.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "daemon/manager_state.h"
#include "support/process_harness.h"

namespace {

std::string InServerDir(pid_t pid, const char*) {
  if (pid == 66) {
    errno = EACCES;
    return {};
  }
  if (pid == 55) {  // gone while the table is read
    errno = ENOENT;
    return {};
  }
  return pid == 77 ? "/elsewhere/bf1942_lnxded" : "/srv/bf/bf1942_lnxded";
}

ProcessEntry Server(pid_t pid, pid_t parent, std::vector<std::string> argv = {"x"}) {
  return ProcessEntry{"bf1942_lnxded", pid, parent, pid, std::move(argv)};
}

class FinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetManagerState();
    g_manager.core.server_dir = "/srv/bf";
    g_manager.core.daemon = true;
  }
};

TEST_F(FinderTest, PidRulesAdoptMatchOrTakeTheChildOfTheGivenPid) {
  std::vector<ProcessEntry> table = {
      {"sleep", 5, 1, 5, {"sleep"}},
      {"bf1942_lnxded", 11, 10, 10, {"x"}},  // not a session leader
      Server(66, 1),                          // unreadable exe: skipped quietly
      Server(77, 1),                          // another directory
      Server(20, 19),
      Server(30, 1),
  };
  pid_t pid = -1;
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 20);
  pid = 30;
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 30);
  pid = 19;  // the process that started the server
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 20);
  pid = 11;  // a further process is never the server
  EXPECT_FALSE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 11);
  pid = 77;
  EXPECT_FALSE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_FALSE(MatchServerProcess(table, nullptr, InServerDir));
}

TEST_F(FinderTest, OverlayRules) {
  g_manager.core.overlay_path = "/ov/";
  std::vector<ProcessEntry> table = {
      Server(40, 1, {"b", "+overlayPath", "/other/"}),
      Server(41, 1, {"b", "+overlayPath"}),
      Server(42, 1, {"b", "+overlayPath", "---"}),
  };
  pid_t pid = -1;
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 42);
  table[1].argv = {"b", "+overlayPath", "/ov/"};
  pid = -1;
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 41);
  // Without an overlay path of its own the daemon accepts any.
  g_manager.core.overlay_path.clear();
  pid = -1;
  EXPECT_TRUE(MatchServerProcess(table, &pid, InServerDir));
  EXPECT_EQ(pid, 40);
}

TEST_F(FinderTest, EmptyCommandLineIsLoggedAndSkipped) {
  korvtest::TempDir dir;
  g_manager.core.server_dir = dir.path();
  std::vector<ProcessEntry> table = {Server(55, 1), Server(50, 1, {})};
  pid_t pid = -1;
  EXPECT_FALSE(MatchServerProcess(table, &pid, [](pid_t pid, const char* link) {
    return pid == 55 ? InServerDir(pid, link) : g_manager.core.server_dir + "/b";
  }));
  // A process that vanished is passed over without a word.
  EXPECT_EQ(korvtest::ReadFile(dir / "korvd.log").substr(19),
            " : Couldn't determine server command line!\r\n");
}

}  // namespace
