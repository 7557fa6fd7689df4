// The player history on a temporary database.
#include "history/history.h"

#include <filesystem>

#include "links/link_fixture.h"
#include "support/gamesim_client.h"

namespace {

using korvtest::Count;
using korvtest::Has;

constexpr std::time_t kT0 = 1700000000;
constexpr char kBob[] = "0123456789abcdef0123456789abcdef";
constexpr char kAnn[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
constexpr char kZed[] = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";

PlayerRecord Player(const char* name, const char* address, const char* keyhash,
                    const char* guid = "[unknown]") {
  PlayerRecord p;
  p.name = name;
  p.address = address;
  p.keyhash = keyhash;
  p.pb_guid = guid;
  return p;
}

void Seen(std::vector<PlayerRecord> players, std::time_t now) { RecordPlayersSeen(players, now); }

class HistoryTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
  }
  void Open() {
    OpenHistory(kT0);
    ASSERT_TRUE(HistoryOn()) << Log();
  }
  std::vector<HistoryPlayer> Query(std::string_view query, std::time_t now) {
    HistoryReport report = QueryHistory(query, now);
    EXPECT_EQ(report.error, "");
    return report.players;
  }
  std::vector<std::string> Keys(std::string_view query, std::time_t now) {
    std::vector<std::string> keys;
    for (const HistoryPlayer& p : Query(query, now)) keys.push_back(p.keyhash);
    return keys;
  }
};

TEST_F(HistoryTest, SessionsNamesAddressesAndTimePlayedSurviveARestart) {
  Open();
  const PlayerRecord ann = Player("Ann", "10.0.0.7", kAnn);
  const PlayerRecord bot = Player("Bot", "10.0.0.8", "[unknown]");
  Seen({Player("Bob", "10.0.0.5", kBob), ann, bot}, kT0);
  Seen({Player("Bob", "10.0.0.5", kBob), ann, bot}, kT0 + 30);
  Seen({ann}, kT0 + 60);  // Bob left after his last sight
  FlushHistory(kT0 + 60);
  Seen({Player("Bobby", "10.0.0.5", kBob), ann}, kT0 + 90);
  // A new address begins a new session; the GUID comes when PunkBuster gives it.
  Seen({Player("Bobby", "10.0.0.9", kBob), ann}, kT0 + 120);
  Seen({Player("Bobby", "10.0.0.9", kBob, "G1"), ann}, kT0 + 150);
  RecordAction(HistoryKind::kKick, "Bobby", "10.0.0.9", kBob, "admin", "team\tkilling", kT0 + 155);
  const HistoryPlayer bob{kBob, "G1", kT0, kT0 + 150, 60,
                          {{"Bobby", kT0 + 90, kT0 + 150}, {"Bob", kT0, kT0 + 30}},
                          {{"10.0.0.9", kT0 + 120, kT0 + 150}, {"10.0.0.5", kT0, kT0 + 90}},
                          {{kT0 + 120, kT0 + 150, "Bobby", "10.0.0.9"},
                           {kT0 + 90, kT0 + 90, "Bobby", "10.0.0.5"},
                           {kT0, kT0 + 30, "Bob", "10.0.0.5"}},
                          {{kT0 + 155, "kick", "admin", "team\tkilling"}}};
  EXPECT_EQ(Query(kBob, kT0 + 160), std::vector{bob});
  EXPECT_EQ(Query("ABCDEF0123456789abcdef0123456789", kT0 + 160).size(), 0u);
  EXPECT_EQ(Keys("0123456789ABCDEF0123456789ABCDEF", kT0 + 160), std::vector<std::string>{kBob});
  EXPECT_EQ(Keys("Bot", kT0 + 160), std::vector<std::string>{});  // no key hash, no record
  // The exit ends the sessions where they were last seen; the next start reads them back.
  CloseHistory();
  EXPECT_FALSE(HistoryOn());
  Open();
  EXPECT_EQ(Query(kBob, kT0 + 9999), std::vector{bob});
  EXPECT_EQ(Query(kAnn, kT0 + 9999)[0].seconds, 150);
}

