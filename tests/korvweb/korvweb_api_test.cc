// korvweb's HTTP handlers against a scripted daemon: logins, token, refusals, stream, expiry.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "core/banned_name.h"
#include "korvctl/fake_daemon.h"
#include "korvweb/app.h"
#include "korvweb/settings_form.h"
#include "remote/accounts.h"
#include "wire/history_text.h"

namespace korvwebtest {
namespace {

using korvctltest::FakeDaemon;
using korvtest::Has;
using nlohmann::json;

class WebHarness {
 public:
  explicit WebHarness(int daemon_port, korvweb::Config config = {}, korvweb::GateLimits limits = {}) {
    korvweb::InitSettingsForm();
    config.daemon_port = daemon_port;
    config.idle_seconds = 600;
    config.daemon_timeout_ms = 3000;
    app_ = std::make_unique<korvweb::App>(config, [this] { return now.load(); });
    server_ = std::make_unique<korvweb::GateServer>(
        limits, [this](std::string_view head) { return app_->LaneOf(head); });
    app_->Register(*server_);
    port_ = server_->bind_to_any_port("127.0.0.1");
    listen_ = std::thread([this] { server_->listen_after_bind(); });
    pump_ = std::thread([this] { app_->RunPump(stop_, 20); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~WebHarness() {
    stop_ = true;
    pump_.join();
    for (auto& session : app_->sessions().All()) app_->sessions().Remove(session->id, nullptr);
    server_->stop();
    listen_.join();
    server_->Shutdown();
  }
  httplib::Result Post(const std::string& path, const json& body, bool with_token = true) {
    httplib::Headers headers{{"Cookie", cookie}};
    if (with_token) headers.emplace("X-Korv-Token", token);
    return client().Post(path.c_str(), headers, body.dump(), "application/json");
  }
  httplib::Result Get(const std::string& path) {
    return client().Get(path.c_str(), httplib::Headers{{"Cookie", cookie}});
  }
  // `forwarded`: the X-Forwarded-For a proxy would add.
  httplib::Result Login(const std::string& user, const std::string& password,
                        const std::string& forwarded = "") {
    httplib::Headers headers;
    if (!forwarded.empty()) headers.emplace("X-Forwarded-For", forwarded);
    auto result = client().Post("/api/login", headers, json{{"user", user}, {"password", password}}.dump(),
                                "application/json");
    if (result && result->status == 200) {
      std::string set = result->get_header_value("Set-Cookie");
      cookie = set.substr(0, set.find(';'));
      token = json::parse(result->body)["token"];
    }
    return result;
  }
  korvweb::App& app() { return *app_; }
  int port() const { return port_; }
  // Reads the session's event stream while `more` says so.
  void Stream(const std::function<bool(const std::string&)>& more) {
    client().Get("/api/events", httplib::Headers{{"Cookie", cookie}},
                 [&](const char* data, std::size_t length) { return more(std::string(data, length)); });
  }

  std::atomic<std::int64_t> now{1000};
  std::string cookie;
  std::string token;

 private:
  httplib::Client client() { return httplib::Client("127.0.0.1", port_); }
  std::unique_ptr<korvweb::GateServer> server_;
  std::unique_ptr<korvweb::App> app_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread listen_, pump_;
};

TEST(KorvwebApi, LoginRefusalsReadAlikeAndSlowGuessesPerAccountAndClient) {
  std::vector<std::string> refusals;
  for (char result : {'\1', '\2'}) {
    auto daemon = std::make_unique<FakeDaemon>([result](FakeDaemon& d) {
      d.Read(64);
      d.Write(std::string(1, result));
    });
    korvweb::Config config;
    config.trusted_proxy = "127.0.0.1";
    WebHarness web(daemon->port(), config);
    auto refused = web.Login("admin", "hunter2", "192.0.2.9, 10.0.0.1");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_FALSE(refused->has_header("Set-Cookie"));
    refusals.push_back(refused->body);
    daemon.reset();  // later logins that get past the throttle find no daemon
    const std::pair<const char*, const char*> kTries[] = {
        {"admin", "10.0.0.2"}, {"other", "10.0.0.1"}, {"other", "10.0.0.3"}};
    std::vector<int> statuses;
    for (auto [user, client] : kTries) statuses.push_back(web.Login(user, "x", client)->status);
    EXPECT_EQ(statuses, (std::vector<int>{429, 429, 502}));
    EXPECT_TRUE(Has(web.Login("admin", "x", "10.0.0.4")->body, "too many failed logins; try again in 1 s"));
  }
  EXPECT_EQ(refusals[0], refusals[1]);
  EXPECT_EQ(json::parse(refusals[0]), json::parse(R"({"error":"login refused: wrong user name or password","result":2})"));
  // Only the trusted proxy names the client, by the address it added last.
  const std::tuple<const char*, const char*, const char*, const char*> kAddresses[] = {
      {"127.0.0.1", "127.0.0.1", "1.2.3.4, 10.0.0.9", "10.0.0.9"},
      {"127.0.0.1", "127.0.0.2", "10.0.0.9", "127.0.0.2"},
      {"127.0.0.1", "127.0.0.1", "10.0.0.9; x", "127.0.0.1"},
      {"", "127.0.0.1", "10.0.0.9", "127.0.0.1"}};
  for (auto [proxy, peer, forwarded, client] : kAddresses) {
    httplib::Request req;
    req.remote_addr = peer;
    req.headers.emplace("X-Forwarded-For", forwarded);
    EXPECT_EQ(korvweb::ClientAddress(req, proxy), client) << forwarded;
  }
}

TEST(KorvwebApi, BadBodiesAreRefusedAndAnActionNeedsASession) {
  WebHarness web(1);
  auto form = web.Post("/api/login", json::object());
  EXPECT_EQ(form->status, 400);
  EXPECT_TRUE(Has(form->body, "user is missing"));
  EXPECT_EQ(web.Post("/api/login", {{"user", std::string(32, 'u')}, {"password", "p"}})->status, 400);
  EXPECT_EQ(httplib::Client("127.0.0.1", web.port()).Post("/api/login", "{}", "text/plain")->status, 415);
  auto kick = web.Post("/api/action/kick", {{"id", 1}});
  EXPECT_EQ(kick->status, 401);
  EXPECT_EQ(json::parse(kick->body), json::parse(R"({"error":"not logged in"})"));
  // Logging out without a session is no error.
  EXPECT_EQ(web.Post("/api/logout", json::object())->body, R"({"ok":true,"words":"logged out"})");
}

TEST(KorvwebApi, ThrottleDoublesTheWaitAndForgetsOnSuccess) {
  korvweb::LoginThrottle throttle;
  EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 100), 0);
  for (int i = 0; i < 3; ++i) throttle.Failed("10.0.0.1", 100);
  EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 100), 4);
  EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 103), 1);
  EXPECT_EQ(throttle.WaitLeft("10.0.0.2", 100), 0);
  for (int i = 0; i < 20; ++i) throttle.Failed("10.0.0.1", 100);
  EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 100), 60);
  throttle.Succeeded("10.0.0.1");
  EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 100), 0);
}

