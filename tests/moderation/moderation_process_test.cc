// The daemon with gamesim: uploaded banned words and schedule take effect
// at once, and the chat lines from the game reach the chat watch, whose
// warnings and kick reach the game's console.
#include <gtest/gtest.h>

#include <memory>

#include "support/gamesim_client.h"
#include "support/process_harness.h"
#include "support/remote_client.h"

using namespace korvtest;

namespace {

constexpr char kHash[] = "0123456789abcdef0123456789abcdef";
constexpr char kAdminHash[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";

TEST(ModerationProcessTest, UploadedWordsAndScheduleTakeEffectAndChatIsWatched) {
  ASSERT_TRUE(korvclient::LoadKey(SourcePath("src/remote/client.key")));
  gamesimtest::GameDir game;
  const std::string players =
      std::string("lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 ") + kHash + " - Bob\n";
  gamesimtest::LayOutForDaemon(&game, players, {{"manager.autoKickWord", "1"}});
  WriteFile(game.settings() + "/useraccess.con",
            std::string("admin,Secret,") + kAdminHash + ",4294967295,1\n");
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
  // An uploaded schedule with a time twice is reloaded, rewritten with the
  // time moved on and announced to every client, the uploader included.
  client->Command(0xBABE0014);
  client->SendFrame("1000,stop,daily,*,*,0\n1000,start,none,*,*,0\n");
  ASSERT_TRUE(client->WaitNotification(0xBEEF000F));
  EXPECT_EQ(ReadFile(game.settings() + "/serverschedule.con"),
            "1000,stop,daily,*,*,0\n1001,start,none,*,*,0\n");
  // The uploaded banned words count at once.
  client->Command(0xBABE0019);
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

}  // namespace
