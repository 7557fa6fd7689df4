// korvctl against the real daemon and gamesim: settings, queued commands, watch, both ban roads;
// --fleet with live, dead and silent daemons; the tools' --help and --version.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "korvctl/fleet.h"
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
  std::pair<std::string, std::string> Stores() { return {List(), Game()}; }
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
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Renamed by korvctl\"\n"));
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
  EXPECT_TRUE(Has(output, "\"user\":\"admin\"") && Count(output, "\"user\":") == 1) << output;
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
  EXPECT_TRUE(Has(out, "Eve") && Has(out, "aim bot")) << out;
  out = Ctl({"--json", "bans"});
  EXPECT_TRUE(Has(out, "\"expiry\":\"" + std::to_string(banned + 3600) + "\"") &&
              Has(out, "\"banned_by\":\"admin\"")) << out;

  // The game's list holds a key the daemon's does not.
  Ctl({"verify-bans"}, 1);
  Ctl({"pull-bans"});
  EXPECT_EQ(List(), "\"[unknown]\",*,99999999999999999999999999999999,*,\"operator\",0,0,unknown reason\n"
                    "\"[unknown]\",10.1.1.1,*,*,\"operator\",0,0,unknown reason\n"
                    "\"[unknown]\",*," + std::string(kKey) + ",*,\"operator\",0,0,unknown reason\n");
  Ctl({"verify-bans"});

  // An uploaded list, pushed to the game's file and downloaded again.
  const std::string mine = game_.dir / "mine.con";
  WriteFile(mine, "\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n\"Bob\",*," + std::string(kKey) +
                      ",*,\"admin\",6,0,spam\n");
  Ctl({"put", "bans", "-i", mine});
  Ctl({"push-bans"});
  EXPECT_EQ(Stores(), std::pair(ReadFile(mine), "admin.addAddressToBanList 10.1.1.1:0 Perm\nadmin.addKeyToBanList " +
                                                    std::string(kKey) + " Perm\n"));
  Ctl({"unban", "--keyhash", kKey});
  EXPECT_EQ(Stores(), std::pair(std::string("\"Eve\",10.1.1.1,*,*,\"admin\",5,0,aim bot\n"),
                                std::string("admin.addAddressToBanList 10.1.1.1:0 Perm\n")));
  Ctl({"clear-bans"});
  EXPECT_EQ(List() + Game(), "");
  EXPECT_EQ(Ctl({"bans"}), "no bans\n");
}

TEST_F(KorvctlProcess, BansOnTheConsoleRoadAndChatInWatch) {
  StartDaemon(true);
  Ctl({"clear-bans"});
  EXPECT_EQ(Game(), "");
  EXPECT_EQ(Ctl({"ban", "3", "--name", "Mike", "--address", "10.0.0.5", "camping"}), "player banned: Mike\n");
  EXPECT_EQ(Game(), "admin.addAddressToBanList 10.0.0.5:0 Perm\n");
  EXPECT_TRUE(Has(List(), "\"Mike\",10.0.0.5,*,*,\"admin\","));
  Ctl({"verify-bans"});
  // The running game keeps its own list: a copy into its file is refused.
  EXPECT_TRUE(Has(Ctl({"push-bans"}, 1), "command failed"));
  Ctl({"unban", "--name", "Mike", "--address", "10.0.0.5"});
  EXPECT_EQ(List() + Game(), "");
  EXPECT_TRUE(Has(ReadFile(game_.dir / "message.log"), "admin.removeAddressFromBanList 10.0.0.5"));
  // Without PunkBuster the unban fails, yet the dropped address leaves the daemon's list.
  Ctl({"ban", "--address", "10.0.0.7", "spam"});
  EXPECT_TRUE(Has(List(), "\"[unknown]\",10.0.0.7,*,*,\"admin\","));
  Ctl({"unban", "--address", "10.0.0.7", "--guid", kKey}, 1);
  EXPECT_EQ(List() + Game(), "");
  // A second start is refused; a chat line from the game reaches watch.
  Ctl({"start"}, 7);
  Process watch;
  std::string watched = game_.dir / "watch.txt";
  StartWatch(&watch, watched, {"--for", "20s"});
  game_.WriteScenario(std::string(kPlayers) + "chat Mike: hello from the game\n");
  EXPECT_TRUE(WaitForText(watched, "console: ", std::chrono::seconds(20)) &&
              Has(ReadFile(watched), "Mike: hello from the game")) << ReadFile(watched);
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
    EXPECT_EQ(std::pair(run("--help", &help), run("--version", &shown)), std::pair(0, 0)) << tool;
    EXPECT_TRUE(help.starts_with(usage) && Has(help, "--version")) << help;
    EXPECT_EQ(shown, tool + " " + version + "\n");
  }
}