TEST(KorvwebApi, KickTravelsAsTheDaemonsBytesAndRefusalsStayHome) {
  std::string kick_text;
  std::optional<std::uint32_t> kick_code;
  FakeDaemon daemon([&](FakeDaemon& d) {
    ASSERT_TRUE(d.Accept(kAccessP));
    kick_code = d.ReadCode();
    kick_text = d.ReadText().value_or("");
    d.Write(korvclient::Notice(0x20, "Bob"));
    // The keep-alive after each command; the second kick fails.
    for (int kick = 0; kick < 2; ++kick) {
      if (kick == 1 && (!d.ReadCode() || !d.ReadText())) return;
      if (d.ReadCode() != kClientKeepAlive) return;
      if (kick == 1) d.Write(korvclient::Notice(0x01));
      d.Write(korvclient::Notice(0x2E));
    }
    d.WaitClosed();
  });
  WebHarness web(daemon.port());
  auto login = web.Login("mod", "secret");
  ASSERT_EQ(login->status, 200) << login->body;
  EXPECT_TRUE(Has(login->get_header_value("Set-Cookie"), "; HttpOnly; SameSite=Strict")) << web.cookie;
  json session = json::parse(login->body);
  EXPECT_FALSE(Has(login->body, "secret"));
  EXPECT_EQ((json{session["allowed"]["kick"], session["allowed"]["stop"]}), (json{true, false}));
  // No token, a foreign content type, bad input, a refused command: none sends a byte.
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", 3}, {"reason", "x"}}, false)->status, 403);
  auto refused = web.Post("/api/action/stop", json::object());
  EXPECT_EQ(refused->status, 403);
  EXPECT_TRUE(Has(refused->body, "refused: this account lacks")) << refused->body;
  for (const json& kick : {json{{"id", "3x"}, {"reason", "x"}}, json{{"id", 3}, {"reason", std::string(201, 'a')}},
                           json{{"id", 3}, {"reason", "a\nb"}}})
    EXPECT_EQ(web.Post("/api/action/kick", kick)->status, 400) << kick;
  EXPECT_EQ(web.Post("/api/action/nope", json::object())->status, 404);
  auto name = web.Post("/api/action/ban_name", {{"text", "Bad,Guy"}});
  EXPECT_EQ(name->status, 400);
  EXPECT_TRUE(Has(name->body, kUnbannableNameText)) << name->body;
  for (const char* file : {"bans", "banned_words", "schedule"})
    EXPECT_EQ(web.Post(std::string("/api/file/") + file, json::object())->body,
              R"({"error":"the upload holds no text"})");
  // Each answer carries the daemon's outcome: success in its words, or the refusal.
  auto sent = web.Post("/api/action/kick", {{"id", 3}, {"reason", "camping"}});
  EXPECT_EQ(sent->body, R"({"ok":true,"sent":"kick","words":"player kicked: Bob"})");
  auto failed = web.Post("/api/action/kick", {{"id", 4}, {"reason", "camping"}});
  EXPECT_EQ(failed->status, 409);
  EXPECT_EQ(failed->body,
            R"x({"error":"the daemon reports: command failed (see its log)","ok":false,"sent":"kick"})x");
  auto events = web.app().sessions().All()[0]->EventsAfter(0, 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].json,
            R"({"code":3203334176,"key":"player_kicked","text":"Bob","words":"player kicked: Bob"})");
  EXPECT_EQ(web.Post("/api/logout", json::object())->status, 200);
  EXPECT_EQ(web.Get("/api/session")->status, 401);
  EXPECT_EQ(kick_code, kClientKickPlayer);
  EXPECT_EQ(kick_text, std::string("3,camping") + '\0');
}

