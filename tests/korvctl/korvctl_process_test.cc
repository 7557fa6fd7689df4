// korvctl against the real daemon (and gamesim as its game server) over
// loopback: a settings round trip, queued commands seen by a second client,
// and chat lines in watch. The refusals and their exit statuses are shown
// against a scripted daemon; kick and say against the real game elsewhere.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <algorithm>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvctltest {
namespace {

using korvtest::BuildPath;
using korvtest::FreePort;
using korvtest::Has;
using korvtest::Process;
using korvtest::ReadFile;
using korvtest::RunToEnd;
using korvtest::WaitForText;
using korvtest::WriteFile;

constexpr char kAccounts[] = "admin,secret,,4294967295,1\n";
constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob\n";

class KorvctlProcess : public ::testing::Test {
 protected:
  // Lays out gamesim as the game server and starts the daemon; with
  // `start_game` it launches the game too.
  void StartDaemon(bool start_game, const std::string& accounts = kAccounts) {
    gamesimtest::LayOutForDaemon(&game_, kPlayers);
    WriteFile(game_.settings() + "/useraccess.con", accounts);
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
  EXPECT_TRUE(
      Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Renamed by korvctl\"\n"));
  ASSERT_EQ(Ctl({"get", "settings", "-o", "-"}, &output), 0);
  EXPECT_TRUE(Has(output, "game.serverName \"Renamed by korvctl\"\n"));
  // The other client hears of it.
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(Has(ReadFile(watched), "settings changed\n"));
}

TEST_F(KorvctlProcess, QueuedCommandsReportTheirNotifications) {
  StartDaemon(false);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--json", "--count", "2"});
  std::string output;
  EXPECT_EQ(Ctl({"idle-map", "wake"}, &output), 0) << output;
  EXPECT_EQ(output, "idle map set: wake\n");
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/servermaplist.con"), "game.setIdleLevel wake"));
  EXPECT_EQ(Ctl({"--json", "ban-name", "Cheater"}, &output), 0) << output;
  EXPECT_EQ(output.rfind("{\"ok\":true,", 0), 0u) << output;
  EXPECT_TRUE(Has(output, "\"event\":\"name_banned\""));
  EXPECT_TRUE(Has(output, "\"data\":\"Cheater\"}"));
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/bannedwords.con"), "$Cheater\n"));
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
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
  EXPECT_TRUE(Has(ReadFile(watched), "Mike: hello from the game"));
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(std::chrono::seconds(10)), 0);
}


}  // namespace
}  // namespace korvctltest
