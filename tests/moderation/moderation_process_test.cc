// The daemon with gamesim: uploads take effect at once; chat reaches the chat watch; kicks by an
// administrator and by the ping watch reach the player history with who and why.
#include <gtest/gtest.h>

#include "support/gamesim_client.h"

using namespace korvtest;

namespace {

constexpr char kHash[] = "0123456789abcdef0123456789abcdef";
constexpr char kAdminHash[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";

TEST(ModerationProcessTest, UploadedWordsAndScheduleTakeEffectAndChatIsWatched) {
  const std::string players =
      std::string("lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 ") + kHash + " - Bob\n";
  gamesimtest::DaemonRun run(players, {{"manager.autoKickWord", "1"}},
                             std::string("admin,Secret,") + kAdminHash + ",4294967295,1\n");
  gamesimtest::GameDir& game = run.game;
  ASSERT_TRUE(gamesimtest::StartGame(game, &run.server));
  ASSERT_TRUE(run.Start({"-messagelog", "-nodelay", "-noadmin"}));
  std::string log = run.LogPath();
  auto client = run.LoggedIn("admin", "Secret");
  ASSERT_TRUE(run.Connected());
  // A schedule with a time twice is rewritten with it moved on and announced to every client.
  client->Command(kClientScheduleUpload);
  client->SendFrame("1000,stop,daily,*,*,0\n1000,start,none,*,*,0\n");
  ASSERT_TRUE(client->WaitNotification(0xBEEF000F));
  EXPECT_EQ(ReadFile(game.settings() + "/serverschedule.con"),
            "1000,stop,daily,*,*,0\n1001,start,none,*,*,0\n");
  // Event files outside the settings directory are refused; the schedule stays.
  client->Command(kClientScheduleUpload);
  client->SendFrame("2000,start,daily,/dev/zero,/dev/zero,1\n");
  ASSERT_TRUE(client->WaitNotification(0xBEEF0001));
  EXPECT_TRUE(Has(ReadFile(log), "Couldn't update the event schedule! The file /dev/zero is not "
                                 "a regular file in the settings directory."));
  EXPECT_EQ(ReadFile(game.settings() + "/serverschedule.con"),
            "1000,stop,daily,*,*,0\n1001,start,none,*,*,0\n");
  client->Command(kClientBannedWordsUpload);
  client->SendFrame("noob\n");
  ASSERT_TRUE(WaitForText(log, "updated the banned words."));
  game.WriteScenario(players + "chat Bob: you noob\nchat Bob: noob again\nchat Bob: NOOB\n");
  auto kicked = client->WaitNotification(0xBEEF0028);
  ASSERT_TRUE(kicked) << ReadFile(log);
  EXPECT_EQ(kicked->data, std::string("Bob") + '\0');
  std::string messages = game.dir / "message.log";
  ASSERT_TRUE(WaitForText(messages, "Kicking\x80" "Bob")) << ReadFile(messages);
  std::string said = ReadFile(messages);
  // -noadmin: chat lines; spaces travel as 0x80 bytes.
  std::string warning = "game.sayAll \"[KORV]\x80" "Bob\x80" "do\x80not\x80use\x80the\x80word\x80noob\x80in\x80" "chat\"";
  std::size_t first = said.find(warning);
  ASSERT_NE(first, std::string::npos) << said;
  EXPECT_NE(said.find(warning, first + 1), std::string::npos);
  EXPECT_LT(said.find(warning, first + 1), said.find("Kicking"));
  EXPECT_TRUE(Has(said, "admin.kickPlayer 3"));
}

constexpr char kBob[] = "0123456789abcdef0123456789abcdef";
constexpr char kLag[] = "cccccccccccccccccccccccccccccccc";

TEST(HistoryProcessTest, KicksByAnAdminAndByThePingWatchShowWithWhoAndWhy) {
  const std::string players = std::string("lively 0\n") + "player 3 1 5 1 0 50 10.0.0.5:14567 " +
                              kBob + " - Bob\nplayer 4 2 0 0 0 900 10.0.0.6:14567 " + kLag +
                              " - Lag\n";
  gamesimtest::DaemonRun run(players,
                             {{"manager.autoKickPing", "1"},
                              {"manager.autoKickPingValue", "500"},
                              {"manager.monitorTimerPeriod", "10"}},
                             "admin,secret,,4294967295,1\nviewer,secret,,32,1\n");
  WriteFile(run.Settings("history.db"), std::string(2048, 'x'));
  ASSERT_TRUE(gamesimtest::StartGame(run.game, &run.server));
  ASSERT_TRUE(run.Start({"-nodelay"}));
  ASSERT_TRUE(run.Connected());
  EXPECT_TRUE(Has(run.Log(), "is damaged (file is not a database); it was moved aside to " +
                                 run.Settings("history.db.bad-")));
  std::string out;
  ASSERT_EQ(run.Ctl({"kick", "3", "team", "killing"}, &out), 0) << out;
  // Three high-ping checks warn, the fourth kicks.
  ASSERT_TRUE(WaitForText(run.LogPath(), "Auto-kicked Lag", std::chrono::seconds(120)))
      << run.Log();
  ASSERT_EQ(run.Ctl({"--json", "history", kBob}, &out), 0) << out;
  EXPECT_TRUE(Has(out, ",\"kind\":\"kick\",\"who\":\"admin\",\"why\":\"team killing\"}"));
  EXPECT_TRUE(Has(out, "\"names\":[{\"name\":\"Bob\",\"first_seen\":"));
  EXPECT_TRUE(Has(out, ",\"name\":\"Bob\",\"address\":\"10.0.0.5\"}"));  // his session
  ASSERT_EQ(run.Ctl({"history", "lag"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "kick    auto: high-ping  ping 900")) << out;
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
