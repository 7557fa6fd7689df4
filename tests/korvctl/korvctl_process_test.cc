// korvctl against the real daemon (and gamesim as its game server) over
// loopback: every login refusal, a settings round trip, queued commands
// seen by a second client, chat lines in watch, JSON output, exit statuses,
// the status line and player list, and kick and say reaching the game.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "korvctl/mini_json.h"
#include "support/gamesim_client.h"
#include "support/korvane_con.h"
#include "support/process_harness.h"

namespace korvctltest {
namespace {

using korvtest::BuildPath;
using korvtest::FreePort;
using korvtest::Process;
using korvtest::ReadFile;
using korvtest::RunToEnd;
using korvtest::WaitForText;
using korvtest::WriteFile;

constexpr char kAccounts[] =
    "admin,secret,,4294967295,1\n"
    "maps,pw,,64,1\n"  // M only, one login at a time
    "off,pw,,1,0\n"
    "zero,pw,,0,1\n";
constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob\n";

class KorvctlProcess : public ::testing::Test {
 protected:
  // Lays out gamesim as the game server and starts the daemon; with
  // `start_game` it launches the game too.
  void StartDaemon(bool start_game, const std::string& accounts = kAccounts) {
    gamesimtest::LayOut(&game_, kPlayers);
    std::filesystem::create_directories(game_.dir / "mods/bf1942/archives/bf1942/levels");
    WriteFile(game_.settings() + "/servermaplist.con", "game.addLevel berlin GPM_CQ bf1942\n");
    WriteFile(game_.settings() + "/useraccess.con", accounts);
    WriteFile(game_.settings() + "/korvane.con",
              korvtest::KorvaneCon({{"game.serverName", "\"Sim\""},
                                    {"game.serverIP", "127.0.0.1"},
                                    {"game.serverPort", std::to_string(game_.game_port)},
                                    {"game.gameSpyLANPort", std::to_string(game_.status_port)},
                                    {"manager.consolePort", std::to_string(game_.console_port)},
                                    {"manager.consoleUsername", "\"UserName\""},
                                    {"manager.consolePassword", "\"Sesamine\""}}));
    port_ = FreePort();
    std::vector<std::string> argv{"/usr/bin/env", "GAMESIM_VERBOSE=1", BuildPath("korvd"),
                                  "-path", game_.dir.path(), "-port", std::to_string(port_),
                                  "-exit", "-nodelay"};
    if (start_game) argv.push_back("-start");
    ASSERT_TRUE(daemon_.Start(argv, game_.dir.path(), Out()));
    ASSERT_TRUE(korvtest::WaitForPort(port_)) << ReadFile(Out());
    if (start_game) {
      ASSERT_TRUE(WaitForText(Out(), "gamesim: serving")) << ReadFile(Out());
    }
  }
  void TearDown() override {
    if (daemon_.running()) {
      daemon_.Signal(SIGTERM);
      daemon_.Wait(std::chrono::seconds(20));
    }
  }
  std::string Out() const { return game_.dir / "korvd-out.txt"; }
  std::string Log() const { return game_.dir / "korvd.log"; }
  std::vector<std::string> Argv(std::vector<std::string> words, const std::string& user = "admin",
                                const std::string& password = "secret") {
    std::vector<std::string> argv{BuildPath("korvctl"), "-p", std::to_string(port_), "-u", user,
                                  "--password", password, "-t", "10"};
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
  }
  int Ctl(std::vector<std::string> words, std::string* output, const std::string& user = "admin",
          const std::string& password = "secret") {
    return RunToEnd(Argv(words, user, password), game_.dir.path(), output);
  }
  // Starts `korvctl watch` in the background, logged in once it answers.
  void StartWatch(Process* watch, const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> words{"watch"};
    words.insert(words.end(), extra.begin(), extra.end());
    ASSERT_TRUE(watch->Start(Argv(words), game_.dir.path(), out));
    ASSERT_TRUE(WaitForText(out, "watching")) << ReadFile(out);
  }

