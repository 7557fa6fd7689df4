// korvweb between a browser and the real daemon with gamesim, then the same in headless chromium.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <regex>
#include <thread>

#include "support/gamesim_client.h"
#include "support/process_harness.h"

namespace korvwebtest {
namespace {

using namespace korvtest;
using nlohmann::json;

constexpr char kAccounts[] =
    "admin,secret,,4294967295,1\nmod,secret,,128,1\nops,secret,,128,1\nother,secret,,4294967295,1\n";
constexpr char kPlayers[] =
    "lively 0\n"
    "player 3 1 10 5 2 80 10.0.0.5:23000 3c0ffee03c0ffee03c0ffee03c0ffee0 - Mike\n"
    "player 4 2 -2 0 3 120 10.0.0.6:23001 b0bb0bb0b0bb0bb0b0bb0bb0b0bb0bb0 - Bob\n";

class KorvwebProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.env = {"GAMESIM_VERBOSE=1"};
    ASSERT_TRUE(run_.Start({"-exit", "-nodelay", "-messagelog", "-start"}));
    ASSERT_TRUE(run_.Connected());
    web_port_ = korvtest::FreePort();
    ASSERT_TRUE(web_.Start({BuildPath("korvweb"), "--listen", "127.0.0.1:" + std::to_string(web_port_),
                            "--daemon", "127.0.0.1:" + std::to_string(run_.port), "--trusted-proxy",
                            "127.0.0.1"},
                           game_.dir.path(), game_.dir / "korvweb-out.txt"));
    ASSERT_TRUE(korvtest::WaitForPort(web_port_));
  }
  // SIGTERM ends korvweb whatever its connections are doing.
  void TearDown() override {
    web_.Signal(SIGTERM);
    EXPECT_EQ(web_.Wait(std::chrono::seconds(20)), 0);
  }
  // Logs in; the cookie and token go into the headers of later requests.
  httplib::Headers Login(httplib::Client& client, const std::string& user, int status = 200,
                         const std::string& password = "secret", const std::string& forwarded = "") {
    httplib::Headers headers;
    if (!forwarded.empty()) headers.emplace("X-Forwarded-For", forwarded);
    auto result = client.Post("/api/login", headers, json{{"user", user}, {"password", password}}.dump(),
                              "application/json");
    EXPECT_EQ(result.error(), httplib::Error::Success);
    if (!result) return {};
    EXPECT_EQ(result->status, status) << result->body;
    if (result->status != 200) return {};
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
  EXPECT_EQ(client.Get("/favicon.svg")->get_header_value("Content-Type"), "image/svg+xml");
  // The page names its files by their content, and those names may be kept for good.
  std::string page = client.Get("/")->body;
  std::smatch script;
  ASSERT_TRUE(std::regex_search(page, script, std::regex(R"re(src="(/app\.[0-9a-f]{12}\.js)")re")));
  auto hashed = client.Get(script[1].str());
  EXPECT_EQ(hashed->body, client.Get("/app.js")->body);
  EXPECT_EQ(hashed->get_header_value("Cache-Control"), "public, max-age=31536000, immutable");
  EXPECT_EQ(client.Get("/app.js")->get_header_value("Cache-Control"), "no-cache");
  EXPECT_EQ(client.Get("/app.000000000000.js")->status, 404);
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
  EXPECT_EQ(kick->body, R"({"ok":true,"sent":"kick","words":"player kicked: Mike"})");
  auto start = client.Post("/api/action/start", admin, "{}", "application/json");
  EXPECT_EQ(start->status, 409);
  EXPECT_EQ(json::parse(start->body)["error"], "start refused: the server is already running");
  EXPECT_TRUE(WaitForText(Messages(), "admin.kickPlayer 3")) << ReadFile(Messages());
  auto say = client.Post("/api/action/say", admin, R"({"text":"hello from the web"})", "application/json");
  EXPECT_EQ(say->status, 200);
  EXPECT_TRUE(WaitForText(game_.dir / "korvd-out.txt", "hello from the web"));
  // One player is addressed by a server message that names him, audited under the admin's name.
  auto to_bob = client.Post("/api/action/message_player", admin, R"({"name":"Bob","text":"calm down"})", "application/json");
  EXPECT_EQ(to_bob->body, R"({"ok":true,"sent":"message_player","words":"server message sent"})");
  EXPECT_TRUE(WaitForText(Messages(), "admin.serverMessage \"[KORV] Bob calm down\"")) << ReadFile(Messages());
  EXPECT_TRUE(Has(run_.Log(), " said '[KORV] Bob calm down'."));
  game_.WriteScenario(std::string(kPlayers) + "chat Bob: hello from the game\n");
  stream.join();
  EXPECT_TRUE(Has(streamed, "\"key\":\"player_kicked\",\"text\":\"Mike\"")) << streamed;
  // The map goes with the mode and mod picked; a schedule line the daemon would misread stays home.
  auto map = client.Post("/api/action/change_map", admin, R"({"map":"el_alamein","mode":"GPM_CTF","mod":"bf1942"})",
                         "application/json");
  EXPECT_EQ(map->status, 200) << map->body;
  EXPECT_TRUE(WaitForText(Messages(), "admin.changeMap el_alamein GPM_CTF bf1942")) << ReadFile(Messages());
  auto schedule = client.Post("/api/file/schedule", admin, R"({"text":"restart daily at 04:00\n"})", "application/json");
  EXPECT_EQ(schedule->status, 400);
  EXPECT_TRUE(Has(schedule->body, "schedule line 1 lacks one of its six fields")) << schedule->body;
  auto setting = client.Post("/api/settings", admin, R"({"values":{"game.serverName":"Web Renamed"}})",
                             "application/json");
  EXPECT_EQ(setting->status, 200) << setting->body;
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Web Renamed\"\n"));
}