TEST_F(HistoryTest, QueriesByNameAndAddressAndActionsOnStrangers) {
  Open();
  Seen({Player("Mikey", "10.0.0.2", kAnn)}, kT0);
  Seen({Player("Mike", "10.0.0.1", kBob)}, kT0 + 10);
  Seen({Player("Zed_1", "10.0.0.1", kZed)}, kT0 + 20);
  RecordAction(HistoryKind::kBan, "Ghost", "10.9.9.9", "[unknown]", "admin", "cheat", kT0 + 30);
  RecordAction(HistoryKind::kUnban, "", "10.0.0.2", "", "admin", "", kT0 + 40);
  RecordAction(HistoryKind::kWarning, "Mike", "", "", "auto: high-ping", "ping 900", kT0 + 50);
  // Exact names first, then the latest seen; case is ignored; % and _ are letters.
  EXPECT_EQ(Keys("mikey", kT0 + 60), (std::vector<std::string>{kAnn}));
  EXPECT_EQ(Keys("MIK", kT0 + 60), (std::vector<std::string>{kBob, kAnn}));
  EXPECT_EQ(Keys("mike", kT0 + 60), (std::vector<std::string>{kBob, kAnn}));
  EXPECT_EQ(Keys("d_", kT0 + 60), (std::vector<std::string>{kZed}));
  EXPECT_EQ(Keys("M_ke", kT0 + 60), (std::vector<std::string>{}));
  EXPECT_EQ(Keys("%", kT0 + 60), (std::vector<std::string>{}));
  EXPECT_EQ(Keys("10.0.0.1", kT0 + 60), (std::vector<std::string>{kZed, kBob}));
  // An action without a key hash goes to whoever was seen last at the address or under the name.
  EXPECT_EQ(Query("10.0.0.2", kT0 + 60).at(0).actions, (std::vector<HistoryEntry>{{kT0 + 40, "unban", "admin", ""}}));
  EXPECT_EQ(Query("Mike", kT0 + 60)[0].actions,
            (std::vector<HistoryEntry>{{kT0 + 50, "warning", "auto: high-ping", "ping 900"}}));
  // Nobody was seen at 10.9.9.9: the ban stands on its own.
  const HistoryPlayer ghost{"", "", 0, 0, 0, {}, {}, {}, {{kT0 + 30, "ban", "admin", "cheat"}}};
  EXPECT_EQ(Query("10.9.9.9", kT0 + 60), std::vector{ghost});
  EXPECT_EQ(QueryHistory("", kT0).error, "a name, key hash or address is needed");
}

TEST_F(HistoryTest, NotesNeedAKnownPlayerAndOutliveTheRetention) {
  Open();
  std::string error;
  EXPECT_FALSE(AddHistoryNote(kBob, "admin", "watch him", kT0, &error));
  EXPECT_EQ(error, std::string("no player with the key hash ") + kBob + " was ever seen");
  Seen({Player("Bob", "10.0.0.5", kBob)}, kT0);
  Seen({Player("Bob", "10.0.0.5", kBob)}, kT0 + 30);
  // Three minutes without a refresh end the session where he was last seen.
  FlushHistory(kT0 + 210);
  Seen({Player("Bob", "10.0.0.5", kBob)}, kT0 + 300);
  RecordAction(HistoryKind::kKick, "Bob", "10.0.0.5", kBob, "admin", "spam", kT0 + 40);
  ASSERT_TRUE(AddHistoryNote(kBob, "admin", "watch him", kT0 + 50, &error)) << error;
  // A day's retention, three days on: everything but the note and its player goes.
  g_manager.core.conf.history_retention_days = 1;
  FlushHistory(kT0 + 3 * 86400);
  const HistoryPlayer bob{kBob, "", kT0, kT0 + 300, 30, {}, {}, {}, {{kT0 + 50, "note", "admin", "watch him"}}};
  EXPECT_EQ(Query(kBob, kT0 + 3 * 86400), std::vector{bob});
  // Leaving and coming back begins a new session; a player the retention
  // took comes back as a new one.
  const std::time_t t1 = kT0 + 3 * 86400, t2 = t1 + 3 * 86400;
  for (std::time_t t : {t1, t1 + 6}) Seen({Player("Ann", "10.0.0.7", kAnn)}, t), Seen({}, t + 3);
  EXPECT_EQ(Query(kAnn, t1 + 9).at(0).sessions.size(), 2u);
  FlushHistory(t2);
  EXPECT_EQ(Keys(kAnn, t2), std::vector<std::string>{});
  Seen({Player("Ann", "10.0.0.7", kAnn)}, t2);
  const HistoryPlayer ann{kAnn, "", t2, t2, 0, {{"Ann", t2, t2}}, {{"10.0.0.7", t2, t2}}, {{t2, t2, "Ann", "10.0.0.7"}}, {}};
  EXPECT_EQ(Query(kAnn, t2), std::vector{ann});
}

TEST_F(HistoryTest, AMissingOrDamagedFileIsReplacedAndAnUnwritableOneTurnsHistoryOff) {
  const std::string path = dir_ / "history.db";
  g_manager.core.conf.history_enabled = 0;
  OpenHistory(kT0);
  FlushHistory(kT0);
  EXPECT_FALSE(HistoryOn());
  EXPECT_FALSE(std::filesystem::exists(path));
  // Turned on by a reload: the next tick opens it.
  g_manager.core.conf.history_enabled = 1;
  FlushHistory(kT0);
  ASSERT_TRUE(HistoryOn());
  EXPECT_TRUE(Has(Log(), "No player history in " + path + " yet; a new one begun."));
  CloseHistory();

  korvtest::WriteFile(path, std::string(4096, 'x'));
  Open();
  EXPECT_TRUE(Has(Log(), "WARNING: The player history " + path +
                             " is damaged (file is not a database); it was moved aside to " +
                             path + ".bad-"));
  std::vector<std::string> bad;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    if (entry.path().filename().string().starts_with("history.db.bad-")) bad.push_back(korvtest::ReadFile(entry.path()));
  EXPECT_EQ(bad, std::vector{std::string(4096, 'x')});
  Seen({Player("Bob", "10.0.0.5", kBob)}, kT0);
  EXPECT_EQ(Keys("Bob", kT0), std::vector<std::string>{kBob});
  CloseHistory();

  std::filesystem::remove(path);
  std::filesystem::create_directory(path);  // no file can be written there
  OpenHistory(kT0);
  EXPECT_FALSE(HistoryOn());
  Seen({Player("Bob", "10.0.0.5", kBob)}, kT0);
  FlushHistory(kT0 + 3);
  EXPECT_EQ(QueryHistory(kBob, kT0).error, "player history is off");
  std::string error;
  EXPECT_FALSE(AddHistoryNote(kBob, "admin", "x", kT0, &error));
  EXPECT_EQ(error, "player history is off");
  EXPECT_EQ(Count(Log(), "Couldn't write the player history " + path +
                             "! unable to open database file. Player history is off until "
                             "korvd starts again."),
            1)
      << Log();
}

}  // namespace

