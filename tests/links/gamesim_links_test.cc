// The links against the real stand-in game server (build/gamesim): login,
// port identification, live settings, the player join and PunkBuster GUIDs
// as gamesim prints them.
#include <gtest/gtest.h>

#include "core/helpers.h"
#include "links/console.h"
#include "links/link_fixture.h"
#include "links/player_table.h"
#include "links/status_query.h"
#include "settings/settings_table.h"
#include "support/gamesim_client.h"

namespace korvtest {
namespace {

constexpr char kGuid[] = "0123456789abcdef0123456789abcdef";
const std::string kPlayers =
    "player 3 1 10 5 2 80 10.0.0.5:23000 0123 " + std::string(kGuid) + " Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob the Great\n"
    "bot 5 1 0 0 0 Bot Alpha\n";

class GamesimLinksTest : public LogFixture {
 protected:
  void Start(const std::string& scenario) {
    gamesimtest::LayOut(&game_, scenario);
    ASSERT_TRUE(gamesimtest::StartGame(game_, &process_)) << ReadFile(game_.out());
    g_manager.server.server_running = true;
    g_manager.server.console_user = "UserName";
    g_manager.server.console_password = "Sesamine";
    Setting(kSetServerIp).value = 0x7F000001;
    Setting(kSetConsolePort).value = game_.console_port;
    Setting(kSetServerPort).value = game_.game_port;
    Setting(kSetServerInternet).value = 0;
    Setting(kSetGameSpyLanPort).value = game_.status_port;
  }
  void TearDown() override {
    if (g_manager.links.console_connected) ConsoleDisconnect();
    LogFixture::TearDown();
  }
  gamesimtest::GameDir game_;
  Process process_;
};

TEST_F(GamesimLinksTest, LoginSynchronisesSettingsAndPlayers) {
  // Players named after the server's own keys, in a reply of many segments.
  Start(kPlayers + "punkbuster 1\nversion v1.6\nsegment-size 200\n"
                   "player 6 2 7 0 0 40 198.51.100.9:14568 - - final\n"
                   "player 7 1 1 0 0 40 198.51.100.9:14569 - - queryid\n");
  Setting(kSetBanInBfAndPb).value = 1;
  g_manager.links.punkbuster_enabled = true;
  ASSERT_TRUE(ConsoleConnect()) << ErrorText(LastError());
  EXPECT_NE(Log().find(" : Connected\r\n"), std::string::npos);
  EXPECT_EQ(g_manager.links.status_port, static_cast<std::uint32_t>(game_.status_port));
  EXPECT_EQ(SettingValue(kSetGameTime), 20);
  EXPECT_EQ(SettingValue(kSetSoldierFriendlyFire), 50);
  EXPECT_EQ(SettingValue(kSetScoreLimit), 40);
  EXPECT_EQ(SettingValue(kSetVoteMapMajority), 75);

  const PlayerRecord* mike = FindPlayerById(3);
  ASSERT_NE(mike, nullptr);
  EXPECT_EQ(mike->name, "Mike");
  EXPECT_EQ(mike->team, "axis");
  EXPECT_EQ(mike->score, "10");
  EXPECT_EQ(mike->address, "10.0.0.5");
  EXPECT_EQ(mike->keyhash, "0123");
  EXPECT_EQ(mike->pb_guid, kGuid);
  EXPECT_EQ(PlayerNameById(4), "Bob the Great");
  EXPECT_EQ(PlayerKeyhashById(4), "[unknown]");
  EXPECT_EQ(FindPlayerById(5), nullptr);  // the bot
  EXPECT_EQ(FindPlayerById(7)->score, "1");
  EXPECT_EQ(g_manager.links.team_counts, "2 / 2 / 4");
  EXPECT_EQ(g_manager.links.team_scores, "5 / 11 / 16");
}

}  // namespace
}  // namespace korvtest
