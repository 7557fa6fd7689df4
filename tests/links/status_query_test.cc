// Status replies: reassembly, order checks, size cap, key lookup, port search.
#include "links/status_query.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "core/last_error.h"
#include "core/unique_fd.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"

namespace korvtest {
namespace {

// A pass's budget for tests that wait out a silence (the full two seconds: OnePassWaits...).
constexpr std::chrono::milliseconds kShortPass{500};

class StatusQueryTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    Setting(kSetServerIp).value = 0x7F000001;
  }
};

// A signal during the wait (a child ending, say) is no timeout.
TEST_F(StatusQueryTest, AnInterruptedWaitGoesOn) {
  struct sigaction action {}, old {};
  action.sa_handler = [](int) {};
  ::sigaction(SIGUSR2, &action, &old);
  int port = 0;
  UniqueFd server(BindLoopback(true, 0, &port));
  std::optional<std::string> report;
  std::thread query([&] { report = StatusQuery(port, "\\status\\"); });
  char buffer[64];
  sockaddr_in from{};
  socklen_t length = sizeof from;
  pollfd entry{server.get(), POLLIN, 0};
  if (::poll(&entry, 1, 2000) == 1)
    ::recvfrom(server.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
  for (int i = 0; i < 5; ++i) {
    ::pthread_kill(query.native_handle(), SIGUSR2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string reply = "\\numplayers\\1\\queryid\\1.1\\final\\";
  ::sendto(server.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  query.join();
  ::sigaction(SIGUSR2, &old, nullptr);
  EXPECT_EQ(report, reply);
}

// A player called "queryid" or "final", or a name holding "\queryid\77.5", is no key.
TEST_F(StatusQueryTest, SegmentsMakeOneReportAndNamesNeverPassForKeys) {
  const std::vector<std::string> cases[] = {
      {"\\hostname\\x\\queryid\\7.1", "\\numplayers\\12\\queryid\\7.2\\final\\"},
      {"\\hostname\\Q\\queryid\\77.5\\playername_0\\queryid\\playername_1\\final\\queryid\\7.1",
       "\\playername_2\\A\\B\\ping_2\\5\\queryid\\7.2", "\\numplayers\\3\\queryid\\7.3\\final\\"}};
  for (const std::vector<std::string>& segments : cases) {
    UdpResponder server(segments);
    SetLastError(99);
    std::optional<std::string> report = StatusQuery(server.port(), "\\status\\");
    ASSERT_TRUE(report) << Log();
    EXPECT_EQ(*report, segments[0] + segments[1] + (segments.size() > 2 ? segments[2] : ""));
    EXPECT_EQ(std::pair(g_manager.links.status_report, LastError()), std::pair(*report, 0));
    EXPECT_EQ(server.queries(), std::vector{std::string("\\status\\\0", 9)});  // the NUL goes too
  }
}

TEST_F(StatusQueryTest, SegmentFaultsAndAMissingFinalAreRefused) {
  struct Case { std::vector<std::string> replies; const char* message; } cases[] = {
      {{"\\numplayers\\1\\queryid\\7.2\\final\\"}, "Segment missing or out of order."},
      {{"\\a\\1\\queryid\\7.1", "\\b\\2\\queryid\\7.3\\final\\"}, "Segment missing or out of order."},
      {{"\\numplayers\\1\\final\\"}, "Segment did not contain a queryid."},
      {{"\\numplayers\\1\\queryid\\7\\final\\"}, "Segment did not contain a queryid."},
      {{"\\numplayers\\1\\queryid\\1.1"}, "Response did not contain a final segment."}};
  for (const Case& c : cases) {
    UdpResponder server(c.replies);
    SetLastError(99);
    g_manager.links.status_wait_left = kShortPass;
    EXPECT_FALSE(StatusQuery(server.port(), "\\status\\"));
    EXPECT_EQ(LastError(), 0);
    EXPECT_TRUE(Has(Log(), std::string(" : Couldn't get server status! ") + c.message + "\r\n")) << c.message;
  }
}

TEST_F(StatusQueryTest, SilenceIsTimedOut) {
  UdpResponder silent({});
  const std::pair<std::uint32_t, int> cases[] = {  // nobody listens at a free port: refused at once
      {silent.port(), ETIMEDOUT}, {FreePort(true), ECONNREFUSED}, {0, EINVAL}, {65536, EINVAL}};
  for (const auto& [port, error] : cases) {
    g_manager.links.status_wait_left = kShortPass;
    EXPECT_FALSE(StatusQuery(port, "\\status\\"));
    EXPECT_EQ(LastError(), error) << port;
  }
  EXPECT_FALSE(StatusQuery(65535, "\\status\\"));  // the highest port is asked
  EXPECT_NE(LastError(), EINVAL);
}

TEST_F(StatusQueryTest, OverlongReplyIsCutAtTheCap) {
  std::vector<std::string> replies;
  for (int i = 1; i <= 4; ++i) replies.push_back("\\queryid\\1." + std::to_string(i) + "\\pad\\" + std::string(15000, 'x'));
  UdpResponder server(replies);
  EXPECT_FALSE(StatusQuery(server.port(), "\\status\\"));
  EXPECT_EQ(g_manager.links.status_report.size(), kStatusReportMax);
  EXPECT_TRUE(Has(Log(), "DEBUG: Status report exceeds maximum allowed size!"));
}

TEST_F(StatusQueryTest, StatusLogLine) {
  TempDir work;
  char old_dir[4096];
  ASSERT_NE(::getcwd(old_dir, sizeof old_dir), nullptr);
  ASSERT_EQ(::chdir(work.path().c_str()), 0);
  g_manager.core.status_log = true;
  UdpResponder server({"\\numplayers\\0\\queryid\\3.1\\final\\"});
  EXPECT_TRUE(StatusQuery(server.port(), "\\info\\"));
  std::string line = ReadFile(work / "status.log");
  ASSERT_EQ(::chdir(old_dir), 0);
  // "YYYY-MM-DD HH:MM:SS : [report]\n"
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : \[\\numplayers\\0\\queryid\\3\.1\\final\\\]\n)")))
      << line;
}

TEST_F(StatusQueryTest, IdentifiesThePortThatServesTheGame) {
  if (!PrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  Setting(kSetServerPort).value = 14567;
  Setting(kSetServerInternet).value = 1;
  UdpResponder configured({"\\hostport\\14568\\queryid\\1.1\\final\\"});
  Setting(kSetGameSpyPort).value = configured.port();
  UdpResponder probed({"\\hostport\\14567\\queryid\\1.1\\final\\"}, 23000);
  ASSERT_TRUE(probed.ok());
  g_manager.core.debug = true;
  ASSERT_TRUE(IdentifyStatusPort());
  EXPECT_EQ(g_manager.links.status_port, 23000u);
  const std::string port = std::to_string(configured.port());
  for (const std::string& line : {"Testing configured port (" + port + ")...",
                                  "Server is not using the configured status port! (" + port + ").",
                                  std::string("Testing status port 23000 ..."),
                                  std::string("Identified server status port (23000).")})
    EXPECT_TRUE(Has(Log(), " : DEBUG: " + line + "\r\n")) << line;

  g_manager.links.status_port = 0;
  configured.set_replies({"\\hostport\\14567\\queryid\\1.1\\final\\"});
  ASSERT_TRUE(IdentifyStatusPort());
  EXPECT_EQ(g_manager.links.status_port, static_cast<std::uint32_t>(configured.port()));

  // No port answers with the game port (closed probes are refused at once on loopback).
  g_manager.links.status_port = 0;
  for (UdpResponder* responder : {&configured, &probed}) responder->set_replies({"\\hostport\\1\\final\\"});
  EXPECT_FALSE(IdentifyStatusPort());
  EXPECT_EQ(g_manager.links.status_port, 0u);
}

// Once a reply without its final segment used the pass's 2 s, identification waits a pass.
TEST_F(StatusQueryTest, OnePassWaitsTwoSecondsInAll) {
  if (!PrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  UdpResponder slow({"\\hostport\\14567\\queryid\\1.1"});
  UdpResponder good({"\\numplayers\\0\\queryid\\1.1\\final\\"});
  UdpResponder probed({"\\hostport\\14567\\queryid\\1.1\\final\\"}, 23000);
  ASSERT_TRUE(probed.ok());
  Setting(kSetServerPort).value = 14567;
  Setting(kSetServerInternet).value = 1;
  Setting(kSetGameSpyPort).value = slow.port();
  g_manager.core.debug = true;
  const std::string probe = "DEBUG: Testing status port 23000 ...";
  StartStatusPass();
  EXPECT_FALSE(StatusQuery(slow.port(), "\\status\\"));
  EXPECT_FALSE(StatusQuery(good.port(), "\\status\\"));
  EXPECT_EQ(LastError(), ETIMEDOUT);
  EXPECT_FALSE(IdentifyStatusPort());
  EXPECT_EQ(slow.queries().size() * 10 + good.queries().size(), 10u);
  g_manager.links.status_wait_left = kShortPass;  // a pass, shortened
  EXPECT_TRUE(StatusQuery(good.port(), "\\status\\"));
  EXPECT_FALSE(IdentifyStatusPort());  // the configured port takes what is left
  EXPECT_EQ(slow.queries().size(), 2u);
  EXPECT_FALSE(Has(Log(), probe));
  StartStatusPass();
  ASSERT_TRUE(IdentifyStatusPort());
  EXPECT_EQ(std::pair(g_manager.links.status_port, slow.queries().size()), std::pair(23000u, std::size_t{2}));
  EXPECT_TRUE(Has(Log(), probe));
}

}  // namespace
}  // namespace korvtest
