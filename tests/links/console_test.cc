// The console link against a stand-in console.
#include "links/console.h"

#include <unistd.h>

#include <csignal>

#include "core/last_error.h"
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
  std::string expected = korvclient::U32(3) + char('a' ^ k[0]) + char('b' ^ k[1]) + '\0' +
                         korvclient::U32(7);
  for (int i = 0; i < 6; ++i) expected += char("secret"[i] ^ k[i]);
  expected += '\0';
  EXPECT_EQ(console_.login_bytes(), expected);
  // The live settings, then the player list were fetched as part of the login.
  auto requests = console_.requests();
  ASSERT_EQ(requests.size(), 2u);
  ASSERT_EQ(requests[0].size(), 31u);
  EXPECT_EQ(requests[0][1], "admin.bandwidthChokeLimit");
  EXPECT_EQ(requests[0][29], "admin.crossHairCenterPoint");
  EXPECT_EQ(requests[0][30], "\r");
  EXPECT_EQ(requests[1], (std::vector<std::string>{"ConsoleMessage 0", "game.listPlayers", "\r"}));
  EXPECT_TRUE(Has(Log(), " : Connected\r\n"));
}

TEST_F(ConsoleTest, RefusedLoginAndFailedSynchronisation) {
  g_manager.server.console_password = "wrong";
  ReconnectConsole();  // a refusal is told, unlike a server that is still starting
  EXPECT_EQ(LastError(), kErrConsoleLogin);
  EXPECT_TRUE(Has(Log(), "Couldn't connect to server console! " + ErrorText(kErrConsoleLogin)));
  EXPECT_FALSE(g_manager.links.console_connected);
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
  EXPECT_TRUE(Has(Log(), "Couldn't connect to console, IP address is zero!\r\n"));
  EXPECT_TRUE(Has(Log(), "Couldn't connect to console, port address is zero!\r\n"));
  EXPECT_EQ(console_.logins(), 2);
}

TEST_F(ConsoleTest, ChatLinesAreTakenOutAndKeyRequestsJoinAContinuation) {
  ASSERT_TRUE(ConsoleConnect());
  TcpPair client;
  g_manager.remote.sessions[3].socket = client.a;
  // A bare "##--" carries an empty line.
  console_.set_answer(Replies({"A", "##--xHello all", "##other", "##--", "B"}));
  EXPECT_EQ(ConsoleSend("admin.serverMessage \"%s\"", "hi"), "A\nB\n");
  EXPECT_EQ(console_.requests().back(),
            (std::vector<std::string>{"ConsoleMessage 0", "admin.serverMessage \"hi\"", "\r"}));
  EXPECT_TRUE(Has(Log(), " : # Hello all  \r\n"));
  EXPECT_EQ(TcpPair::Drain(client.b),
            korvclient::U32(0xBEEF0026) + korvclient::U32(10) + std::string("Hello all\0", 10) +
                korvclient::U32(0xBEEF0026) + korvclient::U32(1) + std::string(1, '\0'));
  g_manager.remote.sessions[3].socket = 0;
  // A key request joins one continuation line.
  console_.set_answer(
      Replies({"first", ">", "", "#a", "b-cont", "c", "#d", "#e", "xf", "xg", "##--chat"}));
  EXPECT_EQ(ConsoleRunKey(0), "#a-cont\nc\n#d\n#ef\nxg\n");
  EXPECT_EQ(console_.requests().back(),
            (std::vector<std::string>{"ConsoleRun 0", std::string(1, '\0')}));
  EXPECT_EQ(ConsoleRunKey('k'), "");  // only the fetch key collects output
}

TEST_F(ConsoleTest, DroppedLinkStaysDownUntilReconnected) {
  ASSERT_TRUE(ConsoleConnect());
  console_.set_answer(Replies({kDropLink}));
  EXPECT_FALSE(ConsoleSend("game.listPlayers"));
  EXPECT_EQ(g_manager.links.status_port, 0u);
  std::string log = Log();
  EXPECT_TRUE(Has(log, " : Connection reset\r\n"));
  EXPECT_TRUE(Has(log, " : Disconnected\r\n"));
  EXPECT_FALSE(ConsoleSend("game.listPlayers"));
  EXPECT_TRUE(Has(Log(), "Couldn't send message game.listPlayers to console! Not connected."));
  EXPECT_FALSE(ConsoleSend("%s", "admin.kickPlayer 3"));  // the command, not its format
  EXPECT_TRUE(Has(Log(), " : Couldn't send message admin.kickPlayer to console! Not connected."));
  EXPECT_FALSE(ConsoleRunKey(0));
  EXPECT_TRUE(Has(Log(), "Couldn't send character 0x00 to console! Not connected."));

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
  EXPECT_EQ(log, "--Message--" + EncodeConsoleRequest("ConsoleMessage 0", "admin.timeLimit") +
                     "--Response--1200\n");
}

}  // namespace
}  // namespace korvtest
