// Queued commands against a stand-in console: console lines, audits, notifications.
#include "commands/command_support.h"

#include <filesystem>

#include "links/player_table.h"
#include "remote/console_fixture.h"

namespace {

using korvclient::Notice;
using korvtest::Has;

class QueuedCommandTest : public korvtest::ConsoleFixture {};

TEST_F(QueuedCommandTest, KickSendsPunkBusterFirstAndTellsEveryone) {
  g_manager.core.admin_log = true;
  g_manager.links.punkbuster_enabled = true;
  GetPlayerList();
  Sent();
  Run(0xB00B000F, "3,team killing");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"pb_sv_kick 4 1 team killing", "admin.kickPlayer 3"}));
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 kicked player Mike (" + std::string(korvtest::kMikeHash) +
                             ") at 10.0.0.5 for team killing."));
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x20, "Mike"), Notice(0x20, "Mike")));
  std::string admin_log = korvtest::ReadFile(AdminLogPath());
  EXPECT_TRUE(Has(admin_log, "\"Mike\",10.0.0.5,") && Has(admin_log, ",berlin,kick,0,team killing\n")) << admin_log;

  // An id the game does not know: a failure, no audit line, no admin-log row.
  Run(0xB00B000F, "42,ghost");
  EXPECT_TRUE(Has(Log(), "Couldn't kick player [unknown]! The command failed.") &&
              !Has(Log(), "kicked player [unknown]")) << Log();
  EXPECT_EQ(korvtest::ReadFile(AdminLogPath()), admin_log);
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01), std::string()));

  g_manager.links.punkbuster_enabled = false;
  fail_ = "admin.kickPlayer";
  Run(0xB00B000F, "3,again");
  EXPECT_TRUE(Has(Log(), "Couldn't kick player Mike! The command failed."));
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01), std::string()));
}

TEST_F(QueuedCommandTest, PunkBusterSettingsAreSavedAndLoadedOnlyWherePunkBusterRuns) {
  Run(kCmdSavePunkBuster, "");
  Run(kCmdLoadPunkBuster, "");
  for (const char* what : {"dump", "load"})
    EXPECT_TRUE(Has(Log(), std::string("Could't ") + what + " PunkBuster settings! Not connected or PunkBuster "
                           "is not enabled.")) << what;
  EXPECT_EQ(Sent(), std::vector<std::string>{});
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01) + Notice(0x01), std::string()));
  g_manager.links.punkbuster_enabled = true;
  Run(kCmdSavePunkBuster, "");
  Run(kCmdLoadPunkBuster, "");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"pb_sv_writecfg", "pb_sv_load pbsv.cfg"}));
  EXPECT_TRUE(Has(Log(), "PunkBuster settings have been saved to pbsv.cfg.") &&
              Has(Log(), "PunkBuster settings have been loaded from pbsv.cfg.")) << Log();
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x17) + Notice(0x18), std::string()));
  fail_ = "pb_sv_load";  // a failed load tells no one
  Run(kCmdLoadPunkBuster, "");
  EXPECT_TRUE(Has(Log(), "Could't dump PunkBuster settings! The command failed."));
  EXPECT_EQ(ReceivedBoth(), std::pair(std::string(), std::string()));
}

TEST_F(QueuedCommandTest, MapStepsAndBanListCopiesSayTheirOwnTexts) {
  Run(kCmdNextMap, "");
  Run(kCmdRestartMap, "", 2);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.runNextLevel", "admin.restartMap"}));
  const std::string everyone = Notice(0x1C) + Notice(0x1F);
  EXPECT_EQ(ReceivedBoth(), std::pair(everyone, everyone));
  g_manager.server.server_running = false;
  korvtest::WriteFile(dir_ / "serverbanlist.con", "");  // the game's banlist.con is missing
  Run(kCmdSyncFromServerBans, "", 2);
  Run(kCmdSyncToServerBans, "");
  for (const char* line : {"User alice at 127.0.0.1:5001 changed to the next map in the rotation.",
                           "User bob at 127.0.0.1:5002 restarted the current map.",
                           "User alice at 127.0.0.1:5001 synchronised to the server banlist.",
                           "Couldn't sync from the server banlist! "})
    EXPECT_TRUE(Has(Log(), line)) << line;
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x15), Notice(0x01)));
}

TEST_F(QueuedCommandTest, ChatIsCutAndAuditedUnlessStarredAndRawConsoleIsNeverAFormat) {
  std::string text = std::string(40, 'a') + " " + std::string(40, 'b');
  Run(0xB00B0017, text);
  std::string blank(1, static_cast<char>(0x80));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"" + std::string(40, 'a') + "\"",
                                              "game.sayAll \"" + std::string(40, 'b') + "\""}));
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 said '" + text + "'."));
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x24), std::string()));

  Run(0xB00B0017, "*Welcome to the server");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"*Welcome" + blank + "to" + blank +
                                              "the" + blank + "server\""}));
  EXPECT_FALSE(Has(Log(), "said '*Welcome"));
  EXPECT_EQ(Received(1), Notice(0x24));

  // No line break may make a console command of its own, nor a quote end the argument.
  Run(0xB00B0018, "hi\n\"quit");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.serverMessage \"hi 'quit\""}));
  EXPECT_EQ(Received(1), Notice(0x25));
  Run(0xB00B0019, "game.sayAll \"%s %n %x\"");
  EXPECT_EQ(Sent(), (std::vector<std::string>{"game.sayAll \"%s %n %x\""}));
  EXPECT_TRUE(Has(Log(), "issued console command 'game.sayAll \"%s %n %x\"'."));
  EXPECT_EQ(Received(1), Notice(0x02));
}

