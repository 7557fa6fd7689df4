// korvweb's HTTP side: the page, the JSON API and the notification stream
// of every browser session, each over its own daemon session.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "korvctl/fleet.h"
#include "korvweb/http_gate.h"
#include "korvweb/session.h"

namespace korvweb {

struct Config {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8080;
  std::string daemon_host = "127.0.0.1";
  int daemon_port = 14667;
  int idle_seconds = 1800;     // a session without a request for this long ends
  int daemon_timeout_ms = 5000;
  // Browser sessions at once, each one of the daemon's 16 client places. A
  // fleet session counts as one: it holds at most one place on each daemon.
  std::size_t max_sessions = 8;
  // A session whose page has had no event stream open for this long ends.
  int stream_grace_seconds = 30;
  // The reverse proxy whose X-Forwarded-For names the client ("" none).
  std::string trusted_proxy;
  std::vector<korvctl::FleetMember> fleet = {};  // --fleet: the daemons of the fleet page
};

inline constexpr char kCookieName[] = "korvweb_session";
inline constexpr char kTokenHeader[] = "X-Korv-Token";
// Request bodies above this are refused, however they are sent.
inline constexpr std::size_t kMaxBody = 1u << 20;

// The client of a request: the peer, or where the peer is the trusted
// proxy, the last address its X-Forwarded-For names.
std::string ClientAddress(const httplib::Request& req, const std::string& trusted_proxy);
// The value of cookie `name` in a Cookie header's value ("" when absent).
std::string CookieIn(std::string_view cookies, std::string_view name);

// The words of a refused login, the same for an unknown user and a wrong password.
inline constexpr char kLoginRefusedText[] = "login refused: wrong user name or password";

// The answers and request fields every route shares.
// The JSON answer, never cached; bytes that are not UTF-8 are replaced.
void Reply(httplib::Response& res, int status, const nlohmann::json& body);
// {"error": message}
void Error(httplib::Response& res, int status, const std::string& message);
// The request's JSON object; false with the answer written.
bool ParseBody(const httplib::Request& req, httplib::Response& res, nlohmann::json* body);
// A text field of the request: at most `max` bytes, no control characters,
// none of `forbidden`. False with the reason in `error`.
bool TextField(const nlohmann::json& body, const char* name, std::size_t max, bool required,
               std::string_view forbidden, std::string* out, std::string* error);
// "refused: this account lacks ..., which `what` needs"
std::string Refusal(const std::string& what, std::uint32_t code);

// Work done over the request's own daemon link, held for it; false when the
// link failed mid-exchange (the session ends and the page is told so).
using LinkWork = std::function<bool(WebSession&)>;
using WithLinkFn = std::function<void(const httplib::Request&, httplib::Response&, bool changes,
                                      const LinkWork&)>;

class FleetView;

class App {
 public:
  App(Config config, NowFn now);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  // Installs every route on `server`.
  void Register(GateServer& server);
  // The pool a request head goes to: logged-in ones have their own.
  Lane LaneOf(std::string_view head);
  // One pass of the pump: reads the notifications waiting on every daemon
  // link and ends idle sessions. True when a request held a link.
  bool Pump();
  // Runs Pump until `stop`, waking at most every `period_ms`.
  void RunPump(const std::atomic<bool>& stop, int period_ms);
  // Has the pump look at the sessions again now.
  void WakePump();
  SessionStore& sessions() { return sessions_; }
  const Config& config() const { return config_; }
  std::int64_t now() const { return now_(); }
  LoginThrottle& throttle() { return throttle_; }
  // Ends the fleet page's sessions and streams and stops its poller (with
  // --fleet); with `wait`, also waits for the poller's round in progress.
  void CloseFleet(bool wait = false);

 private:
  Config config_;
  NowFn now_;
  SessionStore sessions_;
  LoginThrottle throttle_;
  int wake_;  // an eventfd the pump also waits on
  std::unique_ptr<FleetView> fleet_;
};

// Streams the session's events to the page (text/event-stream) while the
// stream is wanted; its end starts the page's grace.
void StreamEvents(std::shared_ptr<WebSession> session, App& app, const httplib::Request& req,
                  httplib::Response& res);

}  // namespace korvweb