// The daemon drops korvweb's client: the page is told, at once, and logs in again.
TEST_F(KorvwebProcess, LostDaemonLinkIsToldAndANewLoginWorks) {
  httplib::Client client("127.0.0.1", web_port_);
  client.set_read_timeout(20, 0);
  httplib::Headers mod = Login(client, "mod");
  std::string output;
  ASSERT_EQ(run_.Ctl({"disconnect", "1"}, &output), 0) << output;
  for (int i = 0; i < 2; ++i) {
    auto lost = client.Get("/api/file/players", mod);
    ASSERT_TRUE(lost);
    EXPECT_EQ(json::parse(lost->body)["error"], "the daemon closed this session; log in again");
  }
  mod = Login(client, "mod");
  EXPECT_EQ(client.Get("/api/file/players", mod)->status, 200);
}

// Connections that never finish their request, too many streams and an
// endless chunked body deny a logged-in administrator nothing; guesses
// slow down per account and per client as the trusted proxy names it.
TEST_F(KorvwebProcess, HostileBrowsersDenyNoLoggedInAdministrator) {
  httplib::Client client("127.0.0.1", web_port_);
  client.set_read_timeout(20, 0);
  httplib::Headers admin = Login(client, "admin");
  std::vector<std::unique_ptr<korvclient::Client>> slow(60);
  for (auto& peer : slow) {
    peer = std::make_unique<korvclient::Client>();
    ASSERT_TRUE(peer->Connect(web_port_));
    peer->Send("GET / HTTP/1.1\r\nHost: korvweb\r\n");
  }
  std::atomic<bool> done{false};
  std::thread drip([&] {
    while (!done) {
      for (auto& peer : slow) peer->Send("X-Slow: 1\r\n");
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  // Streams past the limit end the session's oldest; requests go on.
  std::atomic<int> ended{0};
  std::vector<std::thread> streams;
  for (int i = 0; i < 5; ++i)
    streams.emplace_back([&] {
      httplib::Client events("127.0.0.1", web_port_);
      events.set_read_timeout(60, 0);
      events.Get("/api/events", admin, [](const char*, std::size_t) { return true; });
      ++ended;
    });
  EXPECT_TRUE(WaitUntil([&] { return ended == 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(client.Get("/api/file/players", admin)->status, 200);
  // A guess behind the proxy slows down that client and account only.
  Login(client, "mod", 401, "guess", "10.0.0.1");
  Login(client, "ops", 200, "secret", "10.0.0.3");
  // A chunked body is cut off at the limit.
  korvclient::Client chunked;
  ASSERT_TRUE(chunked.Connect(web_port_, 20));
  chunked.Send("POST /api/login HTTP/1.1\r\nHost: korvweb\r\nContent-Type: application/json\r\n"
               "Transfer-Encoding: chunked\r\n\r\n");
  for (int i = 0; i < 40 && chunked.Send("10000\r\n" + std::string(0x10000, ' ') + "\r\n"); ++i) {
  }
  chunked.Send("0\r\n\r\n");
  chunked.WaitClosed(true);
  EXPECT_TRUE(Has(chunked.received(), "HTTP/1.1 413")) << chunked.received().substr(0, 200);
  done = true;
  drip.join();
  EXPECT_EQ(client.Post("/api/logout", admin, "{}", "application/json")->status, 200);
  for (auto& stream : streams) stream.join();
}

TEST_F(KorvwebProcess, HeadlessBrowserDrivesThePage) {
  std::string output;
  int status = korvtest::RunToEnd(
      {"/usr/bin/python3", korvtest::SourcePath("tests/korvweb/browser_check.py"),
       "http://127.0.0.1:" + std::to_string(web_port_) + "/", game_.dir / "gamesim.scenario", kPlayers,
       korvtest::BuildPath("korvctl"), std::to_string(run_.port)},
      game_.dir.path(), &output, std::chrono::seconds(90));
  if (status == 77) GTEST_SKIP() << output;
  ASSERT_EQ(status, 0) << output << ReadFile(game_.dir / "korvweb-out.txt");
  EXPECT_TRUE(Has(ReadFile(Messages()), "admin.kickPlayer 3"));
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/korvane.con"), "game.serverName \"Browser Renamed\"\n"));
  EXPECT_TRUE(Has(ReadFile(game_.settings() + "/serverbanlist.con"), ",edited reason\n"));
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
