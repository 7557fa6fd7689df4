// The fleet link without a database: the queue lines and files, the ban
// road's listener and its queue, and a database that never answers.
#include "fleet/fleet.h"

#include <sys/select.h>

#include "core/clock.h"
#include "core/unique_fd.h"
#include "fleet/fleet_files.h"
#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

namespace {

class FleetLinkTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    g_manager.core.conf.fleet_server = "alpha";
  }
};

FleetEvent Sample(bool unban) {
  FleetEvent e{.id = 0, .key = "00c0ffee00c0ffee", .at = 1796670980, .ban = {}};
  e.ban = BanEvent{.unban = unban, .name = "Eve\tthe\nbold", .address = "10.0.0.1",
                   .keyhash = "*", .guid = "*", .admin = "sam", .ban_time = 1796670980,
                   .expiry = 1796674580, .reason = "team killing, twice\r", .origin = "alpha"};
  return e;
}

TEST_F(FleetLinkTest, LinesKeepEveryFieldAndBreaksInTextsBecomeBlanks) {
  const std::string line = FormatFleetLine(Sample(false));
  EXPECT_EQ(line, "ban\t00c0ffee00c0ffee\t1796670980\talpha\tEve the bold\t10.0.0.1\t*\t*\tsam\t"
                  "1796670980\t1796674580\tteam killing, twice \n");
  std::optional<FleetEvent> read = ParseFleetLine(line);
  ASSERT_TRUE(read);
  EXPECT_EQ(FormatFleetLine(*read), line);  // the blanks read back as blanks
  EXPECT_TRUE(ParseFleetLine(FormatFleetLine(Sample(true)))->ban.unban);
}

TEST_F(FleetLinkTest, HostileLinesAreRefused) {
  const std::string good = FormatFleetLine(Sample(false));
  for (const std::string& line : std::vector<std::string>{
           "", "kick" + good.substr(3), good.substr(0, good.rfind('\t')) + "\n",
        good.substr(0, good.size() - 1) + "\textra\n", "ban\t\t1\ta\tn\t*\t*\t*\ts\t1\t0\tr\n",
        "ban\tk\t-1\ta\tn\t*\t*\t*\ts\t1\t0\tr\n", "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1x\t0\tr\n",
        "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1\t99999999999999999999\tr\n",
        "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1\t0\t" + std::string(4096, 'r') + "\n"})
    EXPECT_FALSE(ParseFleetLine(line)) << line;
}