TEST_F(QueuedCommandTest, MapCommandsTheStartMapNameBansAndTheIdleMapFile) {
  Run(0xB00B000A, "berlin GPM_CQ bf1942");
  for (int i = 0; i < 2; ++i) Run(0xB00B0009, "", 2);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"admin.changeMap berlin GPM_CQ bf1942",
                                              "admin.toggleGamePause", "admin.toggleGamePause"}));
  EXPECT_EQ(Received(1), Notice(0x1B, "berlin GPM_CQ bf1942") + Notice(0x19) + Notice(0x1A));
  for (const char* what : {"paused", "unpaused"})
    EXPECT_TRUE(Has(Log(), std::string("User bob at 127.0.0.1:5002 ") + what + " the server.")) << what;

  g_manager.server.server_running = false;
  Run(0xB00B000C, "kursk GPM_CQ bf1942", 0);
  EXPECT_TRUE(Sent().empty() && g_manager.remote.start_map == "kursk GPM_CQ bf1942") << g_manager.remote.start_map;
  EXPECT_TRUE(Has(Log(), "User operator at console changed the next map to kursk GPM_CQ bf1942."));
  ReceivedBoth();
  Run(0xB00B0013, "First");  // a missing file is created
  EXPECT_EQ(korvtest::ReadFile(dir_ / "bannedwords.con"), "$First\n");
  korvtest::WriteFile(dir_ / "bannedwords.con", "noob");
  Run(0xB00B0013, "Bad Name");
  EXPECT_EQ(korvtest::ReadFile(dir_ / "bannedwords.con"), "noob\n$Bad Name\n");
  EXPECT_EQ(Received(2), Notice(0x2C, "First") + Notice(0x2C, "Bad Name"));
  // A name the file cannot hold whole would ban its pieces as words.
  Received(1);
  for (const char* name : {"Bad,Guy", "Bad\nGuy", "Bad\rGuy", ""}) Run(0xB00B0013, name, 1);
  EXPECT_TRUE(Has(Log(), "Couldn't ban player name Bad,Guy! A banned player name may not be empty "
                         "or hold a comma or a line break."));
  EXPECT_EQ(korvtest::ReadFile(dir_ / "bannedwords.con"), "noob\n$Bad Name\n");
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01) + Notice(0x01) + Notice(0x01) + Notice(0x01),
                                      std::string()));
  // A file that cannot be read bans nothing and tells only the issuer.
  std::remove((dir_ / "bannedwords.con").c_str());
  std::filesystem::create_directory(dir_ / "bannedwords.con");
  Received(1);
  Run(0xB00B0013, "Third");
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01), std::string()));
  std::filesystem::remove(dir_ / "bannedwords.con");
  korvtest::WriteFile(dir_ / "servermaplist.con", "game.setIdleLevel old\nother\n");
  const std::string idle = "idle GPM_CQ bf1942 admin.enableRemoteConsole evil evil 4712";
  Run(0xB00B000D, "idle GPM_CQ bf1942\nadmin.enableRemoteConsole evil evil 4712");
  EXPECT_EQ(g_manager.core.idle_map, idle);
  EXPECT_EQ(korvtest::ReadFile(dir_ / "servermaplist.con"), "game.setIdleLevel " + idle + "\nother\n");
  Run(0xB00B000D, std::string(200, 'm'));  // cut to the 127 characters the file holds
  Run(0xB00B000D, "");
  EXPECT_TRUE(Has(Log(), "User alice at 127.0.0.1:5001 cleared the idle map."));
  EXPECT_EQ(Received(2), Notice(0x1E, idle) + Notice(0x1E, std::string(127, 'm')) + Notice(0x1E, ""));
  // A rotation file that cannot be rewritten changes and announces nothing.
  std::remove((dir_ / "servermaplist.con").c_str());
  Received(1);
  Run(0xB00B000D, "kursk GPM_CQ bf1942");
  EXPECT_EQ(g_manager.core.idle_map, "");
  EXPECT_EQ(ReceivedBoth(), std::pair(Notice(0x01), std::string()));
  EXPECT_TRUE(Has(Log(), "Couldn't open " + (dir_ / "servermaplist.con") + "! "));
}

TEST(ChatPieces, CutAtTheLastBlankWithinSixtyThreeCharacters) {
  const char blank = static_cast<char>(0x80);
  const std::string b(1, blank), a63(63, 'a'), a37(37, 'a');
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitIntoPieces(std::string(100, 'a'), blank), (Pieces{a63, a37}));
  std::string words = std::string(40, 'a') + b + std::string(30, 'b') + b + "end";
  EXPECT_EQ(SplitIntoPieces(words, blank), (Pieces{std::string(40, 'a'), std::string(30, 'b') + b + "end"}));
  // A separator at index 63 ends a full piece and is dropped; one at index 0 does not count.
  EXPECT_EQ(SplitIntoPieces(a63 + b + "d", blank), (Pieces{a63, "d"}));
  EXPECT_EQ(SplitIntoPieces(b + std::string(99, 'a'), blank), (Pieces{b + std::string(62, 'a'), a37}));
  EXPECT_EQ(SplitIntoPieces(a63, blank), Pieces{a63});
  EXPECT_EQ(SplitIntoPieces("", blank), Pieces{""});
}

}  // namespace
