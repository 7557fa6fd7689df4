// The daemon with gamesim: chat lines from the game reach the chat watch
// and the in-game commands, and their kicks, bans and messages reach the
// game's console.
#include <gtest/gtest.h>

#include <memory>

#include "support/gamesim_client.h"
#include "support/process_harness.h"
#include "support/remote_client.h"

using namespace korvtest;

namespace {

constexpr char kHash[] = "0123456789abcdef0123456789abcdef";
constexpr char kAdminHash[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";

TEST(ModerationProcessTest, ChatWarningsKickAndAnInGameMenuBan) {
  ASSERT_TRUE(korvclient::LoadKey(SourcePath("src/remote/client.key")));
  gamesimtest::GameDir game;
  const std::string players = std::string("lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 ") +
                              kHash + " - Bob\nplayer 4 1 5 1 0 50 10.0.0.6:14567 " +
                              kAdminHash + " - Boss\n";
  gamesimtest::LayOutForDaemon(&game, players, {{"manager.autoKickWord", "1"}});
  WriteFile(game.settings() + "/useraccess.con", std::string("admin,Secret,") + kAdminHash + ",4294967295,1\n");
  WriteFile(game.settings() + "/bannedwords.con", "noob\n");
  WriteFile(game.settings() + "/playermenu.con", "TK [tk] \"Team killing\"|ban,600\n");
  Process server, daemon;
  ASSERT_TRUE(gamesimtest::StartGame(game, &server));
  int port = FreePort();
  ASSERT_TRUE(daemon.Start({BuildPath("korvd"), "-path", game.dir.path(), "-port",
                            std::to_string(port), "-ip", "127.0.0.1", "-messagelog", "-nodelay",
                            "-noadmin"},
                           game.dir.path(), game.dir / "korvd-out.txt"));
  std::string log = game.dir / "korvd.log";
  ASSERT_TRUE(WaitForText(log, "Listening on"));
  auto client = std::make_unique<korvclient::Client>();
  ASSERT_TRUE(client->Connect(port));
  ASSERT_EQ(client->Login("admin", "Secret").result, 0);
  ASSERT_TRUE(WaitForText(log, " : Connected\r\n"));
  // The players speak once the daemon knows them.
  game.WriteScenario(players + "chat Bob: you noob\nchat Bob: noob again\nchat Bob: NOOB\n" +
                     "chat Boss: !tk Bob\n");
  auto kicked = client->WaitNotification(0xBEEF0028);
  ASSERT_TRUE(kicked) << ReadFile(log);
  EXPECT_EQ(kicked->data, std::string("Bob") + '\0');
  std::string messages = game.dir / "message.log";
  // A command that moves up in the queue waits for the next pass.
  ASSERT_TRUE(WaitForText(messages, "Kicking\x80" "Bob")) << ReadFile(messages);
  ASSERT_TRUE(WaitForText(messages, "No\x80matches\x80or\x80player\x80name\x80" "Bob"));
  std::string said = ReadFile(messages);
  EXPECT_TRUE(Has(said, "admin.kickPlayer 3"));
  // -noadmin: chat lines; spaces travel as 0x80 bytes.
  std::string warning = "game.sayAll \"[KORV]\x80" "Bob\x80" "do\x80not\x80use\x80the\x80word\x80noob\x80in\x80" "chat\"";
  std::size_t first = said.find(warning);
  ASSERT_NE(first, std::string::npos) << said;
  EXPECT_NE(said.find(warning, first + 1), std::string::npos);
  EXPECT_TRUE(Has(said, "game.sayAll \"[KORV]\x80Kicking\x80" "Bob\x80" "for\x80using\x80" "banned\x80words\""));
  // Bob left the table with his kick, so the in-game menu ban that follows
  // finds no one by that name.
  EXPECT_TRUE(Has(ReadFile(log), "Auto-kicked Bob (" + std::string(kHash) +
                                     ") at 10.0.0.5 for using banned words in chat messages (noob)."));
}

}  // namespace