TEST_F(FleetLinkTest, QueueSurvivesARestartAndABadLineIsLoggedNotSent) {
  std::deque<FleetEvent> events{Sample(false), Sample(true)};
  ASSERT_TRUE(SaveFleetQueue(events));
  const std::string text = ReadFile(dir_ / "fleetqueue.con");
  WriteFile(dir_ / "fleetqueue.con", "garbage\n" + text);
  std::deque<FleetEvent> read;
  ASSERT_TRUE(LoadFleetQueue(&read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(FormatFleetLine(read[0]) + FormatFleetLine(read[1]), text);
  EXPECT_TRUE(Has(Log(), "WARNING: fleetqueue.con: line 1 cannot be read; that event is not sent."));
  ASSERT_TRUE(SaveFleetQueue({}) && LoadFleetQueue(&read));
  EXPECT_TRUE(read.empty());
}

TEST_F(FleetLinkTest, LastAppliedIdIsKeptAndAnUnreadableOneIsWarnedAbout) {
  EXPECT_EQ((std::pair{LoadLastApplied(), Log()}), std::pair(std::int64_t{0}, std::string()));
  ASSERT_TRUE(SaveLastApplied(4711));
  EXPECT_EQ(ReadFile(dir_ / "fleetapplied.con"), "4711\n");
  EXPECT_EQ(LoadLastApplied(), 4711);
  WriteFile(dir_ / "fleetapplied.con", "47x\n");
  EXPECT_EQ(LoadLastApplied(), 0);
  EXPECT_TRUE(Has(Log(), "fleetapplied.con holds no event id; every ban event of the fleet is applied again."));
}

TEST_F(FleetLinkTest, OwnEventsQueueUpToTheLimitAndReceivedOnesAreNotSentAgain) {
  KorvdConf& conf = g_manager.core.conf;
  conf.fleet_database = "hostaddr=127.0.0.1 port=1";
  conf.fleet_queue_limit = 2;
  StartFleet();
  BanEvent ban{.unban = false, .name = "Eve", .address = "*", .keyhash = "k", .guid = "*",
               .admin = "sam", .ban_time = 5, .expiry = 0, .reason = "aimbot", .origin = ""};
  QueueFleetEvent(ban);
  ban.origin = "bravo";
  QueueFleetEvent(ban);
  ban.origin = "";
  ban.unban = true;
  QueueFleetEvent(ban);
  QueueFleetEvent(ban);
  std::string queue = ReadFile(dir_ / "fleetqueue.con");
  EXPECT_EQ(korvtest::Count(queue, "\talpha\tEve\t*\tk\t*\tsam\t5\t0\taimbot\n"), 2) << queue;
  EXPECT_EQ(queue.substr(0, 4) + queue.substr(queue.find('\n') + 1, 6), "ban\tunban\t");
  EXPECT_TRUE(Has(Log(), "WARNING: Fleet: the queue holds 2 events already! The unban of player Eve stays on "
                         "this server only."));
  ASSERT_TRUE(SaveLastApplied(9));
  g_manager.fleet = FleetState{};
  StartFleet();
  EXPECT_EQ(Fleet().outbox.size(), 2u);
  EXPECT_TRUE(Has(Log(), "Fleet: sharing bans as server alpha; 2 event(s) queued, last event applied 9."));
}

std::int64_t g_test_ms = 1800000000000;
std::int64_t TestMs() { return g_test_ms; }

// One pass of the main loop over the link alone.
void FleetPass() {
  fd_set read, write;
  FD_ZERO(&read);
  FD_ZERO(&write);
  long wait_ms = 50;
  WatchFleet(&read, &write, &wait_ms);
  timeval timeout{0, wait_ms * 1000};
  ::select(FD_SETSIZE, &read, &write, nullptr, &timeout);
  ServeFleet(ClockNow(), &read, &write);
}

// Given up after 30 seconds, logged once however often, retried after a wait that doubles.
TEST_F(FleetLinkTest, SilentDatabaseIsGivenUpLoggedOnceAndRetriedWithBackoff) {
  int port = 0;
  UniqueFd listener(korvtest::BindLoopback(false, 0, &port));  // never accepts
  SetClockForTests(TestMs);
  g_manager.core.conf.fleet_database = "hostaddr=127.0.0.1 port=" + std::to_string(port) +
                                       " sslmode=disable gssencmode=disable";
  StartFleet();
  auto connecting_until = [](int wait_ms) {
    for (int i = 0; i < 40 && !Fleet().want_read; ++i) FleetPass();
    EXPECT_TRUE(Fleet().want_read);
    g_test_ms += wait_ms - 1;
    FleetPass();
    EXPECT_EQ(Fleet().phase, FleetPhase::kConnecting);
    g_test_ms += 1;
    FleetPass();
    EXPECT_EQ(Fleet().phase, FleetPhase::kDown);
  };
  connecting_until(30000);
  const std::string down = "Fleet: Couldn't reach the database! The database did not answer "
                           "within 30 seconds. Bans made here wait in fleetqueue.con until it "
                           "is back.";
  EXPECT_TRUE(Has(Log(), down));
  g_test_ms += 999;
  FleetPass();
  EXPECT_EQ(Fleet().phase, FleetPhase::kDown);
  g_test_ms += 1;
  connecting_until(30000);
  long wait_ms = 5000;
  fd_set read, write;
  WatchFleet(&read, &write, &wait_ms);
  EXPECT_EQ(wait_ms, 2000);
  EXPECT_EQ(korvtest::Count(Log(), "Fleet: "), 2);  // the start and the first failure
}

}  // namespace
