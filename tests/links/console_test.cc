// The console link against a stand-in console; live settings read after a login and pushed back.
#include "links/console.h"

#include <unistd.h>

#include <csignal>

#include "core/last_error.h"
#include "links/settings_sync.h"
#include "links/stand_ins.h"

namespace korvtest {
namespace {

using ConsoleTest = StandInTest;

TEST(ConsoleRequestTest, LinesBecomeStrings) {
  auto s = [](const std::string& text) { return korvclient::U32(text.size() + 1) + text + '\0'; };
  EXPECT_EQ(EncodeConsoleRequest("ConsoleMessage 0", "a\n\nb"),
            korvclient::U32(5) + s("ConsoleMessage 0") + s("a") + s("") + s("b") + s("\r"));
  EXPECT_EQ(EncodeConsoleRequest("ConsoleMessage 0", "a\n"),
            korvclient::U32(3) + s("ConsoleMessage 0") + s("a") + s("\r"));
}

TEST_F(ConsoleTest, LoginScramblesAndSynchronises) {
  ASSERT_TRUE(ConsoleConnect()) << ErrorText(LastError());
  const unsigned char* k = FakeConsole::kKey;
  std::string expected = korvclient::U32(3) + char('a' ^ k[0]) + char('b' ^ k[1]) + '\0' + korvclient::U32(7);
  for (int i = 0; i < 6; ++i) expected += char("secret"[i] ^ k[i]);
  expected += '\0';
  EXPECT_EQ(console_.login_bytes(), expected);
  // The live settings, then the player list were fetched as part of the login.
  auto requests = console_.requests();
  ASSERT_EQ(requests.size(), 2u);
  ASSERT_EQ(requests[0].size(), 31u);
  EXPECT_EQ(std::tie(requests[0][1], requests[0][29], requests[0][30]),
            std::make_tuple("admin.bandwidthChokeLimit", "admin.crossHairCenterPoint", "\r"));
  EXPECT_EQ(requests[1], (std::vector<std::string>{"ConsoleMessage 0", "game.listPlayers", "\r"}));
  EXPECT_TRUE(Has(Log(), " : Connected\r\n"));
}

TEST_F(ConsoleTest, RefusedLoginAndFailedSynchronisation) {
  g_manager.server.console_password = "wrong";
  ReconnectConsole();  // a refusal is told, unlike a server that is still starting
  EXPECT_EQ(std::pair(LastError(), g_manager.links.console_connected), std::pair(int{kErrConsoleLogin}, false));
  EXPECT_TRUE(Has(Log(), "Couldn't connect to server console! " + ErrorText(kErrConsoleLogin)));
  EXPECT_FALSE(Has(Log(), "Connected"));

  g_manager.server.console_password = "secret";
  console_.set_answer(Replies({kDropLink}));
  EXPECT_FALSE(ConsoleConnect());
  EXPECT_EQ(LastError(), kErrPlayerList);
  console_.set_answer_sync(false);  // the settings read is the step that fails
  g_manager.links.status_port = status_.port();
  EXPECT_FALSE(ConsoleConnect());
  EXPECT_EQ(LastError(), kErrServerSettings);
  EXPECT_EQ(console_.logins(), 2);

  for (SettingIndex zeroed : {kSetServerIp, kSetConsolePort}) {
    PointAtStandIns(console_.port(), status_.port(), "ab", "secret");
    Setting(zeroed).value = 0;
    EXPECT_FALSE(ConsoleConnect());
  }
  for (const char* zero : {"IP address", "port address"})
    EXPECT_TRUE(Has(Log(), "Couldn't connect to console, " + std::string(zero) + " is zero!\r\n"));
  EXPECT_EQ(console_.logins(), 2);
}

TEST_F(ConsoleTest, ChatLinesAreTakenOutAndKeyRequestsJoinAContinuation) {
  ASSERT_TRUE(ConsoleConnect());
  TcpPair client;
  g_manager.remote.sessions[3].socket = client.a;
  // A bare "##--" carries an empty line.
  console_.set_answer(Replies({"A", "##--xHello all", "##other", "##--", "B"}));
  EXPECT_EQ(ConsoleSend("admin.serverMessage \"%s\"", "hi"), "A\nB\n");
  EXPECT_EQ(console_.requests().back(), (std::vector<std::string>{"ConsoleMessage 0", "admin.serverMessage \"hi\"", "\r"}));
  EXPECT_TRUE(Has(Log(), " : # Hello all  \r\n"));
  EXPECT_EQ(TcpPair::Drain(client.b),
            korvclient::U32(0xBEEF0026) + korvclient::U32(10) + std::string("Hello all\0", 10) +
                korvclient::U32(0xBEEF0026) + korvclient::U32(1) + std::string(1, '\0'));
  g_manager.remote.sessions[3].socket = 0;
  // A key request joins one continuation line.
  console_.set_answer(Replies({"first", ">", "", "#a", "b-cont", "c", "#d", "#e", "xf", "xg", "##--chat"}));
  EXPECT_EQ(ConsoleRunKey(0), "#a-cont\nc\n#d\n#ef\nxg\n");
  EXPECT_EQ(console_.requests().back(), (std::vector<std::string>{"ConsoleRun 0", std::string(1, '\0')}));
  EXPECT_EQ(ConsoleRunKey('k'), "");  // only the fetch key collects output
}

TEST_F(ConsoleTest, DroppedLinkStaysDownUntilReconnected) {
  ASSERT_TRUE(ConsoleConnect());
  console_.set_answer(Replies({kDropLink}));
  EXPECT_FALSE(ConsoleSend("game.listPlayers"));
  EXPECT_EQ(g_manager.links.status_port, 0u);
  EXPECT_FALSE(ConsoleSend("game.listPlayers"));
  EXPECT_FALSE(ConsoleSend("%s", "admin.kickPlayer 3"));  // the command, not its format
  EXPECT_FALSE(ConsoleRunKey(0));
  for (const char* line : {" : Connection reset\r\n", " : Disconnected\r\n",
                           "Couldn't send message game.listPlayers to console! Not connected.",
                           " : Couldn't send message admin.kickPlayer to console! Not connected.",
                           "Couldn't send character 0x00 to console! Not connected."})
    EXPECT_TRUE(Has(Log(), line)) << line;

  console_.set_answer(Replies());
  g_manager.links.status_port = status_.port();
  ASSERT_TRUE(ConsoleConnect());
  EXPECT_EQ(ConsoleSend("admin.kickPlayer %i", 4), "");
  EXPECT_EQ(console_.logins(), 2);
}

TEST_F(ConsoleTest, HostileAnswersDropTheLink) {
  const std::vector<std::string> answers[] = {
      {kRaw, korvclient::U32(1) + korvclient::U32(0xFFFFFFF0u)},          // one huge string
      {kRaw, korvclient::U32(0x7FFFFFFF) + std::string(64 * 1024, '\0')},  // endless empty strings
      {kRaw, korvclient::U32(2) + korvclient::U32(3) + "abc", kDropLink},  // cut short
  };
  for (const std::vector<std::string>& raw : answers) {
    g_manager.links.status_port = status_.port();
    console_.set_answer(Replies());
    ASSERT_TRUE(ConsoleConnect());
    console_.set_answer(Replies(raw));
    EXPECT_FALSE(ConsoleSend("game.listPlayers"));
    EXPECT_FALSE(g_manager.links.console_connected);
  }
  EXPECT_TRUE(Has(Log(), "Couldn't send message to console! " + ErrorText(EMSGSIZE)));
}

// SIGTERM or SIGINT while the loop runs: no wait on a silent console holds the daemon up.
TEST_F(ConsoleTest, AnEndingDaemonStopsWaitingOnASilentConsole) {
  ASSERT_TRUE(ConsoleConnect());
  console_.set_answer(Replies({kRaw, ""}));
  g_manager.core.loop_running = true;
  g_manager.core.caught_signal = SIGINT;
  EXPECT_FALSE(ConsoleSend("game.listPlayers"));
  EXPECT_EQ(LastError(), EINTR);
}

TEST_F(ConsoleTest, MessageLogHoldsRequestsAndResponses) {
  TempDir work;
  char old_dir[4096];
  ASSERT_NE(::getcwd(old_dir, sizeof old_dir), nullptr);
  ASSERT_EQ(::chdir(work.path().c_str()), 0);
  ASSERT_TRUE(ConsoleConnect());
  g_manager.core.message_log = true;
  console_.set_answer(Replies({"1200"}));
  EXPECT_EQ(ConsoleSend("admin.timeLimit"), "1200\n");
  std::string log = ReadFile(work / "message.log");
  ASSERT_EQ(::chdir(old_dir), 0);
  EXPECT_EQ(log, "--Message--" + EncodeConsoleRequest("ConsoleMessage 0", "admin.timeLimit") + "--Response--1200\n");
}

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
  EXPECT_EQ(LastCommand(), (std::vector<std::string>{"admin.maxAllowedConnectionType CTModem56Kbps", "admin.timeLimit 1500",
                                                     "admin.soldierFFRatio 1.0", "admin.kickback 1.50",
                                                     "admin.spawnDelayPenaltyForTK 2.5", "admin.toggleGamePause"}));
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
