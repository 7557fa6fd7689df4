// The fleet page's sessions, poller and routes.
#include "korvweb/fleet_view.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "korvctl/handlers.h"
#include "korvctl/texts.h"
#include "korvweb/json_text.h"

namespace korvweb {

using nlohmann::json;
using SessionPtr = std::shared_ptr<FleetSession>;

namespace {

constexpr std::uint32_t kStatusCode = kClientBase + 0x15;
constexpr std::uint32_t kPlayersCode = kClientBase + 0x0C;
constexpr std::size_t kMaxThreads = 64;

std::string FirstWord(const std::string& text) { return text.substr(0, text.find(' ')); }

}  // namespace

FleetCard CardFromStatus(std::string_view line) {
  using korvctl::FieldValue;
  korvctl::Fields fields = korvctl::ParseStatusLine(line);
  FleetCard card;
  std::string reason = korvctl::Unhealthy(line);
  card.health = reason.empty() ? "healthy" : "unhealthy: " + reason;
  card.players = FieldValue(fields, "Players");
  card.map = FirstWord(FieldValue(fields, "Current map"));
  if (card.map == "-" || card.map == "??") card.map.clear();
  bool running = FieldValue(fields, "Server") == "Running";
  card.state = running ? "running" : "stopped";
  card.words = running ? "Running" : "Stopped";
  if (running && !card.players.empty()) card.words += ", " + card.players + " players";
  if (running && !card.map.empty()) card.words += ", " + card.map;
  std::string crash = FieldValue(fields, "Last crash");
  if (!running) card.alerts.push_back("server down");
  if (running && FieldValue(fields, "Console") != "Connected") card.alerts.push_back("console link down");
  if (!crash.empty() && crash != "?")
    card.alerts.push_back((running ? "crashed at " : "server down after a crash at ") + crash);
  return card;
}

namespace {

FleetCard Unavailable(const std::string& state, const std::string& why) {
  FleetCard card;
  card.state = state;
  card.words = state == "no_access" ? "no access" : "unreachable";
  card.health = card.words;
  card.alerts.push_back(why);
  return card;
}

json CardJson(const korvctl::FleetMember& member, const FleetCard& card) {
  json names = json::array();
  for (const std::string& name : card.names) names.push_back(Utf8(name));
  json alerts = json::array();
  for (const std::string& alert : card.alerts) alerts.push_back(Utf8(alert));
  return {{"name", Utf8(member.name)},
          {"address", member.host + ":" + std::to_string(member.port)},
          {"state", card.state},       {"words", Utf8(card.words)},
          {"players", Utf8(card.players)}, {"map", Utf8(card.map)},
          {"health", Utf8(card.health)}, {"alerts", alerts},
          {"names", names}};
}

}  // namespace

// One member seen by one fleet session: its own daemon link, or the link of
// the console opened on it from the card (an account may log in only once).
struct FleetMemberView {
  const korvctl::FleetMember* member = nullptr;
  std::unique_ptr<korvctl::Link> link;
  std::weak_ptr<WebSession> console;
  bool refused = false;  // the credentials are not valid there
  FleetCard card;
};

struct FleetSession {
  std::string id, token, user, password;
  std::vector<FleetMemberView> members;
  std::shared_ptr<WebSession> feed = std::make_shared<WebSession>();
  std::mutex mutex;  // guards the cards; the links belong to the visit in progress
  std::mutex visit_mutex;
  std::atomic<std::int64_t> last_active{0};
  ~FleetSession() { password.assign(password.size(), '\0'); }