// The player page reads the daemon's report and notes over the session's link;
// hostile names arrive as JSON text; nothing is sent without the letter.
TEST(KorvwebApi, PlayerHistoryAndNotesTravelAsTheDaemonsBytes) {
  const HistoryReport report{"", {{"3c0ffee03c0ffee03c0ffee03c0ffee0", "", 100, 200, 90, {{"\"Bad\\<script>\xff", 100, 200}},
                                   {}, {{100, 190, "Bob", "10.0.0.5"}}, {{150, "kick", "admin", "camping"}}}}};
  std::string received;
  for (std::uint32_t mask : {kAccessP, kAccessB}) {
    FakeDaemon daemon([&](FakeDaemon& d) {
      ASSERT_TRUE(d.Accept(mask));
      for (auto [code, answer] : {std::pair{kClientPlayerHistory, WriteHistoryReport(report)},
                                  {kClientHistoryNote, "error\tno player with the key hash 00 was ever seen"},
                                  {kClientHistoryNote, "history\n"}}) {
        if (d.ReadCode() != code || !d.ReadText()) return;
        d.Write(korvclient::U32(static_cast<std::uint32_t>(answer.size())) + answer);
      }
    });
    WebHarness web(daemon.port());
    auto allowed = json::parse(web.Login("mod", "secret")->body)["allowed"];
    EXPECT_EQ((json{allowed["history"], allowed["note"]}), (json{mask == kAccessP, mask == kAccessP}));
    // Refused here, nothing sent: no query, a blank in the key hash, a note too long for the command, no token.
    for (auto [body, token] : {std::pair{json{{"keyhash", "a b"}, {"text", "x"}}, true},
                               {json{{"keyhash", "ab"}, {"text", std::string(223, 'x')}}, true},
                               {json{{"keyhash", "ab"}, {"text", "x"}}, false}})
      EXPECT_EQ(web.Post("/api/history/note", body, token)->status, token ? 400 : 403);
    EXPECT_EQ(web.Get("/api/history")->status, 400);
    auto history = web.Get("/api/history?q=Bob%20%5Bclan%5D");
    auto refused = web.Post("/api/history/note", {{"keyhash", "00"}, {"text", "seen cheating"}});
    auto added = web.Post("/api/history/note", {{"keyhash", "3c0ffee03c0ffee03c0ffee03c0ffee0"}, {"text", "warned"}});
    web.Post("/api/logout", json::object());
    if (mask != kAccessP) {
      EXPECT_EQ((std::vector{history->status, refused->status, added->status}), (std::vector{403, 403, 403}));
      EXPECT_TRUE(Has(history->body, "refused: this account lacks")) << history->body;
      EXPECT_EQ(daemon.received().size(), 65u);  // the login and its version byte only
      continue;
    }
    EXPECT_EQ(json::parse(history->body), json::parse(R"({"more": false, "players": [{"keyhash": "3c0ffee03c0ffee03c0ffee03c0ffee0",
        "guid": "", "first_seen": 100, "last_seen": 200, "seconds_played": 90, "addresses": [],
        "names": [{"name": "\"Bad\\<script>\u00ff", "first_seen": 100, "last_seen": 200}],
        "sessions": [{"start": 100, "end": 190, "name": "Bob", "address": "10.0.0.5"}],
        "actions": [{"time": 150, "kind": "kick", "who": "admin", "why": "camping"}]}]})"));
    EXPECT_EQ(refused->body, R"({"error":"no player with the key hash 00 was ever seen","ok":false})");
    EXPECT_EQ(added->body, R"({"ok":true,"words":"note added"})");
    received = daemon.received();
  }
  for (const char* text : {"Bob [clan]", "00 seen cheating", "3c0ffee03c0ffee03c0ffee03c0ffee0 warned"})
    EXPECT_TRUE(Has(received, text)) << text;
}

