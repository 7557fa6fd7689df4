// The fleet's queue lines and files: round trip, hostile lines, the
// last applied id.
#include "fleet/fleet_files.h"

#include "links/link_fixture.h"

using korvtest::Has;
using korvtest::ReadFile;
using korvtest::WriteFile;

namespace {

class FleetFilesTest : public korvtest::LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_manager.core.settings_dir = dir_.path();
  }
};

FleetEvent Sample(bool unban) {
  FleetEvent e{.id = 0, .key = "00c0ffee00c0ffee", .at = 1796670980, .ban = {}};
  e.ban = BanEvent{.unban = unban, .name = "Eve\tthe\nbold", .address = "10.0.0.1",
                   .keyhash = "*", .guid = "*", .admin = "sam", .ban_time = 1796670980,
                   .expiry = 1796674580, .reason = "team killing, twice\r", .origin = "alpha"};
  return e;
}

TEST_F(FleetFilesTest, LinesKeepEveryFieldAndBreaksInTextsBecomeBlanks) {
  const std::string line = FormatFleetLine(Sample(false));
  EXPECT_EQ(line, "ban\t00c0ffee00c0ffee\t1796670980\talpha\tEve the bold\t10.0.0.1\t*\t*\tsam\t"
                  "1796670980\t1796674580\tteam killing, twice \n");
  std::optional<FleetEvent> read = ParseFleetLine(line);
  ASSERT_TRUE(read);
  FleetEvent want = Sample(false);
  want.ban.name = "Eve the bold";
  want.ban.reason = "team killing, twice ";
  EXPECT_EQ(FormatFleetLine(*read), FormatFleetLine(want));
  EXPECT_EQ(std::tie(read->at, read->ban.ban_time, read->ban.expiry, read->ban.unban),
            std::make_tuple(1796670980, 1796670980, 1796674580, false));
  EXPECT_TRUE(ParseFleetLine(FormatFleetLine(Sample(true)))->ban.unban);
}

TEST_F(FleetFilesTest, HostileLinesAreRefused) {
  const std::string good = FormatFleetLine(Sample(false));
  for (const std::string& line : std::vector<std::string>{
           "", "kick" + good.substr(3), good.substr(0, good.rfind('\t')) + "\n",
        good.substr(0, good.size() - 1) + "\textra\n", "ban\t\t1\ta\tn\t*\t*\t*\ts\t1\t0\tr\n",
        "ban\tk\t-1\ta\tn\t*\t*\t*\ts\t1\t0\tr\n", "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1x\t0\tr\n",
        "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1\t99999999999999999999\tr\n",
        "ban\tk\t1\ta\tn\t*\t*\t*\ts\t1\t0\t" + std::string(4096, 'r') + "\n"})
    EXPECT_FALSE(ParseFleetLine(line)) << line;
}

TEST_F(FleetFilesTest, QueueSurvivesARestartAndABadLineIsLoggedNotSent) {
  std::deque<FleetEvent> events{Sample(false), Sample(true)};
  ASSERT_TRUE(SaveFleetQueue(events));
  const std::string text = ReadFile(dir_ / "fleetqueue.con");
  WriteFile(dir_ / "fleetqueue.con", "garbage\n" + text);
  std::deque<FleetEvent> read;
  ASSERT_TRUE(LoadFleetQueue(&read));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(FormatFleetLine(read[0]) + FormatFleetLine(read[1]), text);
  EXPECT_TRUE(
      Has(Log(), "WARNING: fleetqueue.con: line 1 cannot be read; that event is not sent."));
  ASSERT_TRUE(SaveFleetQueue({}));
  ASSERT_TRUE(LoadFleetQueue(&read));
  EXPECT_TRUE(read.empty());
}

TEST_F(FleetFilesTest, LastAppliedIdIsKeptAndAnUnreadableOneIsWarnedAbout) {
  EXPECT_EQ(LoadLastApplied(), 0);
  EXPECT_EQ(Log(), "");
  ASSERT_TRUE(SaveLastApplied(4711));
  EXPECT_EQ(ReadFile(dir_ / "fleetapplied.con"), "4711\n");
  EXPECT_EQ(LoadLastApplied(), 4711);
  WriteFile(dir_ / "fleetapplied.con", "47x\n");
  EXPECT_EQ(LoadLastApplied(), 0);
  EXPECT_TRUE(Has(Log(), "fleetapplied.con holds no event id; every ban event of the fleet is "
                         "applied again."));
}

}  // namespace
