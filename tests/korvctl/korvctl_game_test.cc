// korvctl against the real daemon and gamesim: the status line and player
// list, and kick and say reaching the game.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
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

class KorvctlGame : public ::testing::Test {
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

// Waits for the daemon's players, then kicks one and talks to the game.
TEST_F(KorvctlGame, KickAndSayReachTheGame) {
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
  // The daemon cannot tell an id the server does not know: the console
  // takes the kick, and the name is unknown.
  EXPECT_EQ(Ctl({"kick", "77", "nobody"}, &output), 0) << output;
  EXPECT_EQ(output, "player kicked: [unknown]\n");
  EXPECT_EQ(Ctl({"say", "hello-from-korvctl"}, &output), 0) << output;
  EXPECT_EQ(output, "chat message sent\n");
  EXPECT_TRUE(WaitForText(Out(), "hello-from-korvctl")) << ReadFile(Out());
  EXPECT_NE(ReadFile(Log()).find("User admin at 127.0.0.1:"), std::string::npos);
}

}  // namespace
}  // namespace korvctltest
