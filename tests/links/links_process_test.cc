// The links against gamesim over the real console and status port.
#include <gtest/gtest.h>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvtest {
namespace {

// The game does not escape backslashes in names: the console still connects, all figures read.
TEST(LinksProcess, BackslashesInServerAndPlayerNamesShiftNoKey) {
  gamesimtest::DaemonRun run(
      "lively 0\n"
      "hostname My\\Server\n"
      "player 3 1 30 7 0 70 10.0.0.7:23000 - - Evil\\x\n"
      "player 1 1 10 5 2 80 10.0.0.5:23000 - - Anna\n"
      "player 2 2 20 6 1 90 10.0.0.6:23000 - - Mike\n");
  ASSERT_TRUE(run.Start({"-start", "-debug"})) << ReadFile(run.Out());
  ASSERT_TRUE(run.Connected()) << run.Log();
  std::string players;
  ASSERT_EQ(run.Ctl({"get", "players", "-o", "-"}, &players), 0) << players;
  EXPECT_EQ(players,
            "\"Evil\\x\",3,axis,30,7,0,70,10.0.0.7,[unknown],[unknown]\n"
            "\"Anna\",1,axis,10,5,2,80,10.0.0.5,[unknown],[unknown]\n"
            "\"Mike\",2,allied,20,6,1,90,10.0.0.6,[unknown],[unknown]\n");
  std::string log = run.Log();
  EXPECT_FALSE(Has(log, "Couldn't")) << log;
  EXPECT_FALSE(Has(log, "more than once")) << log;
}

}  // namespace
}  // namespace korvtest
