// korvctl against the real daemon and gamesim: settings, queued commands, watch, both ban roads;
// the tools' --help and --version.
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
  // korvctl's output, once it ended with `status`.
  std::string Ctl(std::vector<std::string> words, int status = 0) {
    std::string output;
    EXPECT_EQ(run_.Ctl(words, &output), status) << output;
    return output;
  }
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
  Ctl({"get", "settings", "-o", file});
  std::string settings = ReadFile(file);
  std::size_t at = settings.find("game.serverName \"Sim\"\n");
  ASSERT_NE(at, std::string::npos) << settings;
  settings.replace(at, 22, "game.serverName \"Renamed by korvctl\"\n");
  WriteFile(file, settings);
  Ctl({"put", "settings", "-i", file});
  EXPECT_TRUE(
      Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Renamed by korvctl\"\n"));
  EXPECT_TRUE(Has(Ctl({"get", "settings", "-o", "-"}), "game.serverName \"Renamed by korvctl\"\n"));
  EXPECT_EQ(Ctl({"idle-map", "wake"}), "idle map set: wake\n");
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/servermaplist.con"), "game.setIdleLevel wake"));
  std::string output = Ctl({"--json", "ban-name", "Cheater"});
  const std::string banned =
      R"({"code":"BEEF002C","event":"name_banned","name":"player name banned","data":"Cheater"})";
  EXPECT_EQ(output, R"({"ok":true,"command":"ban-name","message":"player name banned: Cheater",)"
                    R"("event":)" + banned + "}\n");
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/bannedwords.con"), "$Cheater\n"));
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  const std::string watched_lines = ReadFile(watched);
  EXPECT_EQ(watched_lines.substr(watched_lines.find('\n') + 1),
            R"({"code":"BEEF000B","event":"settings_changed","name":"settings changed","data":null})"
            "\n" R"({"code":"BEEF001E","event":"idle_map_set","name":"idle map set","data":"wake"})"
            "\n" + banned + "\n");
  // The user list as the admin sees it, and a stop of a stopped server.
  EXPECT_TRUE(Has(Ctl({"stop"}, 7), "already stopped"));
  output = Ctl({"--json", "clients"});
  EXPECT_TRUE(Has(output, "\"user\":\"admin\""));
  EXPECT_EQ(output.find("\"user\":", output.find("\"user\":") + 1), std::string::npos) << output;
}

TEST_F(KorvctlProcess, BansOnTheFileRoadWithTheServerStopped) {
  StartDaemon(false);
  EXPECT_EQ(Ctl({"ban", "--name", "Eve", "--address", "10.1.1.1", "--keyhash", kKey, "--duration",
                 "1h", "aim", "bot"}),
            "player banned: Eve\n");
  EXPECT_EQ(Game(), std::string(kLaidOutBan) + "admin.addAddressToBanList 10.1.1.1:0 Perm\n" +
                        "admin.addKeyToBanList " + kKey + " Perm\n");
  const std::string row = List();
  const std::string head = "\"Eve\",10.1.1.1," + std::string(kKey) + ",*,\"admin\",";
  ASSERT_EQ(row.rfind(head, 0), 0u) << row;
  char* rest = nullptr;
  const long banned = std::strtol(row.c_str() + head.size(), &rest, 10);
  EXPECT_EQ(std::strtol(rest + 1, &rest, 10), banned + 3600);
  EXPECT_STREQ(rest, ",aim bot\n");

  std::string out = Ctl({"bans"});
  EXPECT_TRUE(Has(out, "Eve")) << out;
  EXPECT_TRUE(Has(out, "aim bot"));
  out = Ctl({"--json", "bans"});
  EXPECT_TRUE(Has(out, "\"expiry\":\"" + std::to_string(banned + 3600) + "\"")) << out;
  EXPECT_TRUE(Has(out, "\"banned_by\":\"admin\""));

  // The game's list holds a key the daemon's does not.
  Ctl({"verify-bans"}, 1);
  Ctl({"pull-bans"});
  const std::string imported = "\"[unknown]\",*,99999999999999999999999999999999,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",10.1.1.1,*,*,\"operator\",0,0,unknown reason\n"
                               "\"[unknown]\",*," + std::string(kKey) + ",*,\"operator\",0,0,unknown reason\n";
  EXPECT_EQ(List(), imported);
  Ctl({"verify-bans"});

  // An uploaded list, pushed to the game's file and downloaded again.
  const std::string mine = game_.dir / "mine.con";
  WriteFile(mine, "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n\"Bob\",*," + std::string(kKey) +
                      ",*,\"admin\",6,0,spam\n");
  Ctl({"put", "bans", "-i", mine});
  EXPECT_EQ(List(), ReadFile(mine));
  Ctl({"push-bans"});
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\nadmin.addKeyToBanList " +
                        std::string(kKey) + " Perm\n");

  Ctl({"unban", "--keyhash", kKey});
  EXPECT_EQ(List(), "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.1.1.1:0 Perm\n");
  Ctl({"clear-bans"});
  EXPECT_EQ(List(), "");
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(Ctl({"bans"}), "no bans\n");
}