// Enciphered or plain rows, never the password; the player menu's kick and ban reasons.
TEST(KorvwebApi, AccountsShowTheNamesTheDaemonReadsAndTheMenuItsReasons) {
  const std::string rows = EncipherField("alice", 32) + "," + EncipherField("pw", 32) + "," +
                           EncipherField("k1", 33) + ",4128,1\nbob,pw2,,4294967295,0\nshort,row\n";
  FakeDaemon daemon([&](FakeDaemon& d) {
    ASSERT_TRUE(d.Accept());
    if (d.ReadCode() == kClientAccountsDownload) d.Write(korvclient::Frame(rows));
    if (d.ReadCode() == kClientPlayerMenuDownload)
      d.Write(korvclient::Frame("Kick|kick\nTK [tk] \"Team killing\"|kick,ban,3600\r\nHi [hi] \"welcome\"|\n"
                                "Camp [c] \"camping\"|kick\nPb [pb] \"pb_sv_kick %pbid\"|cmd,ban\n"));
    d.WaitClosed();
  });
  WebHarness web(daemon.port());
  ASSERT_EQ(web.Login("admin", "secret")->status, 200);
  auto accounts = web.Get("/api/file/accounts");
  ASSERT_EQ(accounts->status, 200) << accounts->body;
  EXPECT_EQ(json::parse(accounts->body)["rows"], json::parse(R"([
      {"user": "alice", "keyhash": "k1", "access": "sgfiaTmpbuhc +power", "mask": 4128, "enabled": true},
      {"user": "bob", "keyhash": "", "access": "-- admin --", "mask": 4294967295, "enabled": false}])"));
  EXPECT_EQ(json::parse(web.Get("/api/file/player_menu")->body)["reasons"], json::parse(R"([
      {"text": "Team killing", "ban": true, "duration": 3600}, {"text": "camping", "ban": false, "duration": 0}])"));
}