  json Cards() {
    std::lock_guard lock(mutex);
    json cards = json::array();
    for (const FleetMemberView& view : members) cards.push_back(CardJson(*view.member, view.card));
    return cards;
  }
};

namespace {

// The status line (and the player names when the account may read them)
// over `link`; false when the link failed.
bool ReadCard(korvctl::Link& link, FleetCard* card) {
  std::string line, players;
  if (!link.Send(korvctl::EncodeCommand(kStatusCode)) || !link.ReadReply(&line)) return false;
  *card = CardFromStatus(line);
  if (MaskAdmitsCommand(link.access(), kPlayersCode) && card->state == "running") {
    if (!link.Send(korvctl::EncodeCommand(kPlayersCode)) || !link.ReadFrame(&players)) return false;
    for (const korvctl::Fields& row : korvctl::ParsePlayerList(players))
      card->names.push_back(korvctl::FieldValue(row, "Name"));
  }
  return true;
}

// One visit of one member, within `timeout_ms` for each exchange.
FleetCard Visit(FleetSession& session, FleetMemberView& view, int timeout_ms) {
  if (view.refused) return view.card;
  if (std::shared_ptr<WebSession> console = view.console.lock(); console && !console->closed()) {
    // A console request in progress keeps the card as it was.
    std::unique_lock lock(console->link_mutex, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(timeout_ms))) return view.card;
    FleetCard card;
    if (!console->link_lost && ReadCard(console->link, &card)) {
      console->DrainNotices();
      return card;
    }
    // The console's link is broken: it says so to its page, and the next
    // round logs the fleet in again.
    if (!console->link_lost) console->MarkLost();
    view.console.reset();
    return Unavailable("unreachable", console->link.failure().message);
  }
  if (!view.link) {
    view.link = std::make_unique<korvctl::Link>();
    view.link->set_timeout_ms(timeout_ms);
    if (!view.link->Connect(view.member->host, view.member->port) ||
        !view.link->Login(session.user, session.password)) {
      std::unique_ptr<korvctl::Link> failed = std::move(view.link);
      int result = failed->failure().status - korvctl::kExitLoginBase;
      if (result < 1 || result > 7) return Unavailable("unreachable", failed->failure().message);
      // Another session of this account holds the daemon, or it is full: try again later.
      view.refused = result <= kLoginNoAccounts;
      bool wrong = result == kLoginBadUser || result == kLoginBadPassword;
      return Unavailable("no_access", wrong ? kLoginRefusedText : failed->failure().message);
    }
    if (!MaskAdmitsCommand(view.link->access(), kStatusCode)) {
      view.refused = true;
      view.link.reset();
      return Unavailable("no_access", "this account may not read the server's status");
    }
  }
  FleetCard card;
  if (ReadCard(*view.link, &card)) {
    // Other clients' news is not shown on the cards.
    korvctl::Notice notice;
    while (view.link->has_pending()) view.link->ReadNotice(&notice, 0);
    return card;
  }
  std::string why = view.link->failure().message;
  view.link.reset();
  return Unavailable("unreachable", why);
}

// Visits every member at once (at most kMaxThreads threads); pushes the
// cards to the stream when any changed.
void VisitAll(FleetSession& session, int timeout_ms) {
  std::lock_guard visiting(session.visit_mutex);
  std::vector<FleetCard> cards(session.members.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::min(session.members.size(), kMaxThreads); ++t)
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < session.members.size();)
        cards[i] = Visit(session, session.members[i], timeout_ms);
    });
  for (std::thread& thread : threads) thread.join();
  json before = session.Cards();
  {
    std::lock_guard lock(session.mutex);
    for (std::size_t i = 0; i < cards.size(); ++i) session.members[i].card = std::move(cards[i]);
  }
  json after = session.Cards();
  if (after != before) session.feed->Push(json{{"cards", after}}.dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace

FleetView::FleetView(App& app) : app_(app) {
  poller_ = std::thread([this] { PollLoop(); });
}

FleetView::~FleetView() { CloseAll(true); }

void FleetView::CloseAll(bool wait) {
  stop_ = true;
  {
    std::lock_guard lock(mutex_);
    for (const SessionPtr& session : sessions_) End(session);
    sessions_.clear();
  }
  if (wait && poller_.joinable()) poller_.join();
}

// Closes the session's stream and gives back its place; mutex_ held, and
// the caller takes it out of sessions_.
void FleetView::End(const SessionPtr& session) {
  session->feed->Close();
  app_.sessions().Unreserve();
}

bool FleetView::Knows(const std::string& id) {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(sessions_, [&](const SessionPtr& session) { return session->id == id; });
}

void FleetView::PollLoop() {
  while (!stop_) {
    auto wake = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFleetPeriodMs);
    std::vector<SessionPtr> sessions;
    {
      std::lock_guard lock(mutex_);
      std::int64_t now = app_.now();
      // Idle sessions end, and so do those whose page has had no stream for the grace.
      std::erase_if(sessions_, [&](const SessionPtr& session) {
        bool ended = now - session->last_active >= app_.config().idle_seconds ||
                     session->feed->PageGoneSince(now - app_.config().stream_grace_seconds);
        if (ended) End(session);
        return ended;
      });
      sessions = sessions_;
    }
    for (const SessionPtr& session : sessions) VisitAll(*session, app_.config().daemon_timeout_ms);
    while (!stop_ && std::chrono::steady_clock::now() < wake)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

SessionPtr FleetView::Authenticate(const httplib::Request& req, httplib::Response& res, bool changes) {
  std::string id = CookieIn(req.get_header_value("Cookie"), kFleetCookieName);
  SessionPtr found;
  {
    std::lock_guard lock(mutex_);
    for (const SessionPtr& session : sessions_)
      if (!id.empty() && session->id == id) found = session;
  }
  if (!found) return Reply(res, 401, {{"error", "not logged in to the fleet"}}), nullptr;
  if (changes && req.get_header_value(kTokenHeader) != found->token)
    return Reply(res, 403, {{"error", "the request lacks this session's token"}}), nullptr;
  if (!req.has_param("auto")) found->last_active = app_.now();
  return found;
}

void FleetView::Login(const httplib::Request& req, httplib::Response& res) {
  json body = json::parse(req.body, nullptr, false);
  auto text = [&](const char* key) {
    return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                           : std::string();
  };
  auto session = std::make_shared<FleetSession>();
  session->user = text("user");
  session->password = text("password");
  auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F || c == 0xFF; };
  if (session->user.empty() || session->password.empty() || session->user.size() > 31 ||
      session->password.size() > 31 || std::ranges::any_of(session->user + session->password, control))
    return Reply(res, 400, {{"error", "a user and a password of at most 31 bytes, without control "
                                      "characters, are needed"}});
  // Slowed down per client and per account as the console's login is.
  const std::string client = ClientAddress(req, app_.config().trusted_proxy);
  const std::string account = "user:" + session->user;
  std::int64_t wait = std::max(app_.throttle().WaitLeft(client, app_.now()),
                               app_.throttle().WaitLeft(account, app_.now()));
  if (wait > 0)
    return Reply(res, 429,
                 {{"error", "too many failed logins; try again in " + std::to_string(wait) + " s"}});
  // A fleet session holds at most one client place on each daemon: it takes
  // one of korvweb's max_sessions places, as a console session does.
  if (!app_.sessions().Reserve())
    return Reply(res, 503, {{"error", "korvweb already holds its maximum of " +
                                          std::to_string(app_.config().max_sessions) +
                                          " daemon sessions (max_sessions); log out elsewhere"}});
  for (const korvctl::FleetMember& member : app_.config().fleet)
    session->members.push_back({&member, nullptr, {}, false, {}});
  VisitAll(*session, app_.config().daemon_timeout_ms);
  bool accepted = std::any_of(session->members.begin(), session->members.end(),
                              [](const FleetMemberView& view) { return view.card.state != "no_access" &&
                                                                       view.card.state != "unreachable"; });
  if (!accepted) {
    app_.sessions().Unreserve();
    bool refused = std::any_of(session->members.begin(), session->members.end(),
                               [](const FleetMemberView& view) { return view.refused; });
    if (refused) {
      app_.throttle().Failed(client, app_.now());
      app_.throttle().Failed(account, app_.now());
    }
    return Reply(res, 401, {{"error", "no daemon of the fleet accepted these credentials"},
                            {"cards", session->Cards()}});
  }
  app_.throttle().Succeeded(client);
  app_.throttle().Succeeded(account);
  session->id = RandomHex(32);
  session->token = RandomHex(32);
  session->last_active = app_.now();
  {
    std::lock_guard lock(mutex_);
    if (stop_) return End(session), Reply(res, 503, {{"error", "korvweb is stopping"}});
    sessions_.push_back(session);
  }
  res.set_header("Set-Cookie", std::string(kFleetCookieName) + "=" + session->id +
                                   "; Path=/; HttpOnly; SameSite=Strict");
  Reply(res, 200, {{"user", Utf8(session->user)}, {"token", session->token}, {"cards", session->Cards()}});
}

// Opens the console of one member: the fleet's own link to it is closed
// (an account may be logged in only once) and the console's login goes to
// that member; the card then reads through the console's link.
void FleetView::Open(const httplib::Request& req, httplib::Response& res) {
  SessionPtr session = Authenticate(req, res, true);
  if (!session) return;
  json body = json::parse(req.body, nullptr, false);
  std::string name = body.is_object() && body.contains("server") && body["server"].is_string()
                         ? body["server"].get<std::string>() : "";
  std::lock_guard visiting(session->visit_mutex);
  auto view = std::find_if(session->members.begin(), session->members.end(),
                           [&](const FleetMemberView& v) { return v.member->name == name; });
  if (view == session->members.end()) return Reply(res, 404, {{"error", "no server of that name in the fleet"}});
  view->link.reset();
  httplib::Request inner;
  inner.remote_addr = ClientAddress(req, app_.config().trusted_proxy);
  inner.set_header("Content-Type", "application/json");
  inner.body = json{{"user", session->user}, {"password", session->password}, {"server", name}}.dump();
  console_login_(inner, res);
  std::string cookie = res.get_header_value("Set-Cookie");
  std::size_t equals = cookie.find('=');
  if (res.status == 200 && equals != std::string::npos)
    view->console = app_.sessions().Find(cookie.substr(equals + 1, cookie.find(';') - equals - 1));
}

void FleetView::Register(GateServer& server, httplib::Server::Handler login) {
  console_login_ = std::move(login);
  server.Post("/api/fleet/login", [this](const httplib::Request& req, httplib::Response& res) {
    Login(req, res);
  });
  server.Post("/api/fleet/open", [this](const httplib::Request& req, httplib::Response& res) {
    Open(req, res);
  });
  server.Get("/api/fleet", [this](const httplib::Request& req, httplib::Response& res) {
    if (SessionPtr session = Authenticate(req, res, false))
      Reply(res, 200, {{"user", Utf8(session->user)}, {"token", session->token}, {"cards", session->Cards()}});
  });
  server.Get("/api/fleet/events", [this](const httplib::Request& req, httplib::Response& res) {
    if (SessionPtr session = Authenticate(req, res, false)) StreamEvents(session->feed, app_, req, res);
  });
  server.Post("/api/fleet/logout", [this](const httplib::Request& req, httplib::Response& res) {
    SessionPtr session = Authenticate(req, res, true);
    if (!session) return;
    std::lock_guard lock(mutex_);
    if (std::erase(sessions_, session) > 0) End(session);
    res.set_header("Set-Cookie", std::string(kFleetCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Reply(res, 200, {{"ok", true}});
  });
}

}  // namespace korvweb