TEST_F(KorvctlProcess, BansOnTheConsoleRoadAndChatInWatch) {
  StartDaemon(true);
  Ctl({"clear-bans"});
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(Ctl({"ban", "3", "--name", "Mike", "--address", "10.0.0.5", "camping"}),
            "player banned: Mike\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.0.0.5:0 Perm\n");
  EXPECT_TRUE(Has(List(), "\"Mike\",10.0.0.5,*,*,\"admin\","));
  Ctl({"verify-bans"});
  // The running game keeps its own list: a copy into its file is refused.
  EXPECT_TRUE(Has(Ctl({"push-bans"}, 1), "command failed"));
  Ctl({"unban", "--name", "Mike", "--address", "10.0.0.5"});
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
  EXPECT_TRUE(Has(ReadFile(game_.dir / "message.log"), "admin.removeAddressFromBanList 10.0.0.5"));
  // Without PunkBuster the unban fails, yet the dropped address leaves the daemon's list.
  Ctl({"ban", "--address", "10.0.0.7", "spam"});
  EXPECT_TRUE(Has(List(), "\"[unknown]\",10.0.0.7,*,*,\"admin\","));
  Ctl({"unban", "--address", "10.0.0.7", "--guid", kKey}, 1);
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(List(), "");
  // A second start is refused; a chat line from the game reaches watch.
  Ctl({"start"}, 7);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--for", "20s"});
  game_.WriteScenario(std::string(kPlayers) + "chat Mike: hello from the game\n");
  EXPECT_TRUE(WaitForText(watched, "console: ", std::chrono::seconds(20))) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(watched), "Mike: hello from the game"));
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
}

using namespace std::chrono_literals;

TEST(ToolHelp, HelpAndVersionPrintOnStandardOutputAndExitZero) {
  std::string changelog = ReadFile(SourcePath("debian/changelog"));
  std::string version = changelog.substr(7, changelog.find(')') - 7);  // "korvd (X) ..."
  ASSERT_EQ(changelog.substr(0, 7), "korvd (");
  TempDir dir;
  const std::pair<std::string, std::string> tools[] = {
      {"gamesim", "Usage: gamesim "}, {"korvctl", "NAME\n    korvctl "}, {"korvweb", "Usage: korvweb "}};
  for (const auto& [tool, usage] : tools) {
    const std::string binary = BuildPath(tool);
    auto run = [&](const std::string& option, std::string* out) {
      return RunToEnd({"/bin/sh", "-c", "exec \"$0\" \"$1\" 2>/dev/null", binary, option},
                      dir.path(), out, 10s);
    };
    std::string help, shown;
    EXPECT_EQ(run("--help", &help), 0) << tool;
    EXPECT_EQ(help.substr(0, usage.size()), usage);
    EXPECT_TRUE(Has(help, "--version"));
    EXPECT_EQ(run("--version", &shown), 0) << tool;
    EXPECT_EQ(shown, tool + " " + version + "\n");
  }
}

}  // namespace
}  // namespace korvctltest
