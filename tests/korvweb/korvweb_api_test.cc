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

namespace korvwebtest {
namespace {

using korvctltest::FakeDaemon;
using korvtest::Has;
using nlohmann::json;

class WebHarness {
 public:
  explicit WebHarness(int daemon_port) {
    korvweb::InitSettingsForm();
    korvweb::Config config{.daemon_port = daemon_port, .idle_seconds = 600, .daemon_timeout_ms = 3000};
    app_ = std::make_unique<korvweb::App>(config, [this] { return now.load(); });
    app_->Register(server_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    listen_ = std::thread([this] { server_.listen_after_bind(); });
    pump_ = std::thread([this] { app_->RunPump(stop_, 20); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~WebHarness() {
    stop_ = true;
    pump_.join();
    for (auto& session : app_->sessions().All()) app_->sessions().Remove(session->id);
    server_.stop();
    listen_.join();
  }
  httplib::Result Post(const std::string& path, const json& body, bool with_token = true) {
    httplib::Headers headers{{"Cookie", cookie}};
    if (with_token) headers.emplace("X-Korv-Token", token);
    return client().Post(path.c_str(), headers, body.dump(), "application/json");
  }
  httplib::Result Get(const std::string& path) {
    return client().Get(path.c_str(), httplib::Headers{{"Cookie", cookie}});
  }
  httplib::Result Login(const std::string& user, const std::string& password) {
    auto result = client().Post("/api/login", json{{"user", user}, {"password", password}}.dump(),
                                "application/json");
    if (result && result->status == 200) {
      std::string set = result->get_header_value("Set-Cookie");
      cookie = set.substr(0, set.find(';'));
      token = json::parse(result->body)["token"];
    }
    return result;
  }
  korvweb::App& app() { return *app_; }

  std::atomic<std::int64_t> now{1000};
  std::string cookie;
  std::string token;

 private:
  httplib::Client client() { return httplib::Client("127.0.0.1", port_); }
  httplib::Server server_;
  std::unique_ptr<korvweb::App> app_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread listen_, pump_;
};

TEST(KorvwebApi, LoginRefusalIsShownInWordsAndSlowsTheAddressDown) {
  FakeDaemon daemon([](FakeDaemon& d) {
    d.Read(64);
    d.Write(std::string(1, '\2'));
  });
  WebHarness web(daemon.port());
  auto refused = web.Login("admin", "hunter2");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(json::parse(refused->body)["result"], 2);
  EXPECT_TRUE(Has(refused->body, "login refused: wrong password")) << refused->body;
  EXPECT_FALSE(Has(refused->body, "hunter2"));
  EXPECT_FALSE(refused->has_header("Set-Cookie"));
  auto again = web.Login("admin", "hunter3");
  EXPECT_EQ(again->status, 429);
  EXPECT_TRUE(Has(again->body, "try again in 1 s")) << again->body;
  // Bodies are checked first, and an action needs a session.
  auto form = web.Post("/api/login", json::object());
  EXPECT_EQ(form->status, 400);
  EXPECT_TRUE(Has(form->body, "user is missing"));
  EXPECT_EQ(web.Post("/api/login", {{"user", std::string(32, 'u')}, {"password", "p"}})->status, 400);
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", 1}})->status, 401);
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
    d.WaitClosed();
  });
  WebHarness web(daemon.port());
  auto login = web.Login("mod", "secret");
  ASSERT_EQ(login->status, 200) << login->body;
  std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_TRUE(Has(cookie, "; HttpOnly")) << cookie;
  EXPECT_TRUE(Has(cookie, "; SameSite=Strict")) << cookie;
  json session = json::parse(login->body);
  EXPECT_FALSE(Has(login->body, "secret"));
  EXPECT_EQ((json{session["allowed"]["kick"], session["allowed"]["stop"]}), (json{true, false}));
  // No token, a foreign content type, bad input, a refused command: none sends a byte.
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", 3}, {"reason", "x"}}, false)->status, 403);
  auto refused = web.Post("/api/action/stop", json::object());
  EXPECT_EQ(refused->status, 403);
  EXPECT_TRUE(Has(refused->body, "refused: this account lacks")) << refused->body;
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", "3x"}, {"reason", "x"}})->status, 400);
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", 3}, {"reason", std::string(201, 'a')}})->status, 400);
  EXPECT_EQ(web.Post("/api/action/kick", {{"id", 3}, {"reason", "a\nb"}})->status, 400);
  EXPECT_EQ(web.Post("/api/action/nope", json::object())->status, 404);
  auto name = web.Post("/api/action/ban_name", {{"text", "Bad,Guy"}});
  EXPECT_EQ(name->status, 400);
  EXPECT_TRUE(Has(name->body, kUnbannableNameText)) << name->body;
  auto sent = web.Post("/api/action/kick", {{"id", 3}, {"reason", "camping"}});
  ASSERT_EQ(sent->status, 200) << sent->body;
  korvtest::WaitUntil([&] { return web.app().sessions().All()[0]->last_seq() != 0; });
  auto events = web.app().sessions().All()[0]->EventsAfter(0, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].json,
            R"({"code":3203334176,"key":"player_kicked","text":"Bob","words":"player kicked: Bob"})");
  EXPECT_EQ(web.Post("/api/logout", json::object())->status, 200);
  EXPECT_EQ(web.Get("/api/session")->status, 401);
  EXPECT_EQ(kick_code, kClientKickPlayer);
  EXPECT_EQ(kick_text, std::string("3,camping") + '\0');
}

// The accounts view shows what the daemon's rows hold (enciphered or plain),
// never the password.
TEST(KorvwebApi, AccountsShowTheNamesTheDaemonReads) {
  const std::string rows = EncipherField("alice", 32) + "," + EncipherField("pw", 32) + "," +
                           EncipherField("k1", 33) + ",4128,1\nbob,pw2,,4294967295,0\nshort,row\n";
  FakeDaemon daemon([&](FakeDaemon& d) {
    ASSERT_TRUE(d.Accept());
    if (d.ReadCode() == kClientAccountsDownload) d.Write(korvclient::Frame(rows));
    d.WaitClosed();
  });
  WebHarness web(daemon.port());
  ASSERT_EQ(web.Login("admin", "secret")->status, 200);
  auto accounts = web.Get("/api/file/accounts");
  ASSERT_EQ(accounts->status, 200) << accounts->body;
  EXPECT_EQ(json::parse(accounts->body)["rows"], json::parse(R"([
      {"user": "alice", "keyhash": "k1", "access": "sgfiaTmpbuhc +power", "mask": 4128, "enabled": true},
      {"user": "bob", "keyhash": "", "access": "-- admin --", "mask": 4294967295, "enabled": false}])"));
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
  auto expired = web.Get("/api/session");
  EXPECT_EQ(expired->status, 401);
  EXPECT_TRUE(Has(expired->body, "expired after being idle")) << expired->body;
  EXPECT_EQ(web.app().sessions().size(), 0u);
  EXPECT_TRUE(korvtest::WaitUntil([&] { return closed.load(); }));
}

}  // namespace
}  // namespace korvwebtest
