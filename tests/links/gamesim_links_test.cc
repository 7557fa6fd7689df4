// The links against the real stand-in game server (build/gamesim): login,
// port identification, live settings, the player join, PunkBuster GUIDs,
// chat, a dropped link and the status tick's detections.
#include <gtest/gtest.h>

#include <thread>

#include "core/helpers.h"
#include "links/console.h"
#include "links/link_fixture.h"
#include "links/player_table.h"
#include "links/status_query.h"
#include "remote/command_queue.h"
#include "server/ticks.h"
#include "settings/settings_table.h"
#include "support/gamesim_client.h"

namespace korvtest {
namespace {

using namespace std::chrono_literals;

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
  // Rewrites the scenario and waits until gamesim shows `key` as `value`.
  void Rescript(const std::string& scenario, const std::string& key, const std::string& value) {
    game_.WriteScenario(scenario);
    for (int i = 0; i < 100; ++i) {
      std::optional<std::string> report = StatusQuery(game_.status_port, "\\status\\");
      if (report && StatusValue(*report, key) == value) return;
      std::this_thread::sleep_for(30ms);
    }
    FAIL() << "gamesim did not take up the scenario";
  }
  gamesimtest::GameDir game_;
  Process process_;
};

TEST_F(GamesimLinksTest, LoginSynchronisesSettingsAndPlayers) {
  Start(kPlayers + "punkbuster 1\nversion v1.6\n");
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
  EXPECT_EQ(g_manager.links.team_counts, "1 / 1 / 2");
  EXPECT_EQ(g_manager.links.team_scores, "-2 / 10 / 8");
}

TEST_F(GamesimLinksTest, ChatReachesTheLogAndDroppedLinksReconnect) {
  Start(kPlayers);
  ASSERT_TRUE(ConsoleConnect());
  game_.WriteScenario(kPlayers + "chat Mike: hello there\n");
  for (int i = 0; i < 50 && Log().find("Global Mike: hello there") == std::string::npos; ++i) {
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(ConsoleRunKey(0));
  }
  EXPECT_NE(Log().find(" : # Global Mike: hello there  \r\n"), std::string::npos);

  game_.WriteScenario(kPlayers + "drop-console\n");
  std::optional<std::string> answer;
  for (int i = 0; i < 50 && (answer = ConsoleSend("game.listPlayers")); ++i)
    std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(answer);
  EXPECT_FALSE(g_manager.links.console_connected);
  EXPECT_NE(Log().find(" : Connection reset\r\n"), std::string::npos);

  game_.WriteScenario(kPlayers);
  for (int i = 0; i < 50 && !g_manager.links.console_connected; ++i) {
    std::this_thread::sleep_for(50ms);  // until gamesim has read the scenario again
    StatusMonitorTick();                // queues the reconnection
    RunQueuedCommands();
  }
  EXPECT_TRUE(g_manager.links.console_connected) << Log();
  EXPECT_EQ(PlayerNameById(3), "Mike");
}

TEST_F(GamesimLinksTest, StatusTickFollowsPauseAndVersion) {
  Start(kPlayers + "version v1.61\nmode openplaying\n");
  ASSERT_TRUE(ConsoleConnect());
  TcpPair client;
  g_manager.remote.sessions[1].socket = client.a;
  StatusMonitorTick();
  EXPECT_FLOAT_EQ(g_manager.server.server_version, 1.61f);
  EXPECT_NE(Log().find("WARNING: This version of Korvane is intended for BF v1.60 and may not "
                       "work correctly with this v1.61 server."),
            std::string::npos);
  Rescript(kPlayers + "version v1.61\nmode pause\n", "gamemode", "pause");
  StatusMonitorTick();
  StatusMonitorTick();
  Rescript(kPlayers + "version v1.61\nmode openplaying\n", "gamemode", "openplaying");
  StatusMonitorTick();
  std::string expected = U32Le(0xBEEF0019) + U32Le(0) + U32Le(0xBEEF001A) + U32Le(0);
  EXPECT_EQ(TcpPair::Drain(client.b), expected);
  g_manager.remote.sessions[1].socket = 0;
}

TEST_F(GamesimLinksTest, EmptyServerGoesToTheIdleMapAfterAHundredTicks) {
  Start("noplayers\nlively 0\n");
  ASSERT_TRUE(ConsoleConnect());
  g_manager.core.idle_map = "wake GPM_TDM bf1942";
  g_manager.ticks.current_map = "berlin GPM_CQ bf1942";
  for (int i = 0; i < 99; ++i) StatusMonitorTick();
  EXPECT_EQ(QueuedCommandCount(), 0);
  StatusMonitorTick();
  ASSERT_EQ(QueuedCommandCount(), 1);
  EXPECT_EQ(g_manager.remote.queue[0].code, kCmdChangeMap);
  EXPECT_STREQ(g_manager.remote.queue[0].text, "wake GPM_TDM bf1942");
}

}  // namespace
}  // namespace korvtest
