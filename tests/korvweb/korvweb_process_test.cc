// korvweb between a browser and the real daemon with gamesim, then the same in headless chromium.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvwebtest {
namespace {

using namespace korvtest;
using nlohmann::json;

constexpr char kAccounts[] = "admin,secret,,4294967295,1\nmod,secret,,128,1\n";
constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 - - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 - - Bob\n";

class KorvwebProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.env = {"GAMESIM_VERBOSE=1"};
    ASSERT_TRUE(run_.Start({"-exit", "-nodelay", "-messagelog", "-start"}));
    ASSERT_TRUE(run_.Connected());
    web_port_ = korvtest::FreePort();
    ASSERT_TRUE(web_.Start({BuildPath("korvweb"), "--listen", "127.0.0.1:" + std::to_string(web_port_),
                            "--daemon", "127.0.0.1:" + std::to_string(run_.port)},
                           game_.dir.path(), game_.dir / "korvweb-out.txt"));
    ASSERT_TRUE(korvtest::WaitForPort(web_port_));
  }
  void TearDown() override {
    web_.Signal(SIGTERM);
    web_.Wait(std::chrono::seconds(20));
  }
  // Logs in; the cookie and token go into the headers of later requests.
  httplib::Headers Login(httplib::Client& client, const std::string& user) {
    auto result = client.Post("/api/login", json{{"user", user}, {"password", "secret"}}.dump(),
                              "application/json");
    EXPECT_EQ(result->status, 200) << result->body;
    std::string cookie = result->get_header_value("Set-Cookie");
    return {{"Cookie", cookie.substr(0, cookie.find(';'))},
            {"X-Korv-Token", json::parse(result->body)["token"]}};
  }
  std::string Messages() const { return game_.dir / "message.log"; }

  gamesimtest::DaemonRun run_{kPlayers, {}, kAccounts};
  gamesimtest::GameDir& game_ = run_.game;
  korvtest::Process web_;
  int web_port_ = 0;
};

TEST_F(KorvwebProcess, PageActionsReachTheGameAndNewsReachThePage) {
  httplib::Client client("127.0.0.1", web_port_);
  client.set_read_timeout(20, 0);
  // Without --fleet there is no fleet page and no member to name.
  EXPECT_EQ(client.Get("/fleet.html")->status, 404);
  EXPECT_EQ(client.Post("/api/login", R"({"user":"admin","password":"secret","server":"alpha"})",
                        "application/json")->status, 404);
  httplib::Headers admin = Login(client, "admin");
  auto players = client.Get("/api/file/players", admin);
  ASSERT_EQ(players->status, 200);
  EXPECT_EQ(json::parse(players->body)["rows"][0]["name"], "Mike") << players->body;
  // The stream, read on the side, until the chat line shows.
  std::string streamed;
  std::thread stream([&] {
    httplib::Client events("127.0.0.1", web_port_);
    events.set_read_timeout(20, 0);
    events.Get("/api/events", admin, [&](const char* data, std::size_t length) {
      streamed.append(data, length);
      return !Has(streamed, "hello from the game");
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto kick = client.Post("/api/action/kick", admin, R"({"id":3,"reason":"camping"})", "application/json");
  EXPECT_EQ(kick->status, 200) << kick->body;
  EXPECT_TRUE(WaitForText(Messages(), "admin.kickPlayer 3")) << ReadFile(Messages());
  auto say = client.Post("/api/action/say", admin, R"({"text":"hello from the web"})", "application/json");
  EXPECT_EQ(say->status, 200);
  EXPECT_TRUE(WaitForText(game_.dir / "korvd-out.txt", "hello from the web"));
  game_.WriteScenario(std::string(kPlayers) + "chat Bob: hello from the game\n");
  stream.join();
  EXPECT_TRUE(Has(streamed, "\"key\":\"player_kicked\",\"text\":\"Mike\"")) << streamed;
  auto setting = client.Post("/api/settings", admin, R"({"values":{"game.serverName":"Web Renamed"}})",
                             "application/json");
  EXPECT_EQ(setting->status, 200) << setting->body;
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Web Renamed\"\n"));
}

TEST_F(KorvwebProcess, HeadlessBrowserDrivesThePage) {
  std::string output;
  int status = korvtest::RunToEnd(
      {"/usr/bin/python3", korvtest::SourcePath("tests/korvweb/browser_check.py"),
       "http://127.0.0.1:" + std::to_string(web_port_) + "/", game_.dir / "gamesim.scenario", kPlayers},
      game_.dir.path(), &output, std::chrono::seconds(90));
  if (status == 77) GTEST_SKIP() << output;
  ASSERT_EQ(status, 0) << output << ReadFile(game_.dir / "korvweb-out.txt");
  EXPECT_TRUE(Has(ReadFile(Messages()), "admin.kickPlayer 3"));
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Browser Renamed\"\n"));
}


