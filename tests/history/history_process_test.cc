// The daemon with gamesim: a damaged history.db replaced, kicks with who and why, notes, the P letter.
#include <gtest/gtest.h>

#include "support/gamesim_client.h"

using namespace korvtest;

namespace {

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
