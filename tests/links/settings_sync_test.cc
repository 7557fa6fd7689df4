// Live settings read after a login and changes pushed to the server.
#include "links/settings_sync.h"

#include "core/last_error.h"
#include "links/stand_ins.h"

namespace korvtest {
namespace {

class SyncTest : public StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    TakeSettingsSnapshot();
  }
  // The command lines of the last request (without channel and "\r").
  std::vector<std::string> LastCommand() {
    std::vector<std::string> r = console_.requests().back();
    return std::vector<std::string>(r.begin() + 1, r.end() - 1);
  }
};

TEST_F(SyncTest, LiveValuesAreConverted) {
  ASSERT_TRUE(ConsoleConnect()) << ErrorText(LastError());
  EXPECT_EQ((std::vector{SettingValue(kSetGameTime), SettingValue(kSetSoldierFriendlyFire),
                         SettingValue(kSetSoldierFriendlyFireOnSplash), SettingValue(kSetVoteMapMajority),
                         SettingValue(kSetTkToKick), SettingValue(kSetCrosshairCenterpoint),
                         g_manager.settings.snapshot[kSetGameTime].value}),
            (std::vector{20, 50, 100, 60, 3, 1, 20}));  // "1200", "0.50", "1.0", "0.60", "3", "1"
  EXPECT_EQ(SettingText(kSetMaxConnectionType), "CTLanT1");

  // Rounds and ticket ratio come from the last status report.
  g_manager.links.status_report = "\\Number Of Rounds\\5\\Ticket Ratio\\150\\final\\";
  ASSERT_TRUE(SyncSettingsFromServer(g_manager.links.status_report));
  EXPECT_EQ((std::vector{SettingValue(kSetNumberOfRounds), SettingValue(kSetTicketRatio),
                         g_manager.settings.snapshot[kSetTicketRatio].value}),
            (std::vector{5, 150, 150}));
}

TEST_F(SyncTest, ShortAnswerFailsTheLogin) {
  console_.set_answer_sync(false);
  console_.set_answer([](const std::vector<std::string>& r) {
    return r.size() > 30 ? std::vector<std::string>{"1", "2", "3"} : std::vector<std::string>{};
  });
  Setting(kSetBandwidthChokeLimit).text = "16";
  EXPECT_FALSE(ConsoleConnect());
  EXPECT_EQ(LastError(), kErrServerSettings);
  EXPECT_EQ(SettingText(kSetBandwidthChokeLimit), "1");  // rows before the break are taken
  EXPECT_EQ(g_manager.settings.snapshot[kSetBandwidthChokeLimit].text, "0");  // untouched
}

TEST_F(SyncTest, ChangedRowsArePushedOnce) {
  ASSERT_TRUE(ConsoleConnect());
  auto sends_nothing = [this] {
    std::size_t before = console_.requests().size();
    return PushSettingChanges() && console_.requests().size() == before;
  };
  EXPECT_TRUE(sends_nothing());  // nothing differs

  Setting(kSetTicketRatio).value = 150;
  ASSERT_TRUE(PushSettingChanges());
  EXPECT_EQ(LastCommand(), std::vector<std::string>{"admin.setTicketRatio 1.5"});
  EXPECT_EQ(g_manager.settings.snapshot[kSetTicketRatio].value, 150);
  EXPECT_TRUE(sends_nothing());
  Setting(kSetAutoKickPing).value = 1;  // the daemon's own: never pushed
  EXPECT_TRUE(sends_nothing());

  Setting(kSetGameTime).value = 25;
  Setting(kSetSoldierFriendlyFire).value = 100;
  Setting(kSetKickback).value = 150;
  Setting(kSetSpawnDelayPenaltyForTk).value = 25;
  Setting(kSetMaxConnectionType).text = "CTModem56Kbps";
  Setting(kSetGravity).value = 9;  // reaches the server only at launch
  Setting(kSetToggleGamePause).value = 1;
  ASSERT_TRUE(PushSettingChanges());
  EXPECT_EQ(LastCommand(),
            (std::vector<std::string>{"admin.maxAllowedConnectionType CTModem56Kbps",
                                      "admin.timeLimit 1500", "admin.soldierFFRatio 1.0",
                                      "admin.kickback 1.50", "admin.spawnDelayPenaltyForTK 2.5",
                                      "admin.toggleGamePause"}));
  Setting(kSetToggleGamePause).value = 0;
  ASSERT_TRUE(PushSettingChanges());
  EXPECT_EQ(LastCommand(), std::vector<std::string>{"admin.toggleGamePause"});
}

TEST_F(SyncTest, FailedPushIsSentAgainLater) {
  ASSERT_TRUE(ConsoleConnect());
  console_.set_answer(Replies({kDropLink}));
  Setting(kSetScoreLimit).value = 40;
  EXPECT_FALSE(PushSettingChanges());
  EXPECT_NE(g_manager.settings.snapshot[kSetScoreLimit].value, 40);
  EXPECT_FALSE(PushSettingChanges());  // the link is down now
  console_.set_answer(Replies());
  g_manager.links.status_port = status_.port();
  ASSERT_TRUE(ConsoleConnect());
  Setting(kSetScoreLimit).value = 40;  // the login read the server's value back
  ASSERT_TRUE(PushSettingChanges());
  EXPECT_EQ(LastCommand(), std::vector<std::string>{"admin.scoreLimit 40"});
}

}  // namespace
}  // namespace korvtest