namespace {

using namespace korvtest;

constexpr char kLag[] = "cccccccccccccccccccccccccccccccc";

// The daemon with gamesim: kicks by an administrator and by the ping watch reach the
// history with who and why.
TEST(HistoryProcessTest, KicksByAnAdminAndByTheChatWatchShowWithWhoAndWhy) {
  const std::string players = std::string("lively 0\n") + "player 3 1 5 1 0 50 10.0.0.5:14567 " +
                              kBob + " - Bob\nplayer 4 2 0 0 0 90 10.0.0.6:14567 " + kLag +
                              " - Lag\n";
  gamesimtest::DaemonRun run(players, {{"manager.autoKickWord", "1"}},
                             "admin,secret,,4294967295,1\nviewer,secret,,32,1\n");
  WriteFile(run.Settings("history.db"), std::string(2048, 'x'));
  WriteFile(run.Settings("bannedwords.con"), "noob\n");
  ASSERT_TRUE(gamesimtest::StartGame(run.game, &run.server));
  ASSERT_TRUE(run.Start({"-nodelay"}));
  ASSERT_TRUE(run.Connected());
  EXPECT_TRUE(Has(run.Log(), "is damaged (file is not a database); it was moved aside to " +
                                 run.Settings("history.db.bad-")));
  std::string out;
  ASSERT_EQ(run.Ctl({"kick", "3", "team", "killing"}, &out), 0) << out;
  // Two warnings, then the third banned word kicks.
  run.game.WriteScenario(players + "chat Lag: noob\nchat Lag: noob again\nchat Lag: NOOB\n");
  ASSERT_TRUE(WaitForText(run.LogPath(), "Auto-kicked Lag", std::chrono::seconds(60)))
      << run.Log();
  ASSERT_EQ(run.Ctl({"--json", "history", kBob}, &out), 0) << out;
  EXPECT_TRUE(Has(out, ",\"kind\":\"kick\",\"who\":\"admin\",\"why\":\"team killing\"}"));
  EXPECT_TRUE(Has(out, "\"names\":[{\"name\":\"Bob\",\"first_seen\":"));
  EXPECT_TRUE(Has(out, ",\"name\":\"Bob\",\"address\":\"10.0.0.5\"}"));  // his session
  ASSERT_EQ(run.Ctl({"history", "lag"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "auto: banned words") && Has(out, "said noob")) << out;
  ASSERT_EQ(run.Ctl({"--json", "history", kLag}, &out), 0) << out;
  EXPECT_EQ(Count(out, ",\"kind\":\"warning\",\"who\":\"auto: banned words\",\"why\":\"said noob\"}"), 2);
  EXPECT_TRUE(Has(out, ",\"kind\":\"kick\",\"who\":\"auto: banned words\",\"why\":\"said noob\"}"))
      << out;
  EXPECT_TRUE(Has(out, "10.0.0.6")) << out;
  ASSERT_EQ(run.Ctl({"note", kLag, "lags", "every", "evening"}, &out), 0) << out;
  ASSERT_EQ(run.Ctl({"--json", "history", kLag}, &out), 0) << out;
  EXPECT_TRUE(Has(out, ",\"kind\":\"note\",\"who\":\"admin\",\"why\":\"lags every evening\"}"));
  EXPECT_EQ(run.Ctl({"note", "dddddddddddddddddddddddddddddddd", "x"}, &out), 1) << out;
  EXPECT_TRUE(Has(out, "no player with the key hash dddddddddddddddddddddddddddddddd was ever seen"));

  // Without the P letter korvctl refuses, and so does the daemon.
  std::vector<std::string> viewer{BuildPath("korvctl"), "-p", std::to_string(run.port), "-u",
                                  "viewer", "--password", "secret", "history", "Bob"};
  EXPECT_EQ(RunToEnd(viewer, run.dir(), &out), 6) << out;
  auto client = run.LoggedIn("viewer", "secret");
  client->CommandText(kClientPlayerHistory, "Bob");
  EXPECT_TRUE(WaitForText(run.LogPath(), " does not have access to command BABE0033!"));
}

}  // namespace
