// korvweb's HTTP side: the page, the JSON API and the notification stream
// of every browser session, each over its own daemon session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvctl/fleet.h"
#include "korvweb/session.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace korvweb {

struct Config {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8080;
  std::string daemon_host = "127.0.0.1";
  int daemon_port = 14667;
  int idle_seconds = 1800;     // a session without a request for this long ends
  int daemon_timeout_ms = 5000;
  std::size_t max_sessions = 32;
  std::vector<korvctl::FleetMember> fleet = {};  // --fleet: the daemons of the fleet page
};

inline constexpr char kCookieName[] = "korvweb_session";
inline constexpr char kTokenHeader[] = "X-Korv-Token";
// Request bodies above this are refused before they are parsed.
inline constexpr std::size_t kMaxBody = 1u << 20;

class FleetView;

// Streams the session's events to the page (text/event-stream).
void StreamEvents(std::shared_ptr<WebSession> session, const httplib::Request& req,
                  httplib::Response& res);

class App {
 public:
  App(Config config, NowFn now);
  ~App();
  // Installs every route on `server`.
  void Register(httplib::Server& server);
  // One pass of the pump: reads the notifications waiting on every daemon
  // link and ends idle sessions.
  void Pump();
  // Runs Pump until `stop`, waking at most every `period_ms`.
  void RunPump(const std::atomic<bool>& stop, int period_ms);
  SessionStore& sessions() { return sessions_; }
  const Config& config() const { return config_; }
  std::int64_t now() const { return now_(); }
  LoginThrottle& throttle() { return throttle_; }
  // Ends the fleet page's sessions and streams (with --fleet).
  void CloseFleet();

 private:
  Config config_;
  NowFn now_;
  SessionStore sessions_;
  LoginThrottle throttle_;
  std::unique_ptr<FleetView> fleet_;
};

}  // namespace korvweb