using korvctl::FleetMember;

std::string Listed(const std::vector<FleetMember>& members) {
  std::string text;
  for (const FleetMember& m : members) text += m.name + "=" + m.host + ":" + std::to_string(m.port) + ";";
  return text;
}

TEST(KorvctlFleetFile, LinesDefaultsAndRefusals) {
  std::vector<FleetMember> members;
  std::string error;
  ASSERT_TRUE(korvctl::ParseFleet("# fleet\n\nalpha 10.0.0.1\n  beta\tgame.example:15000  # eu\r\n"
                                  "gamma 127.0.0.1:1",
                                  14667, &members, &error)) << error;
  EXPECT_EQ(Listed(members), "alpha=10.0.0.1:14667;beta=game.example:15000;gamma=127.0.0.1:1;");
  const std::string kPortRange = "line 1 of the fleet file: the port must be a number from 1 to 65535";
  const std::pair<std::string, std::string> refusals[] = {
      {"alpha\n", "line 1 of the fleet file is not \"name address[:port]\""},
      {"#\nalpha 1.2.3.4 5.6.7.8\n", "line 2 of the fleet file is not \"name address[:port]\""},
      {"alpha 1.2.3.4:0\n", kPortRange}, {"alpha 1.2.3.4:65536\n", kPortRange},
      {"alpha 1.2.3.4:x1\n", kPortRange}, {"alpha :15000\n", kPortRange},
      {"alpha 1.2.3.4\nalpha 1.2.3.5\n", "line 2 of the fleet file repeats the name alpha"},
      {"# none\n\n", "the fleet file lists no daemon"},
  };
  for (const auto& [text, message] : refusals) {
    members.clear();
    EXPECT_FALSE(korvctl::ParseFleet(text, 14667, &members, &error)) << text;
    EXPECT_EQ(error, message);
  }
}

constexpr char kFleetPlayers[] = "lively 0\nplayer 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n";

class KorvctlFleet : public ::testing::Test {
 protected:
  void SetUp() override {
    for (gamesimtest::DaemonRun* run : {&alpha_, &beta_}) {
      run->env = {"GAMESIM_VERBOSE=1"};
      ASSERT_TRUE(run->Start({"-exit", "-nodelay", "-start", "-messagelog"})) << ReadFile(run->Out());
    }
    for (gamesimtest::DaemonRun* run : {&alpha_, &beta_}) ASSERT_TRUE(run->Connected()) << run->Log();
    // A port nothing listens on, and a listener that never answers.
    dead_port_ = FreePort();
    silent_ = BindLoopback(false, 0, &silent_port_);
    ASSERT_GE(silent_, 0);
    ::listen(silent_, 128);  // room for every run's connections, never accepted
    WriteFile(Fleet(), "# two live, one dead, four that never answer\nalpha 127.0.0.1:" + std::to_string(alpha_.port) +
                           "\nbeta 127.0.0.1:" + std::to_string(beta_.port) + "\n\ndead 127.0.0.1:" +
                           std::to_string(dead_port_) + "\n");
    for (const char* name : {"silent", "silent2", "silent3", "silent4"})
      WriteFile(Fleet(), ReadFile(Fleet()) + name + " 127.0.0.1:" + std::to_string(silent_port_) + "\n");
  }
  void TearDown() override { ::close(silent_); }
  std::string Fleet() const { return alpha_.game.dir / "fleet"; }
  std::string Run(std::vector<std::string> words, int status = 1) {
    words.insert(words.begin(), {"--fleet", Fleet()});
    std::string output;
    // Four silent daemons cost 1 second at once; one after the other, korvctl would still run
    // when it is ended here.
    EXPECT_EQ(RunToEnd(KorvctlArgv(alpha_.port, words, "1"), alpha_.dir(), &output,
                       std::chrono::milliseconds(3000)), status) << output;
    return output;
  }
  std::string At(int port) const { return "127.0.0.1:" + std::to_string(port); }
  // The output with each address as a name of the same width (loopback
  // ports all have five digits), so that tables compare whole.
  std::string Normal(std::string text) const {
    const std::pair<int, const char*> names[] = {{alpha_.port, "@alpha_address@"},
                                                 {beta_.port, "@beta_address_@"},
                                                 {dead_port_, "@dead_address_@"},
                                                 {silent_port_, "@silent_addr__@"}};
    for (const auto& [port, name] : names)
      for (std::size_t at; (at = text.find(At(port))) != std::string::npos;)
        text.replace(at, At(port).size(), name);
    return text;
  }

