// korvctl --fleet: the fleet file; two live daemons, a dead address and three silent ones in one run.
#include "korvctl/fleet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvctltest {
namespace {

using namespace korvtest;
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
  const std::pair<std::string, std::string> refusals[] = {
      {"alpha\n", "line 1 of the fleet file is not \"name address[:port]\""},
      {"#\nalpha 1.2.3.4 5.6.7.8\n", "line 2 of the fleet file is not \"name address[:port]\""},
      {"alpha 1.2.3.4:0\n", "line 1 of the fleet file: the port must be a number from 1 to 65535"},
      {"alpha 1.2.3.4:65536\n", "line 1 of the fleet file: the port must be a number from 1 to 65535"},
      {"alpha 1.2.3.4:x1\n", "line 1 of the fleet file: the port must be a number from 1 to 65535"},
      {"alpha :15000\n", "line 1 of the fleet file: the port must be a number from 1 to 65535"},
      {"alpha 1.2.3.4\nalpha 1.2.3.5\n", "line 2 of the fleet file repeats the name alpha"},
      {"# none\n\n", "the fleet file lists no daemon"},
  };
  for (const auto& [text, message] : refusals) {
    members.clear();
    EXPECT_FALSE(korvctl::ParseFleet(text, 14667, &members, &error)) << text;
    EXPECT_EQ(error, message);
  }
}

constexpr char kPlayers[] = "lively 0\nplayer 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n";

class KorvctlFleet : public ::testing::Test {
 protected:
  void SetUp() override {
    for (gamesimtest::DaemonRun* run : {&alpha_, &beta_}) {
      run->env = {"GAMESIM_VERBOSE=1"};
      ASSERT_TRUE(run->Start({"-exit", "-nodelay", "-start", "-messagelog"})) << ReadFile(run->Out());
      ASSERT_TRUE(run->Connected()) << run->Log();
    }
    // A port nothing listens on, and a listener that never answers.
    dead_port_ = FreePort();
    silent_ = BindLoopback(false, 0, &silent_port_);
    ASSERT_GE(silent_, 0);
    ::listen(silent_, 128);  // room for every run's connections, never accepted
    WriteFile(Fleet(), "# two live, one dead, one silent\nalpha 127.0.0.1:" + std::to_string(alpha_.port) +
                           "\nbeta 127.0.0.1:" + std::to_string(beta_.port) + "\n\ndead 127.0.0.1:" +
                           std::to_string(dead_port_) + "\n");
    for (const char* name : {"silent", "silent2", "silent3"})
      WriteFile(Fleet(), ReadFile(Fleet()) + name + " 127.0.0.1:" + std::to_string(silent_port_) + "\n");
  }
  void TearDown() override { ::close(silent_); }
  std::string Fleet() const { return alpha_.game.dir / "fleet"; }
  std::string Run(std::vector<std::string> words, int status = 1) {
    words.insert(words.begin(), {"--fleet", Fleet()});
    std::string output;
    // Three silent daemons cost 2 seconds at once; one after the other, or
    // without the timeout, korvctl would still run when it is ended here.
    EXPECT_EQ(RunToEnd(KorvctlArgv(alpha_.port, words, "2"), alpha_.dir(), &output,
                       std::chrono::seconds(5)), status) << output;
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

  gamesimtest::DaemonRun alpha_{kPlayers};
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
            "silent3  @silent_addr__@" + silent);

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
                line("silent3", "@silent_addr__@", timeout));

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
