// korvctl against the real daemon and gamesim: settings, queued commands, watch, both ban roads.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <algorithm>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvctltest {
namespace {

using namespace korvtest;

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
// The key ban gamesim's lay-out starts with.
constexpr char kLaidOutBan[] = "admin.addKeyToBanList 99999999999999999999999999999999 Perm\n";
constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob\n";

class KorvctlProcess : public ::testing::Test {
 protected:
  void StartDaemon(bool start_game) {
    run_.env = {"GAMESIM_VERBOSE=1"};
    std::vector<std::string> options{"-exit", "-nodelay"};
    if (start_game) options.insert(options.end(), {"-start", "-messagelog"});
    ASSERT_TRUE(run_.Start(options)) << ReadFile(run_.Out());
    if (start_game) {
      ASSERT_TRUE(run_.Connected()) << run_.Log();
      ASSERT_TRUE(WaitForText(run_.Out(), "gamesim: serving"));  // the daemon's terminal
    }
  }
  int Ctl(std::vector<std::string> words, std::string* output) { return run_.Ctl(words, output); }
  std::string List() { return ReadFile(run_.Settings("serverbanlist.con")); }
  std::string Game() { return ReadFile(run_.Settings("banlist.con")); }
  // Starts `korvctl watch` in the background, logged in once it answers.
  void StartWatch(Process* watch, const std::string& out, std::vector<std::string> extra) {
    extra.insert(extra.begin(), "watch");
    ASSERT_TRUE(watch->Start(KorvctlArgv(run_.port, extra), run_.dir(), out));
    ASSERT_TRUE(WaitForText(out, "watching")) << ReadFile(out);
  }

  gamesimtest::DaemonRun run_{kPlayers};
  gamesimtest::GameDir& game_ = run_.game;
};

TEST_F(KorvctlProcess, SettingsRoundTripAndQueuedCommands) {
  StartDaemon(false);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--json", "--count", "3"});
  std::string file = game_.dir / "mine.con";
  std::string output;
  ASSERT_EQ(Ctl({"get", "settings", "-o", file}, &output), 0) << output;
  std::string settings = ReadFile(file);
  std::size_t at = settings.find("game.serverName \"Sim\"\n");
  ASSERT_NE(at, std::string::npos) << settings;
  settings.replace(at, 22, "game.serverName \"Renamed by korvctl\"\n");
  WriteFile(file, settings);
  ASSERT_EQ(Ctl({"put", "settings", "-i", file}, &output), 0) << output;
  EXPECT_TRUE(
      Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Renamed by korvctl\"\n"));
  ASSERT_EQ(Ctl({"get", "settings", "-o", "-"}, &output), 0);
  EXPECT_TRUE(Has(output, "game.serverName \"Renamed by korvctl\"\n"));
  EXPECT_EQ(Ctl({"idle-map", "wake"}, &output), 0) << output;
  EXPECT_EQ(output, "idle map set: wake\n");
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/servermaplist.con"), "game.setIdleLevel wake"));
  EXPECT_EQ(Ctl({"--json", "ban-name", "Cheater"}, &output), 0) << output;
  EXPECT_EQ(output.rfind("{\"ok\":true,", 0), 0u) << output;
  EXPECT_TRUE(Has(output, "\"event\":\"name_banned\""));
  EXPECT_TRUE(Has(output, "\"data\":\"Cheater\"}"));
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/bannedwords.con"), "$Cheater\n"));
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(Has(ReadFile(watched), "\"name\":\"settings changed\""));
  EXPECT_TRUE(Has(ReadFile(watched),
                  "\n{\"code\":\"BEEF001E\",\"event\":\"idle_map_set\",\"name\":"
                  "\"idle map set\",\"data\":\"wake\"}\n{\"code\":\"BEEF002C\","));
  // The user list as the admin sees it, and a stop of a stopped server.
  EXPECT_EQ(Ctl({"stop"}, &output), 7);
  EXPECT_TRUE(Has(output, "already stopped"));
  EXPECT_EQ(Ctl({"--json", "clients"}, &output), 0) << output;
  EXPECT_TRUE(Has(output, "\"user\":\"admin\""));
  EXPECT_EQ(output.find("\"user\":", output.find("\"user\":") + 1), std::string::npos) << output;
}

