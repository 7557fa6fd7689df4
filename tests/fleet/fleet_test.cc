// The fleet link without a database: the ban road's listener and its
// queue, and a database that never answers.
#include "fleet/fleet.h"

#include <sys/select.h>

#include "core/clock.h"
#include "core/unique_fd.h"
#include "fleet/fleet_files.h"
#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;

namespace {

class FleetLinkTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
    g_manager.core.conf.fleet_server = "alpha";
  }
};

}  // namespace

namespace {

// The ban road's listener: this server's events queue up to the limit and
// survive a restart; what came from the fleet is never sent again.
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
  EXPECT_TRUE(Has(Log(), "WARNING: Fleet: the queue holds 2 events already! The unban of player "
                         "Eve stays on this server only."));
  ASSERT_TRUE(SaveLastApplied(9));
  g_manager.fleet = FleetState{};
  StartFleet();
  EXPECT_EQ(Fleet().outbox.size(), 2u);
  EXPECT_TRUE(Has(Log(), "Fleet: sharing bans as server alpha; 2 event(s) queued, last event "
                         "applied 9."));
}

}  // namespace

namespace {

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

// A database that takes the connection and never answers is given up after
// 30 seconds, logged once however often it happens, and tried again after
// a wait that doubles.
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
