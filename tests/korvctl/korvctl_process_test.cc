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
using korvtest::Has;
using korvtest::Process;
using korvtest::ReadFile;
using korvtest::RunToEnd;
using korvtest::WaitForText;
using korvtest::WriteFile;

constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob\n";

class KorvctlProcess : public ::testing::Test {
 protected:
  // Starts the daemon; with `start_game` it launches the game too.
  void StartDaemon(bool start_game) {
    run_.env = {"GAMESIM_VERBOSE=1"};
    std::vector<std::string> options{"-exit", "-nodelay"};
    if (start_game) options.push_back("-start");
    ASSERT_TRUE(run_.Start(options)) << ReadFile(run_.Out());
  }
  int Ctl(std::vector<std::string> words, std::string* output) { return run_.Ctl(words, output); }
  // Starts `korvctl watch` in the background, logged in once it answers.
  void StartWatch(Process* watch, const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> argv{BuildPath("korvctl"), "-p", std::to_string(run_.port), "-u",
                                  "admin", "--password", "secret", "-t", "10", "watch"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(watch->Start(argv, run_.dir(), out));
    ASSERT_TRUE(WaitForText(out, "watching")) << ReadFile(out);
  }

  gamesimtest::DaemonRun run_{kPlayers};
  gamesimtest::GameDir& game_ = run_.game;
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
  ASSERT_TRUE(run_.Connected()) << run_.Log();
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