TEST_F(KorvctlProcess, BansOnTheFileRoadWithTheServerStopped) {
  StartDaemon(false);
  std::string out;
  ASSERT_EQ(Ctl({"ban", "--name", "Eve", "--address", "10.1.1.1", "--keyhash", kKey,
                 "--duration", "1h", "aim", "bot"},
                &out),
            0)
      << out;
  EXPECT_EQ(out, "player banned: Eve\n");
  EXPECT_EQ(Game(), std::string(kLaidOutBan) + "admin.addAddressToBanList 10.1.1.1:0 Perm\n" +
                        "admin.addKeyToBanList " + kKey + " Perm\n");
  const std::string row = List();
  const std::string head = "\"Eve\",10.1.1.1," + std::string(kKey) + ",*,\"admin\",";
  ASSERT_EQ(row.rfind(head, 0), 0u) << row;
  char* rest = nullptr;
  const long banned = std::strtol(row.c_str() + head.size(), &rest, 10);
  EXPECT_EQ(std::strtol(rest + 1, &rest, 10), banned + 3600);
  EXPECT_STREQ(rest, ",aim bot\n");

  ASSERT_EQ(Ctl({"bans"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "Eve")) << out;
  EXPECT_TRUE(Has(out, "aim bot"));
  ASSERT_EQ(Ctl({"--json", "bans"}, &out), 0) << out;
  EXPECT_TRUE(Has(out, "\"expiry\":\"" + std::to_string(banned + 3600) + "\"")) << out;
  EXPECT_TRUE(Has(out, "\"banned_by\":\"admin\""));

  // The game's list holds a key the daemon's does not.
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 1) << out;
  ASSERT_EQ(Ctl({"pull-bans"}, &out), 0) << out;
  const std::string imported = "\"[unknown]\",*,99999999999999999999999999999999,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",10.1.1.1,*,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",*," + std::string(kKey) + ",*,\"operator\",0,0,unknown reason\n";
  EXPECT_EQ(List(), imported);
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 0) << out;

  // An uploaded list, pushed to the game's file and downloaded again.
  const std::string mine = game_.dir / "mine.con";
  WriteFile(mine, "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n\"Bob\",*," + std::string(kKey) +
                      ",*,\"admin\",6,0,spam\n");
  ASSERT_EQ(Ctl({"put", "bans", "-i", mine}, &out), 0) << out;
  EXPECT_EQ(List(), ReadFile(mine));
  ASSERT_EQ(Ctl({"push-bans"}, &out), 0) << out;
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\nadmin.addKeyToBanList " +
                        std::string(kKey) + " Perm\n");

  ASSERT_EQ(Ctl({"unban", "--keyhash", kKey}, &out), 0) << out;
  EXPECT_EQ(List(), "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\n");
  ASSERT_EQ(Ctl({"clear-bans"}, &out), 0) << out;
  EXPECT_EQ(List(), "");
  EXPECT_EQ(Game(), "");
  ASSERT_EQ(Ctl({"bans"}, &out), 0) << out;
  EXPECT_EQ(out, "no bans\n");
}

TEST_F(KorvctlProcess, BansOnTheConsoleRoadAndChatInWatch) {
  StartDaemon(true);
  std::string out;
  ASSERT_EQ(Ctl({"clear-bans"}, &out), 0) << out;
  EXPECT_EQ(Game(), "");
  ASSERT_EQ(Ctl({"ban", "3", "--name", "Mike", "--address", "10.0.0.5", "camping"}, &out), 0)
      << out;
  EXPECT_EQ(out, "player banned: Mike\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.0.0.5:0 Perm\n");
  EXPECT_TRUE(Has(List(), "\"Mike\",10.0.0.5,*,*,\"admin\","));
  EXPECT_EQ(Ctl({"verify-bans"}, &out), 0) << out;
  ASSERT_EQ(Ctl({"unban", "--name", "Mike", "--address", "10.0.0.5"}, &out), 0) << out;
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
  EXPECT_TRUE(Has(ReadFile(game_.dir / "message.log"), "admin.removeAddressFromBanList 10.0.0.5"));
  // Without PunkBuster the unban fails, yet the dropped address leaves the daemon's list.
  ASSERT_EQ(Ctl({"ban", "--address", "10.0.0.7", "spam"}, &out), 0) << out;
  EXPECT_TRUE(Has(List(), "\"[unknown]\",10.0.0.7,*,*,\"admin\","));
  EXPECT_EQ(Ctl({"unban", "--address", "10.0.0.7", "--guid", kKey}, &out), 1) << out;
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
  // A second start is refused; a chat line from the game reaches watch.
  EXPECT_EQ(Ctl({"start"}, &out), 7) << out;
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--for", "20s"});
  game_.WriteScenario(std::string(kPlayers) + "chat Mike: hello from the game\n");
  EXPECT_TRUE(WaitForText(watched, "console: ", std::chrono::seconds(20))) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(watched), "Mike: hello from the game"));
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace korvctltest
