// The daemon with gamesim: uploads take effect at once; chat reaches the chat watch.
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
  const std::string moved = "1000,stop,daily,*,*,0\n1001,start,none,*,*,0\n";
  ASSERT_TRUE(client->Command(kClientScheduleUpload) &&
              client->SendFrame("1000,stop,daily,*,*,0\n1000,start,none,*,*,0\n"));
  ASSERT_TRUE(client->WaitNotification(0xBEEF000F));
  EXPECT_EQ(ReadFile(game.settings() + "/serverschedule.con"), moved);
  // Event files outside the settings directory are refused; the schedule stays.
  ASSERT_TRUE(client->Command(kClientScheduleUpload) &&
              client->SendFrame("2000,start,daily,/dev/zero,/dev/zero,1\n"));
  ASSERT_TRUE(client->WaitNotification(0xBEEF0001));
  EXPECT_TRUE(Has(ReadFile(log), "Couldn't update the event schedule! The file /dev/zero is not "
                                 "a regular file in the settings directory."));
  EXPECT_EQ(ReadFile(game.settings() + "/serverschedule.con"), moved);
  ASSERT_TRUE(client->Command(kClientBannedWordsUpload) && client->SendFrame("noob\n"));
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
  EXPECT_LT(said.find(warning, first + 1), said.find("Kicking"));  // found, "Kicking" being there
  EXPECT_TRUE(Has(said, "admin.kickPlayer 3"));
}

// With [console] chat_poll_ms a chat line reaches the clients between two
// status ticks (the metrics file, rewritten on every tick, is unchanged);
// without the key only a tick brings it, as before.
TEST(ModerationProcessTest, ChatPollBringsChatBetweenStatusTicks) {
  const std::string players = std::string("lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 ") + kHash + " - Bob\n";
  for (bool poll : {true, false}) {
    gamesimtest::DaemonRun run(players);
    const std::string metrics = run.dir() + "/metrics.prom";
    WriteFile(run.Settings("korvd.conf"), "[metrics]\ntextfile = " + metrics + "\n" +
                                              (poll ? "[console]\nchat_poll_ms = 50\n" : ""));
    ASSERT_TRUE(gamesimtest::StartGame(run.game, &run.server));
    ASSERT_TRUE(run.Start());
    auto client = run.LoggedIn("admin", "secret");
    // From the second tick on, only the ticks and the poll talk to the console.
    std::string first;
    ASSERT_TRUE(run.Connected() && WaitUntil([&] { return !(first = ReadFile(metrics)).empty(); }));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(metrics) != first; }));
    // A tick may fall between the line and its arrival by chance: three tries.
    int between_ticks = 0;
    for (int i = 0; i < (poll ? 3 : 1) && between_ticks == 0; ++i) {
      const std::string before = ReadFile(metrics), text = "Global Bob: line " + std::to_string(i);
      run.game.WriteScenario(players + "chat Bob: line " + std::to_string(i) + "\n");
      auto chat = client->WaitNotification(kNotifyConsoleLine);
      ASSERT_TRUE(chat) << run.Log();
      EXPECT_EQ(chat->data, text + '\0');
      ASSERT_TRUE(client->KeepAlive(false));  // a tick that brought the line has ended
      between_ticks += ReadFile(metrics) == before;
      EXPECT_TRUE(Has(run.Log(), " : # " + text));
    }
    EXPECT_EQ(between_ticks > 0, poll);
  }
}

}  // namespace