  gamesimtest::DaemonRun alpha_{kFleetPlayers};
  gamesimtest::DaemonRun beta_{""};
  int dead_port_ = 0;
  int silent_port_ = 0;
  int silent_ = -1;
};

TEST_F(KorvctlFleet, OneTableOrJsonPerDaemonAndTheFailuresDoNotHoldTheRest) {
  const std::string pad(66, ' ');
  const std::string silent = pad + "no answer from the daemon within the timeout\n";
  EXPECT_EQ(Normal(Run({"status"})),
            "Name     Address          Server name  Players  Current map           State    Console    Outcome\n"
            "alpha    @alpha_address@  Sim          1 of 32  berlin GPM_CQ bf1942  Running  Connected  ok\n"
            "beta     @beta_address_@  Sim          0 of 32  berlin GPM_CQ bf1942  Running  Connected  ok\n"
            "dead     @dead_address_@" + pad + "cannot connect to @dead_address_@: Connection refused\n"
            "silent   @silent_addr__@" + silent + "silent2  @silent_addr__@" + silent +
            "silent3  @silent_addr__@" + silent + "silent4  @silent_addr__@" + silent);

  auto line = [](const std::string& name, const std::string& address, const std::string& rest) {
    return "{\"server\":\"" + name + "\",\"address\":\"" + address +
           "\",\"command\":\"players\",\"ok\":" + rest + "}\n";
  };
  const std::string timeout = "false,\"exit\":4,\"error\":\"no answer from the daemon within the timeout\"";
  EXPECT_EQ(Normal(Run({"--json", "players"})),
            line("alpha", "@alpha_address@",
                 "true,\"exit\":0,\"players\":[{\"name\":\"Mike\",\"id\":\"3\",\"team\":\"axis\","
                 "\"score\":\"10\",\"kills\":\"5\",\"deaths\":\"2\",\"ping\":\"80\",\"address\":"
                 "\"10.0.0.5\",\"keyhash\":\"[unknown]\",\"guid\":\"[unknown]\"}]") +
                line("beta", "@beta_address_@", "true,\"exit\":0,\"players\":[]") +
                line("dead", "@dead_address_@",
                     "false,\"exit\":3,\"error\":\"cannot connect to @dead_address_@: Connection refused\"") +
                line("silent", "@silent_addr__@", timeout) + line("silent2", "@silent_addr__@", timeout) +
                line("silent3", "@silent_addr__@", timeout) + line("silent4", "@silent_addr__@", timeout));
  // Without the silent daemons from here on.
  WriteFile(Fleet(), ReadFile(Fleet()).substr(0, ReadFile(Fleet()).find("silent ")));

  // Players in the table: a count a daemon, then a row per player.
  std::string players = Normal(Run({"players"}));
  EXPECT_EQ(players.substr(players.find("\n\n")),
            "\n\nServer  Name  Id  Team  Score  Kills  Deaths  Ping\n"
            "alpha   Mike  3   axis  10     5      2       80\n");

  Run({"say", "hello", "fleet"});
  for (gamesimtest::DaemonRun* run : {&alpha_, &beta_})
    EXPECT_TRUE(WaitForText(run->Out(), "hello fleet"));

  // Without the silent and dead daemons every row is ok and the exit is 0.
  WriteFile(Fleet(), "alpha 127.0.0.1:" + std::to_string(alpha_.port) + "\n");
  EXPECT_EQ(Normal(Run({"health"}, 0)),
            "Name   Address          Health   Players  Outcome\n"
            "alpha  @alpha_address@  healthy  1 of 32  ok\n");
  EXPECT_TRUE(Has(Run({"kick", "3", "x"}, 2), "--fleet runs status, health, players"));
  EXPECT_TRUE(Has(Run({"say"}, 2), "say needs the text"));
}

}  // namespace
}  // namespace korvctltest
