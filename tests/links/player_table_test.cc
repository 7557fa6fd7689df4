// The game.listPlayers parser, the join with the status report and lookups.
#include "links/player_table.h"

#include <unistd.h>

#include "links/stand_ins.h"

namespace korvtest {
namespace {

TEST(PlayerLineTest, ParsesTheListLine) {
  PlayerRecord r;
  auto fields = [&r] { return std::tie(r.id, r.name, r.address, r.keyhash); };
  ASSERT_TRUE(ParsePlayerLine("Id:3 - Mike is remote ip: 10.0.0.5:14567 hash:0123", &r));
  EXPECT_EQ(fields(), std::make_tuple(3, "Mike", "10.0.0.5", "0123"));
  // A name may hold the marker words; the last marker ends it.
  ASSERT_TRUE(ParsePlayerLine("Id:12 - Big is remote ip: Guy is remote ip: 1.2.3.4:1", &r));
  EXPECT_EQ(fields(), std::make_tuple(12, "Big is remote ip: Guy", "1.2.3.4", "[unknown]"));
  ASSERT_FALSE(ParsePlayerLine("Id:12 - Big is remote Guy ip: 1.2.3.4:1", &r));
  ASSERT_TRUE(ParsePlayerLine(
      "Id:7 - " + std::string(50, 'n') + " is remote ip: " + std::string(40, '9') + ":1 hash:" + std::string(40, 'f'), &r));
  EXPECT_EQ(fields(), std::make_tuple(7, std::string(31, 'n'), std::string(15, '9'), std::string(32, 'f')));
  ASSERT_TRUE(ParsePlayerLine("Id:1 -  is remote ip: 1.2.3.4:5", &r));
  EXPECT_EQ(fields(), std::make_tuple(1, "[unknown]", "1.2.3.4", "[unknown]"));
  for (const char* hostile : {"", "no colon here", "Id:", "Id:3", "Id:3 -", "Id:3 - Mike",
                              "Id:3 - Mike is remote", "Id:3 - Mike is remote ip:",
                              "Id:3 - Mike is remote ip: 10.0.0.5", "Id:3 - Mikeis remote ip: 1:2",
                              "Id:99999999999 - is remote"})
    EXPECT_FALSE(ParsePlayerLine(hostile, &r)) << hostile;
}

class PlayerListTest : public StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    console_.set_answer([this](const std::vector<std::string>& r) { return Answer(r); });
    Setting(kSetBanInBfAndPb).value = 0;
    Serve({}, {});
    ASSERT_TRUE(ConsoleConnect());
  }
  // Runs on the console's thread: list lines for game.listPlayers only.
  std::vector<std::string> Answer(const std::vector<std::string>& request) {
    return request.size() > 1 && request[1] == "game.listPlayers" ? lines_ : std::vector<std::string>{};
  }
  // Players as (name, team, score); the report lists them in reverse order.
  struct P { std::string name; int team; std::string score; };
  void Serve(const std::vector<P>& players, const std::vector<std::string>& extra_lines) {
    std::string report = "\\numplayers\\" + std::to_string(players.size()) + "\\queryid\\1.1";
    std::vector<std::string> lines;
    int n = static_cast<int>(players.size());
    for (int i = 0; i < n; ++i) {
      const P& p = players[n - 1 - i];
      std::string k = std::to_string(i);
      report += "\\playername_" + k + "\\" + p.name + "\\team_" + k + "\\" + std::to_string(p.team) + "\\score_" + k +
                "\\" + p.score + "\\kills_" + k + "\\7\\deaths_" + k + "\\2\\ping_" + k + "\\123456";
    }
    for (int i = 0; i < n; ++i)
      lines.push_back("Id:" + std::to_string(i + 1) + " - " + players[i].name + " is remote ip: 10.0.0." +
                      std::to_string(i + 1) + ":14567 hash:" + std::string(32, 'a' + i % 6));
    lines.insert(lines.end(), extra_lines.begin(), extra_lines.end());
    status_.set_replies({report + "\\final\\"});
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ = lines;
  }
  std::vector<std::vector<std::string>> CommandsSent() {
    std::vector<std::vector<std::string>> out;
    for (const auto& r : console_.requests())
      if (r.size() > 1 && r[1] != "game.listPlayers" && r[1] != "admin.bandwidthChokeLimit") out.push_back(r);
    return out;
  }
  // Each player's "known|team|score|kills|deaths|ping|guid"; "none" for an id not stored.
  static std::string Figures(std::initializer_list<int> ids) {
    std::string out;
    for (int id : ids) {
      const PlayerRecord* p = FindPlayerById(id);
      // Appends, not a chain of +: GCC 12's -Wrestrict misreads the chain at -O3.
      if (!out.empty()) out.append(" ");
      if (p == nullptr) {
        out.append("none");
        continue;
      }
      out.append(std::to_string(p->figures_known));
      for (const std::string* field : {&p->team, &p->score, &p->kills, &p->deaths, &p->ping, &p->pb_guid})
        out.append("|").append(*field);
    }
    return out;
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(PlayerListTest, JoinsListAndReportByName) {
  Serve({{"Mike", 2, "12"}, {"Anna", 1, "12345"}, {"Zed", 3, "-3"}},
        {"Id:9 - Bot is an AI bot", "Id:8 - Ghost is remote ip: 10.9.9.9:1",
         "Id:10 - is an AI bot is remote ip: 10.9.9.8:1"});
  ASSERT_TRUE(GetPlayerList());
  // Ghost (8) is listed, not in the report; bots (9) are skipped.
  EXPECT_EQ(Figures({1, 2, 3, 8, 9}),
            "1|allied|12|7|2|12345|[unknown] 1|axis|1234|7|2|12345|[unknown] "
            "1|[unknown]|-3|7|2|12345|[unknown] 0|||||| none");
  EXPECT_EQ(PlayerKeyhashById(1), std::string(32, 'a'));
  EXPECT_EQ(PlayerNameById(10), "is an AI bot");  // a player who calls himself so is not
  EXPECT_EQ(PlayerCount(), 5);
  EXPECT_EQ(g_manager.links.team_counts + "|" + g_manager.links.team_scores, "1 / 1 / 5|12 / 1234 / 1246");
}

TEST_F(PlayerListTest, RepeatedKeysMakeTheFiguresUnknown) {
  g_manager.core.debug = true;
  Serve({{"Anna", 1, "4"}, {"Mike", 2, "12"}, {"Evil\\ping_1\\999\\score_1\\-50", 1, "5"}}, {});
  ASSERT_TRUE(GetPlayerList());
  // Evil is not found under its listed name.
  EXPECT_EQ(Figures({1, 2, 3}), "1|axis|4|7|2|12345|[unknown] 0|[unknown]|||||[unknown] 0||||||");
  EXPECT_EQ(g_manager.links.team_counts + "|" + g_manager.links.team_scores, "0 / 1 / 3|0 / 4 / 4");
  std::string log = Log();
  EXPECT_TRUE(Has(log, " : DEBUG: Status report holds the key ping_1 more than once! The figures of the players "
                       "concerned are unknown.\r\n"));
  EXPECT_EQ(log.find("more than once"), log.rfind("more than once"));
  EXPECT_TRUE(Has(log, "DEBUG: Couldn't determine index of player Evil\\ping_1"));
  EXPECT_FALSE(Has(log, "index of player Anna"));
  // A backslash of a name's own repeats no key: everyone's figures stand.
  Serve({{"Anna", 1, "4"}, {"Mike", 2, "12"}, {"Evil\\x", 1, "5"}}, {});
  ASSERT_TRUE(GetPlayerList()) << Log();
  EXPECT_EQ(Figures({1, 2, 3}), "1|axis|4|7|2|12345|[unknown] 1|allied|12|7|2|12345|[unknown] "
                                "1|axis|5|7|2|12345|[unknown]");
  EXPECT_EQ(g_manager.links.team_counts + "|" + g_manager.links.team_scores, "1 / 2 / 3|12 / 9 / 21");
}

TEST_F(PlayerListTest, ParseErrorKeepsEarlierRecordsAndAt64TheTableIsFull) {
  g_manager.core.debug = true;
  Serve({{"Mike", 2, "1"}}, {"garbage"});
  g_manager.links.team_counts = "old";
  EXPECT_FALSE(GetPlayerList());
  EXPECT_EQ(PlayerNameById(1) + "|" + g_manager.links.team_counts, "Mike|old");
  EXPECT_TRUE(Has(Log(), "DEBUG: Couldn't get player list! Parse error."));
  // An answer that starts with an empty line lists nobody, whatever follows.
  Serve({}, {"", "garbage"});
  EXPECT_TRUE(GetPlayerList());
  EXPECT_EQ(std::pair(PlayerCount(), g_manager.links.team_counts), std::pair(0, std::string("0 / 0 / 0")));
  // More than 64 listed are not stored.
  std::vector<std::string> lines;
  for (int i = 0; i < 80; ++i)
    lines.push_back("Id:" + std::to_string(i) + " - p" + std::to_string(i) + " is remote ip: 1.1.1.1:1");
  Serve({}, lines);
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ(std::tuple(PlayerCount(), PlayerNameById(63), PlayerNameById(64)), std::tuple(64, "p63", "[unknown]"));
}

TEST_F(PlayerListTest, SmartBalanceEngagesOnceAndReleasesAtOne) {
  Setting(kSetSmartBalance).value = 1;
  Setting(kSetSmartBalanceValue).value = 3;
  auto teams = [](int allied, int axis) {
    std::vector<P> players;
    for (int i = 0; i < allied; ++i) players.push_back({"al" + std::to_string(i), 2, "0"});
    for (int i = 0; i < axis; ++i) players.push_back({"ax" + std::to_string(i), 1, "0"});
    return players;
  };
  Serve(teams(5, 2), {});
  ASSERT_TRUE(GetPlayerList());
  ASSERT_TRUE(GetPlayerList());
  auto sent = CommandsSent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][1] + "|" + sent[1][1], "admin.autoBalanceTeam 1|admin.serverMessage "
            "\"[KORV] Teams are unbalanced, engaging auto-team-balance\"");
  Serve(teams(4, 2), {});
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ(CommandsSent().size(), 2u);
  g_manager.core.admin_message_style = 0;
  Serve(teams(3, 2), {});
  ASSERT_TRUE(GetPlayerList());
  sent = CommandsSent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2][1] + "|" + sent[3][1], "admin.autoBalanceTeam 0|game.sayAll "
            "\"[KORV] Teams are balanced, disengaging auto-team-balance\"");
  for (const char* state : {"unbalanced, engaging", "balanced, disengaging"})
    EXPECT_TRUE(Has(Log(), "Smart-balance is enabled and teams are " + std::string(state) + " auto-team-balance."));
}

TEST_F(PlayerListTest, LookupsAndRemoval) {
  Serve({{"Mike", 2, "1"}, {"Mikey", 1, "1"}, {"Anna", 1, "1"}}, {});
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ((std::vector{FindPlayerByName("mike"), FindPlayerByName("mikey"), FindPlayerByName("NN"),
                         FindPlayerByName("zed"), FindPlayerByName("")}),
            (std::vector{-1, 2, 3, -1, -1}));
  // Free slots hold id 0.
  EXPECT_EQ(std::tuple(PlayerAddressById(2), PlayerKeyhashById(3), PlayerNameById(0)),
            std::tuple("10.0.0.2", std::string(32, 'c'), "[unknown]"));
  EXPECT_TRUE(RemovePlayerById(1));
  EXPECT_FALSE(RemovePlayerById(1));
  const auto& players = g_manager.links.players;
  EXPECT_EQ(players[0].name + "|" + players[1].name + "|" + players[2].name + "|" + std::to_string(PlayerCount()),
            "Mikey|Anna||2");
  ConsoleDisconnect();
  EXPECT_EQ(PlayerCount(), 0);
}

}  // namespace
}  // namespace korvtest