// One login over a fleet of two live daemons, one valid only on the first,
// and an address where nothing listens; then a card opens its console.
TEST(KorvwebFleet, CardsInWordsLiveAndOneConsoleOpens) {
  // admin lacks the right to log in twice on alpha: the fleet hands its link over.
  gamesimtest::DaemonRun first{kPlayers, {}, "admin,secret,,4294950911,1\n"};
  gamesimtest::DaemonRun second{kPlayers, {}, "other,secret,,4294967295,1\n"};
  ASSERT_TRUE(first.Start({"-exit", "-nodelay", "-start"}));
  ASSERT_TRUE(second.Start({"-exit", "-nodelay", "-start"}));
  ASSERT_TRUE(first.Connected() && second.Connected());
  std::string fleet = first.game.dir / "fleet";
  WriteFile(fleet, "# the test fleet\nalpha 127.0.0.1:" + std::to_string(first.port) +
                       "\nbeta 127.0.0.1:" + std::to_string(second.port) + "\ndead 127.0.0.1:" +
                       std::to_string(FreePort()) + "\n");
  int port = FreePort();
  korvtest::Process web;
  ASSERT_TRUE(web.Start({BuildPath("korvweb"), "--listen", "127.0.0.1:" + std::to_string(port),
                         "--fleet", fleet, "--timeout", "10"},
                        first.dir(), first.game.dir / "korvweb-out.txt"));
  ASSERT_TRUE(WaitForPort(port));
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  auto refused = client.Post("/api/fleet/login", R"({"user":"admin","password":"wrong"})", "application/json");
  EXPECT_EQ(refused->status, 401) << refused->body;
  httplib::Response login;
  // The failed login slows this address down for a second.
  ASSERT_TRUE(WaitUntil([&] {
    login = *client.Post("/api/fleet/login", R"({"user":"admin","password":"secret"})", "application/json");
    return login.status != 429;
  }, std::chrono::seconds(10), std::chrono::milliseconds(200)));
  ASSERT_EQ(login.status, 200) << login.body;
  json cards = json::parse(login.body)["cards"];
  ASSERT_EQ(cards.size(), 3u) << cards;
  EXPECT_EQ(cards[0]["state"], "running") << cards[0];
  EXPECT_TRUE(Has(cards[0]["words"], "Running, 2 of ")) << cards[0];
  EXPECT_EQ(cards[0]["health"], "healthy");
  EXPECT_EQ(cards[0]["names"], json({"Mike", "Bob"}));
  EXPECT_EQ(cards[1]["words"], "no access");
  EXPECT_EQ(cards[2]["words"], "unreachable");
  std::string cookie = login.get_header_value("Set-Cookie");
  // A browser sends the console's cookie beside it; another id is no session.
  httplib::Headers fleet_headers{{"Cookie", "korvweb_session=x; " + cookie.substr(0, cookie.find(';'))},
                                 {"X-Korv-Token", json::parse(login.body)["token"]}};
  EXPECT_EQ(client.Get("/api/fleet", {{"Cookie", "korvweb_fleet=" + std::string(64, '0')}})->status, 401);
  // A third player on alpha reaches the page over the fleet stream.
  std::string streamed;
  std::thread stream([&] {
    httplib::Client events("127.0.0.1", port);
    events.set_read_timeout(30, 0);
    events.Get("/api/fleet/events", fleet_headers, [&](const char* data, std::size_t length) {
      streamed.append(data, length);
      return !Has(streamed, "\"Zed\"");
    });
  });
  first.game.WriteScenario(std::string(kPlayers) + "player 5 1 0 0 0 50 10.0.0.7:23002 - - Zed\n");
  stream.join();
  EXPECT_TRUE(Has(streamed, "Running, 3 of ")) << streamed;
  auto unknown = client.Post("/api/fleet/open", fleet_headers, R"({"server":"gamma"})", "application/json");
  EXPECT_EQ(unknown->status, 404);
  auto open = client.Post("/api/fleet/open", fleet_headers, R"({"server":"alpha"})", "application/json");
  ASSERT_EQ(open->status, 200) << open->body;
  std::string console = open->get_header_value("Set-Cookie");
  auto players = client.Get("/api/file/players", {{"Cookie", console.substr(0, console.find(';'))}});
  ASSERT_EQ(players->status, 200) << players->body;
  EXPECT_EQ(json::parse(players->body)["rows"][2]["name"], "Zed") << players->body;
  // The card stays live through the console's own link.
  auto again = client.Get("/api/fleet", fleet_headers);
  EXPECT_EQ(json::parse(again->body)["cards"][0]["state"], "running") << again->body;
  // Both sessions end and release alpha; then the page itself, in a browser when one is installed.
  httplib::Headers console_headers{{"Cookie", console.substr(0, console.find(';'))},
                                   {"X-Korv-Token", json::parse(open->body)["token"]}};
  EXPECT_EQ(client.Post("/api/logout", console_headers, "{}", "application/json")->status, 200);
  EXPECT_EQ(client.Post("/api/fleet/logout", fleet_headers, "{}", "application/json")->status, 200);
  std::string output;
  int status = RunToEnd({"/usr/bin/python3", SourcePath("tests/korvweb/fleet_browser_check.py"),
                         "http://127.0.0.1:" + std::to_string(port) + "/fleet.html"},
                        first.dir(), &output, std::chrono::seconds(60));
  EXPECT_TRUE(status == 0 || status == 77) << output;
  web.Signal(SIGTERM);
  EXPECT_EQ(web.Wait(std::chrono::seconds(20)), 0);
}

}  // namespace
}  // namespace korvwebtest
