// The statistics CSV: exact lines, hostile values, empty and part-way snapshots.
#include "records/player_stats.h"

#include <unistd.h>

#include "core/files.h"
#include "core/last_error.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"
#include "support/local_zone.h"

namespace korvtest {
namespace {

const char kHeaders[] =
    "date,time,server,map,gamemode,rounds,timelimit,axis_tickets,allied_tickets\n"
    "player,team,score,kills,deaths,ping,ip,keyhash,pbguid\n";

class PlayerStatsTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    status_ = std::make_unique<UdpResponder>(std::vector<std::string>{});
    g_manager.links.status_port = status_->port();
    Setting(kSetServerIp).value = 0x7F000001;
    ::mkdir((dir_ / "stats").c_str(), 0755);
    PlayerRecord& mike = g_manager.links.players[0];
    mike.name = "Mike";
    mike.address = "10.0.0.5";
    mike.keyhash = "0123456789abcdef0123456789abcdef";
    mike.pb_guid = "fedcba9876543210fedcba9876543210";
  }
  void Report(const std::string& fields) { status_->set_replies({fields + "\\queryid\\1.1\\final\\"}); }
  static std::string Game(const std::string& host) {
    return "\\hostname\\" + host + "\\mapname\\Wake\\gametype\\conquest\\number_of_rounds\\3\\roundTime\\1200"
           "\\tickets1\\0\\tickets2\\57\\teamname_0\\Axis\\teamname_1\\Allies";
  }
  static std::string Player(int i, const std::string& name, int team) {
    std::string n = std::to_string(i);
    return "\\playername_" + n + "\\" + name + "\\team_" + n + "\\" + std::to_string(team) + "\\score_" + n +
           "\\12\\kills_" + n + "\\7\\deaths_" + n + "\\3\\ping_" + n + "\\45";
  }
  std::string path() const { return dir_ / "stats/statistics.csv"; }
  LocalZone zone_{"UTC0"};
  const std::time_t now_ = Utc(2024, 6, 5, 18, 4, 9);
  std::unique_ptr<UdpResponder> status_;
};

TEST_F(PlayerStatsTest, RoundEndWritesHeadersGameAndPlayers) {
  Report("\\numplayers\\2" + Game("My \"Best\", Server\r\nx") + Player(0, "Mike", 1) + Player(1, "Bo,b \"2\"", 0));
  ASSERT_TRUE(LogPlayerStats(path(), now_));
  std::string game =
      "2024-06-05,18:04:09,\"My 'Best', Server  x\",Wake,conquest,3,1200,0,57\n"
      "\"Mike\",Axis,12,7,3,45,10.0.0.5,0123456789abcdef0123456789abcdef,fedcba9876543210fedcba9876543210\n"
      "\"Bo,b '2'\",unknown,12,7,3,45,[unknown],[unknown],[unknown]\n";
  EXPECT_EQ(ReadFile(path()), kHeaders + game);
  // No headers again; team 2 is allied; a comma outside the quoted columns shifts nothing.
  Report("\\numplayers\\1" + Game("S") + Player(0, "Mike", 2));
  g_manager.links.players[0].address = "1,2";
  ASSERT_TRUE(LogPlayerStats(path(), now_));
  EXPECT_EQ(ReadFile(path()).substr(sizeof kHeaders - 1 + game.size()),
            "2024-06-05,18:04:09,\"S\",Wake,conquest,3,1200,0,57\n"
            "\"Mike\",Allies,12,7,3,45,1;2,0123456789abcdef0123456789abcdef,fedcba9876543210fedcba9876543210\n");
  // Python's csv module reads every row with its nine columns and the names whole.
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  std::string rows;
  ASSERT_EQ(RunToEnd({"/usr/bin/python3", "-c",
                      "import csv, sys\nfor r in csv.reader(open(sys.argv[1], newline='')): print(len(r), r[0], r[2], sep='|')",
                      path()}, "/", &rows), 0) << rows;
  EXPECT_EQ(rows, "9|date|server\n9|player|score\n9|2024-06-05|My 'Best', Server  x\n9|Mike|12\n"
                  "9|Bo,b '2'|12\n9|2024-06-05|S\n9|Mike|12\n");
}

TEST_F(PlayerStatsTest, EmptyServerAndPartWayFailures) {
  Report("\\numplayers\\0" + Game("S"));
  EXPECT_FALSE(LogPlayerStats(path(), now_));
  EXPECT_EQ(std::pair(LastError(), FileExists(path())), std::pair(0, false));
  Report(Game("S"));
  EXPECT_FALSE(LogPlayerStats(path(), now_));
  EXPECT_EQ(LastError(), 22);
  // A missing key of the second player leaves the lines before it.
  g_manager.core.debug = true;
  Report("\\numplayers\\2" + Game("S") + Player(0, "Mike", 1) + "\\playername_1\\Al");
  EXPECT_FALSE(LogPlayerStats(path(), now_));
  EXPECT_EQ(LastError(), 22);
  EXPECT_TRUE(Has(Log(), "DEBUG: LogPlayerStats: Couldn't get \"team_1\"!"));
  std::string text = ReadFile(path());
  EXPECT_TRUE(std::count(text.begin(), text.end(), '\n') == 4 && Has(text, "\"Mike\",Axis,")) << text;
  // A missing game key ends before the game line.
  Report("\\numplayers\\1\\hostname\\S");
  EXPECT_FALSE(LogPlayerStats(path(), now_));
  EXPECT_TRUE(Has(Log(), "DEBUG: LogPlayerStats: Couldn't get \"mapname\"!"));
  EXPECT_EQ(ReadFile(path()), text);
}

}  // namespace
}  // namespace korvtest
