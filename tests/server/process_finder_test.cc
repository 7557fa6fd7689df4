// The server-matching rules over synthetic process tables.
#include "server/process_finder.h"

#include <cerrno>

#include "links/link_fixture.h"

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

class FinderTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.server_dir = "/srv/bf";
  }
  static std::pair<bool, pid_t> Match(const std::vector<ProcessEntry>& table, pid_t pid) {
    bool found = MatchServerProcess(table, &pid, InServerDir);
    return {found, pid};
  }
};

TEST_F(FinderTest, PidAndOverlayRulesAndAnEmptyCommandLineIsLogged) {
  std::vector<ProcessEntry> table = {
      {"sleep", 5, 1, 5, {"sleep"}},
      {"bf1942_lnxded", 11, 10, 10, {"x"}},  // not a session leader
      Server(66, 1),                          // unreadable exe: skipped quietly
      Server(77, 1),                          // another directory
      Server(20, 19),
      Server(30, 1),
  };
  EXPECT_EQ(Match(table, -1), std::pair(true, 20));
  EXPECT_EQ(Match(table, 30), std::pair(true, 30));
  EXPECT_EQ(Match(table, 19), std::pair(true, 20));  // the process that started the server
  EXPECT_EQ(Match(table, 11), std::pair(false, 11));  // a further process is never the server
  EXPECT_EQ(Match(table, 77).first, false);
  EXPECT_FALSE(MatchServerProcess(table, nullptr, InServerDir));
  g_manager.core.overlay_path = "/ov/";
  table = {
      Server(40, 1, {"b", "+overlayPath", "/other/"}),
      Server(41, 1, {"b", "+overlayPath"}),
      Server(42, 1, {"b", "+overlayPath", "---"}),
  };
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
  EXPECT_EQ(Log().substr(19),
            " : Couldn't determine server command line!\r\n");
}

}  // namespace
