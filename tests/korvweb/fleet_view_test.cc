// The fleet page's card of a status line: words, health and alerts.
#include <gtest/gtest.h>

#include "korvweb/fleet_view.h"
#include "korvweb/options.h"
#include "support/process_harness.h"

namespace korvwebtest {
namespace {

struct CardCase {
  const char* line;
  const char* words;
  const char* health;
  std::vector<std::string> alerts;
};

TEST(FleetCard, WordsHealthAndAlertsOfTheStatusLine) {
  const std::string tail = ",0 / 0 / 0,0 / 0 / 1,Unlimited,150 / 99,Not installed,";
  const CardCase cases[] = {
      {"\"A, b\",127.0.0.1:14567,4 of 32,el_alamein GPM_CQ bf1942,??,??,Running,?,Connected,x,v,No,p,"
       "Disabled",
       "Running, 4 of 32 players, el_alamein", "healthy", {}},
      {"\"A\",127.0.0.1:14567,-- of 32,-,??,??,Running,Mon Dec  7 10:00:00 2026,Disconnected,??,??,??,??,??",
       "Running, -- of 32 players", "unhealthy: the game server's console is not connected",
       {"console link down", "crashed at Mon Dec  7 10:00:00 2026"}},
      {"\"A\",127.0.0.1:14567,-- of 32,wake GPM_CQ bf1942,??,??,Stopped,Mon Dec  7 10:00:00 2026,"
       "Disconnected,??,??,??,??,??",
       "Stopped", "unhealthy: the game server is not running",
       {"server down", "server down after a crash at Mon Dec  7 10:00:00 2026"}},
  };
  for (const CardCase& c : cases) {
    korvweb::FleetCard card = korvweb::CardFromStatus(c.line + tail);
    EXPECT_EQ(card.words, c.words) << c.line;
    EXPECT_EQ(card.health, c.health) << c.line;
    EXPECT_EQ(card.alerts, c.alerts) << c.line;
  }
}

// --fleet reads korvctl's fleet file; a bad one stops korvweb with its line.
TEST(FleetCard, FleetOptionReadsTheFleetFile) {
  korvtest::TempDir dir;
  korvtest::WriteFile(dir / "good", "alpha 10.0.0.1\nbeta 10.0.0.2:14668\n");
  korvtest::WriteFile(dir / "bad", "alpha\n");
  korvweb::Config config;
  std::string error;
  ASSERT_EQ(korvweb::ParseOptions({"--fleet", dir / "good"}, &config, &error), korvweb::Request::kServe);
  ASSERT_EQ(config.fleet.size(), 2u);
  EXPECT_EQ(config.fleet[0].host + ":" + std::to_string(config.fleet[0].port), "10.0.0.1:14667");
  EXPECT_EQ(config.fleet[1].port, 14668);
  EXPECT_EQ(korvweb::ParseOptions({"--fleet", dir / "bad"}, &config, &error), korvweb::Request::kError);
  EXPECT_EQ(error, "line 1 of the fleet file is not \"name address[:port]\"");
}

}  // namespace
}  // namespace korvwebtest
