// korvweb's fleet page (with --fleet FILE): one login opens a daemon
// session on every member where the credentials are valid; a poller asks
// each daemon for its status line every 2 seconds, each visit on its own
// thread and bounded by the daemon timeout, and pushes the cards to the
// page's stream whenever one changed. A card opens the full console of its
// server as an ordinary browser session bound to that member.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "korvweb/app.h"

namespace korvweb {

inline constexpr char kFleetCookieName[] = "korvweb_fleet";
inline constexpr int kFleetPeriodMs = 2000;

// One card as JSON: name, address, state (running, stopped, no_access,
// unreachable), words, players, map, health, alerts, names.
struct FleetCard {
  std::string state;
  std::string words;
  std::string players;
  std::string map;
  std::string health;
  std::vector<std::string> alerts;
  std::vector<std::string> names;
};

// The card of a daemon's status line ("Running, 4 of 32 players, el_alamein").
FleetCard CardFromStatus(std::string_view line);

struct FleetSession;

class FleetView {
 public:
  explicit FleetView(App& app);
  ~FleetView();
  // Installs the fleet routes; `login` is the console's login handler,
  // which takes a "server" naming a fleet member.
  void Register(GateServer& server, httplib::Server::Handler login);
  // Ends every fleet session and its streams and stops the poller; with
  // `wait`, waits for the round in progress.
  void CloseAll(bool wait);
  // Whether `id` names a live fleet session.
  bool Knows(const std::string& id);

 private:
  std::shared_ptr<FleetSession> Authenticate(const httplib::Request& req, httplib::Response& res,
                                             bool changes);
  void Login(const httplib::Request& req, httplib::Response& res);
  void Open(const httplib::Request& req, httplib::Response& res);
  void PollLoop();
  void End(const std::shared_ptr<FleetSession>& session);

  App& app_;
  httplib::Server::Handler console_login_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<FleetSession>> sessions_;
  std::atomic<bool> stop_{false};
  std::thread poller_;
};

}  // namespace korvweb