  gamesimtest::GameDir game_;
  Process daemon_;
  int port_ = 0;
};

TEST_F(KorvctlProcess, EveryLoginRefusalHasItsExitStatus) {
  StartDaemon(false);
  std::string output;
  EXPECT_EQ(Ctl({"whoami"}, &output), 0) << output;
  EXPECT_NE(output.find("-- admin --"), std::string::npos) << output;
  EXPECT_EQ(Ctl({"whoami"}, &output, "nobody", "pw"), 11);
  EXPECT_NE(output.find("The specified username is invalid"), std::string::npos);
  EXPECT_EQ(Ctl({"whoami"}, &output, "admin", "Wr0ngPw"), 12);
  EXPECT_EQ(output.find("Wr0ngPw"), std::string::npos);  // the password is never printed
  EXPECT_EQ(Ctl({"whoami"}, &output, "off", "pw"), 13);
  EXPECT_EQ(Ctl({"whoami"}, &output, "zero", "pw"), 14);
  // An account without the multi-login right that is already connected.
  Process watch;
  ASSERT_TRUE(watch.Start(Argv({"watch"}, "maps", "pw"), game_.dir.path(), game_.dir / "w.txt"));
  ASSERT_TRUE(WaitForText(game_.dir / "w.txt", "watching"));
  EXPECT_EQ(Ctl({"whoami"}, &output, "maps", "pw"), 16) << output;
  EXPECT_NE(output.find("already connected"), std::string::npos);
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  // Sixteen sessions fill the daemon; the seventeenth login is turned away.
  std::vector<std::unique_ptr<Process>> sessions;
  for (int i = 0; i < 16; ++i) {
    sessions.push_back(std::make_unique<Process>());
    std::string out = game_.dir / std::string("s").append(std::to_string(i)).append(".txt");
    ASSERT_TRUE(sessions.back()->Start(Argv({"watch"}), game_.dir.path(), out));
    ASSERT_TRUE(WaitForText(out, "watching")) << ReadFile(out);
  }
  EXPECT_EQ(Ctl({"ping"}, &output), 17) << output;
  EXPECT_NE(output.find("maximum of 16 clients"), std::string::npos) << output;
  sessions.clear();
  // The daemon frees the slots as it sees the connections close.
  for (int i = 0; i < 40 && Ctl({"ping"}, &output) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The daemon does not answer a refused command; korvctl refuses it first.
  EXPECT_EQ(Ctl({"kick", "4", "x"}, &output, "maps", "pw"), 6);
  EXPECT_NE(output.find("lacks the P (players) letter"), std::string::npos);
  EXPECT_EQ(Ctl({"get", "bans"}, &output, "maps", "pw"), 6);
  EXPECT_EQ(Ctl({"get", "maps", "-o", "-"}, &output, "maps", "pw"), 0) << output;
  EXPECT_EQ(Ctl({"ping"}, &output), 0) << output;
  // No daemon on the port at all.
  EXPECT_EQ(RunToEnd({BuildPath("korvctl"), "-p", std::to_string(FreePort()), "-u", "a",
                      "--password", "b", "ping"}, "/tmp", &output), 3);
}

TEST_F(KorvctlProcess, NoUsableAccountMeansNoRemoteAccess) {
  StartDaemon(false, "");
  std::string output;
  EXPECT_EQ(Ctl({"ping"}, &output), 15) << output;
  EXPECT_NE(output.find("No user accounts exist"), std::string::npos) << output;
}

TEST_F(KorvctlProcess, SettingsRoundTripChangesOneSetting) {
  StartDaemon(false);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--count", "1"});
  std::string file = game_.dir / "mine.con";
  std::string output;
  ASSERT_EQ(Ctl({"get", "settings", "-o", file}, &output), 0) << output;
  std::string settings = ReadFile(file);
  std::size_t at = settings.find("game.serverName \"Sim\"\n");
  ASSERT_NE(at, std::string::npos) << settings;
  settings.replace(at, 22, "game.serverName \"Renamed by korvctl\"\n");
  WriteFile(file, settings);
  ASSERT_EQ(Ctl({"put", "settings", "-i", file}, &output), 0) << output;
  EXPECT_NE(ReadFile(game_.settings() + "/korvane.con").find("game.serverName \"Renamed by korvctl\"\n"),
            std::string::npos);
  ASSERT_EQ(Ctl({"get", "settings", "-o", "-"}, &output), 0);
  EXPECT_NE(output.find("game.serverName \"Renamed by korvctl\"\n"), std::string::npos);
  // The other client hears of it.
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(ReadFile(watched).find("settings changed\n"), std::string::npos) << ReadFile(watched);
}

TEST_F(KorvctlProcess, QueuedCommandsReportTheirNotifications) {
  StartDaemon(false);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--json", "--count", "2"});
  std::string output;
  EXPECT_EQ(Ctl({"idle-map", "wake"}, &output), 0) << output;
  EXPECT_EQ(output, "idle map set: wake\n");
  EXPECT_NE(ReadFile(game_.settings() + "/servermaplist.con").find("game.setIdleLevel wake"),
            std::string::npos);
  EXPECT_EQ(Ctl({"--json", "ban-name", "Cheater"}, &output), 0) << output;
  std::optional<Json> json = ParseJson(output);
  ASSERT_TRUE(json) << output;
  EXPECT_TRUE((*json)["ok"].boolean);
  EXPECT_EQ((*json)["event"]["event"].text, "name_banned");
  EXPECT_EQ((*json)["event"]["data"].text, "Cheater");
  EXPECT_NE(ReadFile(game_.settings() + "/bannedwords.con").find("$Cheater\n"), std::string::npos);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  std::vector<std::optional<Json>> lines = JsonLines(ReadFile(watched));
  ASSERT_EQ(lines.size(), 2u) << ReadFile(watched);
  const std::optional<Json>& first = lines[0];
  ASSERT_TRUE(first) << ReadFile(watched);
  EXPECT_EQ((*first)["event"].text, "idle_map_set");
  EXPECT_EQ((*first)["data"].text, "wake");
  // The user list as the admin sees it, and a stop of a stopped server.
  EXPECT_EQ(Ctl({"stop"}, &output), 7);
  EXPECT_NE(output.find("already stopped"), std::string::npos) << output;
  EXPECT_EQ(Ctl({"--json", "clients"}, &output), 0) << output;
  json = ParseJson(output);
  ASSERT_TRUE(json) << output;
  ASSERT_EQ((*json)["clients"].items.size(), 1u);
  EXPECT_EQ((*json)["clients"].items[0]["user"].text, "admin");
}

TEST_F(KorvctlProcess, WatchShowsAChatLineFromTheGame) {
  StartDaemon(true);
  ASSERT_TRUE(WaitForText(Log(), " : Connected\r\n", std::chrono::seconds(20))) << ReadFile(Log());
  std::string output;
  EXPECT_EQ(Ctl({"start"}, &output), 7) << output;
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--for", "20s"});
  game_.WriteScenario(std::string(kPlayers) + "chat Mike: hello from the game\n");
  EXPECT_TRUE(WaitForText(watched, "console: ", std::chrono::seconds(20))) << ReadFile(watched);
  EXPECT_NE(ReadFile(watched).find("Mike: hello from the game"), std::string::npos)
      << ReadFile(watched);
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
}


// Waits for the daemon's players, then kicks one and talks to the game.
TEST_F(KorvctlProcess, KickAndSayReachTheGame) {
  StartDaemon(true);
  ASSERT_TRUE(WaitForText(Log(), " : Connected\r\n", std::chrono::seconds(20))) << ReadFile(Log());
  std::string output;
  ASSERT_EQ(Ctl({"--json", "status"}, &output), 0) << output;
  std::optional<Json> json = ParseJson(output);
  ASSERT_TRUE(json) << output;
  EXPECT_EQ((*json)["status"]["server"].text, "Running");
  EXPECT_EQ((*json)["status"]["console"].text, "Connected");
  EXPECT_EQ((*json)["status"]["server_name"].text, "Sim");

  ASSERT_EQ(Ctl({"players"}, &output), 0) << output;
  EXPECT_NE(output.find("Bob"), std::string::npos) << output;
  EXPECT_NE(output.find("10.0.0.6"), std::string::npos) << output;
  EXPECT_EQ(Ctl({"kick", "4", "testing korvctl"}, &output), 0) << output;
  EXPECT_EQ(output, "player kicked: Bob\n");
  EXPECT_TRUE(WaitForText(Out(), "Bob was kicked")) << ReadFile(Out());
  // An id the server does not know: the game says so and the kick fails.
  EXPECT_EQ(Ctl({"kick", "77", "nobody"}, &output), 1) << output;
  EXPECT_NE(output.find("command failed"), std::string::npos) << output;
  EXPECT_EQ(Ctl({"say", "hello-from-korvctl"}, &output), 0) << output;
  EXPECT_EQ(output, "chat message sent\n");
  EXPECT_TRUE(WaitForText(Out(), "hello-from-korvctl")) << ReadFile(Out());
  EXPECT_NE(ReadFile(Log()).find("User admin at 127.0.0.1:"), std::string::npos);
}

}  // namespace
}  // namespace korvctltest