TEST(KorvwebApi, IdleSessionExpiresAndEndsItsDaemonSession) {
  std::atomic<bool> closed{false};
  FakeDaemon daemon([&](FakeDaemon& d) {
    ASSERT_TRUE(d.Accept());
    d.WaitClosed();
    closed = true;
  });
  WebHarness web(daemon.port());
  ASSERT_EQ(web.Login("admin", "secret")->status, 200);
  web.now += 599;
  EXPECT_EQ(web.Get("/api/session")->status, 200);
  web.now += 599;
  // Automatic refreshes (auto=1) are no activity of the administrator.
  EXPECT_EQ(web.Get("/api/session?auto=1")->status, 200);
  web.now += 1;
  // Whether the sweep or the request ends it first, the page reads the same.
  auto expired = web.Get("/api/session");
  EXPECT_EQ(expired->status, 401);
  EXPECT_EQ(json::parse(expired->body), json::parse(R"({"error":"session expired; log in again","relogin":true})"));
  EXPECT_EQ(web.app().sessions().size(), 0u);
  EXPECT_TRUE(korvtest::WaitUntil([&] { return closed.load(); }));
}

// A page reopening its stream within the grace keeps the session; logins in progress count as places.
TEST(KorvwebApi, ClosedPageReleasesItsDaemonSessionAndPlacesAreCapped) {
  std::atomic<bool> closed{false};
  FakeDaemon daemon([&](FakeDaemon& d) {
    ASSERT_TRUE(d.Accept());
    d.WaitClosed();
    closed = true;
  });
  korvweb::Config config;
  config.max_sessions = 1;
  WebHarness web(daemon.port(), config);
  ASSERT_EQ(web.Login("admin", "secret")->status, 200);
  auto full = web.Login("other", "secret");
  EXPECT_EQ(full->status, 503);
  EXPECT_TRUE(Has(full->body, "korvweb already holds its maximum of 1 daemon sessions")) << full->body;
  auto session = web.app().sessions().All()[0];
  for (int page = 0; page < 2; ++page) {
    web.Stream([](const std::string&) { return false; });
    ASSERT_TRUE(korvtest::WaitUntil([&] { return session->PageGoneSince(web.now); }));
    web.now += 29;
    web.app().Pump();
    EXPECT_EQ(web.app().sessions().size(), 1u);
  }
  web.now += 1;
  web.app().Pump();
  EXPECT_TRUE(korvtest::WaitUntil([&] { return closed.load(); }));
  EXPECT_TRUE(Has(web.Get("/api/session")->body, "session expired"));
}

TEST(KorvwebApi, LostDaemonLinkEndsTheSessionInWords) {
  FakeDaemon daemon([&](FakeDaemon& d) { ASSERT_TRUE(d.Accept()); });
  WebHarness web(daemon.port());
  ASSERT_EQ(web.Login("admin", "secret")->status, 200);
  for (const char* path : {"/api/status", "/api/status", "/api/settings"}) {
    auto lost = web.Get(path);
    ASSERT_TRUE(lost) << path;
    EXPECT_EQ(lost->status, 401);
    EXPECT_EQ(json::parse(lost->body)["error"], "the daemon closed this session; log in again");
  }
}

TEST(KorvwebApi, RequestHeadsAndBodiesAreBoundedAndKeptAliveConnectionsServed) {
  korvweb::GateLimits limits;
  limits.head_ms = 300;
  limits.max_head = 1024;
  limits.max_body = 4096;
  WebHarness web(1, {}, limits);
  std::string chunks;
  for (int i = 0; i < 3; ++i) chunks += "7d0\r\n" + std::string(2000, ' ') + "\r\n";
  const std::string kPost = "POST /api/login HTTP/1.1\r\nContent-Type: application/json\r\n";
  const std::pair<std::string, std::string> kCases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n", "HTTP/1.1 408"},
      {"GET / HTTP/1.1\r\nX: " + std::string(2000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
      {kPost + "Content-Length: 5000\r\n\r\n", "HTTP/1.1 413"},
      {kPost + "Content-Encoding: gzip\r\nContent-Length: 2\r\n\r\n{}", "HTTP/1.1 415"},
      {kPost + "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large\r\n"},
      {"GET /api/session HTTP/1.1\r\n\r\nGET /api/session HTTP/1.1\r\nConnection: close\r\n\r\n",
       "not logged in\"}HTTP/1.1 401"}};
  for (const auto& [request, answer] : kCases) {
    korvclient::Client peer;
    ASSERT_TRUE(peer.Connect(web.port()));
    peer.Send(request);
    EXPECT_TRUE(peer.WaitClosed(true));
    EXPECT_TRUE(Has(peer.received(), answer)) << request.substr(0, 60);
  }
}

}  // namespace
}  // namespace korvwebtest
