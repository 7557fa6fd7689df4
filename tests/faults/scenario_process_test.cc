// One whole working session; scripts/check-hardened.sh runs it under valgrind (exit status 99).
#include <gtest/gtest.h>

#include <signal.h>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

using namespace korvtest;
using korvclient::Client;

namespace {

constexpr char kHash[] = "0123456789abcdef0123456789abcdef";

TEST(ScenarioProcess, LoginUploadKickBanStopThenSigterm) {
  // Under valgrind everything takes longer; a plain run keeps the defaults.
  const bool wrapped = std::getenv("KORV_TEST_WRAPPER") != nullptr;
  const auto wait = std::chrono::seconds(wrapped ? 60 : 10);
  gamesimtest::DaemonRun run(
      std::string("lively 0\nplayer 3 1 5 1 0 50 10.0.0.5:14567 ") + kHash + " - Mike\n" +
          "player 4 2 1 1 0 60 10.0.0.6:14567 fedcba9876543210fedcba9876543210 - Ann\n",
      {{"game.serverName", "\"Test Server\""}}, "admin,Secret,,4294967295,1\nmod,pw,,128,1\n");
  gamesimtest::GameDir& game = run.game;
  ASSERT_TRUE(gamesimtest::StartGame(game, &run.server));
  ASSERT_TRUE(run.Start());
  std::string log = run.LogPath();
  ASSERT_TRUE(WaitForText(log, " : Connected\r\n", wait)) << ReadFile(log);
  korvtest::Process& daemon = run.daemon;

  Client admin, mod;
  ASSERT_TRUE(admin.Connect(run.port, 60) && mod.Connect(run.port, 60));
  ASSERT_EQ(admin.Login("admin", "Secret").result, 0);
  ASSERT_EQ(mod.Login("mod", "pw").result, 0);
  ASSERT_TRUE(admin.Command(kClientAnnouncementsUpload) && admin.SendFrame("Welcome\nNo camping\n"));
  ASSERT_TRUE(WaitForText(game.settings() + "/announcements.con", "No camping", wait));
  mod.CommandText(kClientKickPlayer, "3,camping");
  ASSERT_TRUE(admin.WaitNotification(0xBEEF0020)) << ReadFile(log);
  admin.CommandText(kClientBanPlayer, "4\xff" "Ann\xff" "10.0.0.6\xff\xff\xff" "0\xff" "cheating\xff");
  ASSERT_TRUE(admin.WaitNotification(0xBEEF0021)) << ReadFile(log);
  admin.Command(kClientStopServer);
  ASSERT_TRUE(WaitForText(log, "Server stopped", wait)) << ReadFile(log);

  // Leaving, the daemon tells each client, which then hangs up as a real client does.
  daemon.Signal(SIGTERM);
  for (Client* client : {&admin, &mod}) {
    EXPECT_TRUE(client->WaitNotification(kNotifyDisconnect)) << ReadFile(log);
    client->Close();
  }
  EXPECT_EQ(daemon.Wait(wait), SIGTERM) << ReadFile(game.dir / "korvd-out.txt");
}

}  // namespace
