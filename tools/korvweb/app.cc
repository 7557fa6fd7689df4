// The routes of korvweb. Every API request names its browser session by
// cookie; a state-changing one also carries the session's token. Commands
// go to the daemon over that session's own link, only when the account's
// access letters admit them (the daemon would refuse them silently and read
// the text that follows as a new command).
#include "korvweb/app.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <span>
#include <thread>
#include <vector>

#include "core/banned_name.h"
#include "korvctl/ban_list.h"
#include "korvctl/commands.h"
#include "korvctl/context.h"
#include "korvctl/texts.h"
#include "korvweb/account_form.h"
#include "korvweb/ban_form.h"
#include "korvweb/fleet_view.h"
#include "korvweb/history_view.h"
#include "korvweb/json_text.h"
#include "korvweb/page.h"
#include "korvweb/schedule_form.h"
#include "korvweb/settings_form.h"
#include "wire/account_line.h"
#include "wire/ban_text.h"
#include "wire/file_frame.h"
#include "wire/menu_line.h"

namespace korvweb {
namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;
using SessionPtr = std::shared_ptr<WebSession>;

constexpr std::uint32_t C(std::uint32_t n) { return kClientBase + n; }
constexpr std::uint32_t kKeepAlive = C(0x32);

enum class Args { kNone, kText, kName, kMap, kIdleMap, kKick, kBan, kUnban, kSlot, kToPlayer };

struct WebAction {
  std::string_view name;
  std::uint32_t code;
  Args args;
};

constexpr WebAction kActions[] = {
    {"start", C(0x1A), Args::kNone},         {"stop", C(0x1B), Args::kNone},
    {"pause", C(0x1C), Args::kNone},         {"change_map", C(0x1E), Args::kMap},
    {"next_map", C(0x1F), Args::kNone},      {"set_next_map", C(0x20), Args::kMap},
    {"idle_map", C(0x21), Args::kIdleMap},   {"restart_map", C(0x22), Args::kNone},
    {"kick", C(0x23), Args::kKick},          {"disconnect", C(0x24), Args::kSlot},
    {"ban", C(0x25), Args::kBan},            {"unban", C(0x26), Args::kUnban},
    {"clear_bans", C(0x27), Args::kNone},    {"ban_name", C(0x28), Args::kName},
    {"verify_bans", C(0x29), Args::kNone},   {"push_bans", C(0x2A), Args::kNone},
    {"pull_bans", C(0x2B), Args::kNone},     {"say", C(0x2C), Args::kText},
    {"message", C(0x2D), Args::kText},       {"console", C(0x2E), Args::kText},
    {"screenshot", C(0x31), Args::kText},    {"pb_save", C(0x04), Args::kNone},
    {"pb_load", C(0x05), Args::kNone},
    // The game has no private channel: a server message that names the player.
    {"message_player", C(0x2D), Args::kToPlayer},
};

struct WebFile {
  std::string_view name;
  std::uint32_t down;
  std::uint32_t up;  // 0: no upload from the page
};

constexpr WebFile kFiles[] = {
    {"players", C(0x0C), 0},          {"clients", C(0x0D), 0},
    {"bans", C(0x0F), C(0x10)},       {"rotation", C(0x0A), C(0x0B)},
    {"maps", C(0x09), 0},             {"mods", C(0x08), 0},
    {"schedule", C(0x13), C(0x14)},   {"announcements", C(0x16), C(0x17)},
    {"banned_words", C(0x18), C(0x19)}, {"log", C(0x30), 0},
    {"accounts", C(0x11), C(0x12)},         {"player_menu", C(0x0E), 0},
};
constexpr std::uint32_t kSettingsDown = C(0x00), kSettingsUp = C(0x01), kStatusLine = C(0x15);

template <typename Row>
const Row* FindRow(std::span<const Row> rows, std::string_view name) {
  for (const Row& row : rows)
    if (row.name == name) return &row;
  return nullptr;
}

}  // namespace

void Reply(Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Error(Response& res, int status, const std::string& message) {
  Reply(res, status, {{"error", Utf8(message)}});
}

std::string CookieValue(const Request& req) { return CookieIn(req.get_header_value("Cookie"), kCookieName); }

// The session is gone: the page says why and offers to log in again.
void Relogin(Response& res, const char* why, const std::string& detail = "") {
  json body{{"error", why}, {"relogin", true}};
  if (!detail.empty()) body["detail"] = Utf8(detail);
  Reply(res, 401, body);
}

bool ParseBody(const Request& req, Response& res, json* body) {
  if (req.get_header_value("Content-Type").find("application/json") != 0) {
    Error(res, 415, "requests must be sent as application/json");
    return false;
  }
  *body = json::parse(req.body, nullptr, false);
  if (body->is_discarded() || !body->is_object()) {
    Error(res, 400, "the request body is not a JSON object");
    return false;
  }
  return true;
}

// A text field of the request: at most `max` bytes, no control characters,
// none of `forbidden`. False with the reason in `error`.
bool TextField(const json& body, const char* name, std::size_t max, bool required,
               std::string_view forbidden, std::string* out, std::string* error) {
  out->clear();
  if (body.contains(name) && !body[name].is_null()) {
    if (!body[name].is_string()) return *error = std::string(name) + " must be a text", false;
    *out = body[name].get<std::string>();
  }
  if (required && out->empty()) return *error = std::string(name) + " is missing", false;
  if (out->size() > max)
    return *error = std::string(name) + " is longer than " + std::to_string(max) + " bytes", false;
  for (unsigned char c : *out)
    if (c < 0x20 || c == 0x7F || c == 0xFF || forbidden.find(static_cast<char>(c)) != std::string_view::npos)
      return *error = std::string(name) + " holds a character it may not hold", false;
  return true;
}

namespace {

bool IntField(const json& body, const char* name, long low, long high, long fallback, long* out,
              std::string* error) {
  *out = fallback;
  if (!body.contains(name) || body[name].is_null()) return true;
  const json& value = body[name];
  if (value.is_number_integer()) {
    *out = value.get<long>();
  } else if (value.is_string()) {
    std::string text = value.get<std::string>();
    char* end = nullptr;
    *out = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || text.size() > 12 || *end != '\0')
      return *error = std::string(name) + " must be a whole number", false;
  } else {
    return *error = std::string(name) + " must be a whole number", false;
  }
  if (*out < low || *out > high)
    return *error = std::string(name) + " must be from " + std::to_string(low) + " to " +
                    std::to_string(high), false;
  return true;
}

// "map mode mod" as the game takes it; mode and mod default as the in-game
// commands default them. An idle map may be empty: that clears it.
bool MapText(const json& body, bool required, std::string* text, std::string* error) {
  std::string mode, mod;
  if (!TextField(body, "map", 127, required, " ", text, error) ||
      !TextField(body, "mode", 32, false, " ", &mode, error) ||
      !TextField(body, "mod", 64, false, " ", &mod, error))
    return false;
  if (!text->empty() && (!mode.empty() || !mod.empty()))
    *text += " " + (mode.empty() ? "GPM_CQ" : mode) + " " + (mod.empty() ? "bf1942" : mod);
  if (text->size() > 127) return *error = "the map, mode and mod are longer than 127 bytes together", false;
  return true;
}

// The command text of an action from the request; false with a message.
bool BuildText(Args args, const json& body, std::string* text, std::string* error) {
  std::string a, b, c, d, reason;
  long id = 0, duration = 0;
  switch (args) {
    case Args::kNone: return true;
    case Args::kText: return TextField(body, "text", 255, true, "", text, error);
    case Args::kName:
      // The daemon's own check and words come first.
      if (body.contains("text") && body["text"].is_string() &&
          !BannableName(body["text"].get<std::string>()))
        return *error = kUnbannableNameText, false;
      return TextField(body, "text", 255, true, "", text, error);
    case Args::kToPlayer:
      if (!TextField(body, "name", 31, true, "", &a, error) || !TextField(body, "text", 200, true, "", &b, error))
        return false;
      *text = "[KORV] " + a + " " + b;
      return true;
    case Args::kMap:
    case Args::kIdleMap:
      return MapText(body, args == Args::kMap, text, error);
    case Args::kSlot:
      if (!IntField(body, "slot", 1, 16, 0, &id, error)) return false;
      if (id == 0) return *error = "slot is missing", false;
      *text = std::to_string(id);
      return true;
    case Args::kKick:
      if (!body.contains("id")) return *error = "id is missing", false;
      if (!IntField(body, "id", 0, 65535, 0, &id, error) ||
          !TextField(body, "reason", 200, true, "", &reason, error))
        return false;
      *text = std::to_string(id) + "," + reason;
      return true;
    case Args::kUnban:
      if (!TextField(body, "name", 31, false, ",", &a, error) ||
          !TextField(body, "address", 15, false, ",", &b, error) ||
          !TextField(body, "keyhash", 32, false, ",", &c, error) ||
          !TextField(body, "guid", 32, false, ",", &d, error))
        return false;
      if (b.empty() && c.empty() && d.empty())
        return *error = "an unban needs an address, a key hash or a GUID", false;
      *text = a + "," + b + "," + c + "," + d;
      return true;
    case Args::kBan:
      if (!IntField(body, "id", -1, 65535, -1, &id, error) ||
          !IntField(body, "duration", 0, kMaxBanDuration, 0, &duration, error) ||
          !TextField(body, "name", 31, false, "", &a, error) ||
          !TextField(body, "address", 15, false, "", &b, error) ||
          !TextField(body, "keyhash", 32, false, "", &c, error) ||
          !TextField(body, "guid", 32, false, "", &d, error) ||
          !TextField(body, "reason", 120, true, "", &reason, error))
        return false;
      if (id < 0 && b.empty() && c.empty() && d.empty())
        return *error = "a ban needs a player id, an address, a key hash or a GUID", false;
      if (std::optional<std::string> ban = WriteWholeBanText(
              {static_cast<std::int32_t>(id), a, b, c, d, static_cast<std::int32_t>(duration), reason})) {
        *text = *ban;
        return true;
      }
      return *error = "the ban's fields are longer than 255 bytes together", false;
  }
  return false;
}

json FieldsJson(const korvctl::Fields& fields) {
  json object = json::object();
  for (auto& [label, value] : fields) object[korvctl::JsonKey(label)] = Utf8(value);
  return object;
}

json RowsJson(const std::vector<korvctl::Fields>& rows) {
  json array = json::array();
  for (const korvctl::Fields& fields : rows) array.push_back(FieldsJson(fields));
  return array;
}

// Calls `take` with each line of `text`, without its line feed.
template <typename Take>
void ForEachLine(std::string_view text, Take take) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    take(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
}

// The reasons the player menu's kick and ban items give, in its order, for
// the kick and ban dialogs.
json MenuReasonsJson(std::string_view text) {
  json array = json::array();
  ForEachLine(text, [&](std::string_view line) {
    MenuItem item = ParseMenuLine(line);
    if (item.text && !item.text->empty() && (item.kick || item.ban))
      array.push_back({{"text", Utf8(*item.text)}, {"ban", item.ban}, {"duration", item.duration}});
  });
  return array;
}

// Accounts without their password field: name, key hash, access, enabled.
json AccountsJson(std::string_view text) {
  json array = json::array();
  ForEachLine(text, [&](std::string_view line) {
    std::optional<AccountRow> row = SplitAccountRow(line);
    if (!row) return;
    bool plain = false;
    UserAccount account = DecodeAccountRow(*row, &plain);
    array.push_back({{"user", Utf8(account.user_name)}, {"keyhash", Utf8(account.key_hash)},
                     {"access", korvctl::AccessLetters(account.access)}, {"mask", account.access},
                     {"enabled", account.active != 0}});
  });
  return array;
}

json SessionJson(const WebSession& session) {
  json allowed = json::object();
  for (const WebAction& action : kActions)
    allowed[std::string(action.name)] = MaskAdmitsCommand(session.access, action.code);
  for (const WebFile& file : kFiles) {
    allowed["get_" + std::string(file.name)] = MaskAdmitsCommand(session.access, file.down);
    if (file.up) allowed["put_" + std::string(file.name)] = MaskAdmitsCommand(session.access, file.up);
  }
  allowed["status"] = MaskAdmitsCommand(session.access, kStatusLine);
  allowed["history"] = MaskAdmitsCommand(session.access, kClientPlayerHistory);
  allowed["note"] = MaskAdmitsCommand(session.access, kClientHistoryNote);
  return {{"user", Utf8(session.user)},
          {"access", korvctl::AccessLetters(session.access)},
          {"mask", session.access},
          {"token", session.token},
          {"server_running", session.server_running},
          {"allowed", allowed}};
}

// The address of the fleet member `name`; false when there is none.
bool FleetAddress(const std::vector<korvctl::FleetMember>& fleet, const std::string& name,
                  std::string* host, int* port) {
  for (const korvctl::FleetMember& member : fleet)
    if (member.name == name) return *host = member.host, *port = member.port, true;
  return false;
}

}  // namespace

std::string Refusal(const std::string& what, std::uint32_t code) {
  return "refused: this account lacks " + korvctl::AccessNeeded(code) + ", which " + what + " needs";
}

namespace {

// Sends a keep-alive and reads up to its answer, so what the daemon did
// with the bytes before it has been done (a queued command runs before the
// daemon reads the next one); notifications on the way go to the page and
// into `seen`.
bool Confirm(WebSession& session, std::vector<korvctl::Notice>* seen = nullptr) {
  if (!session.link.Send(korvctl::EncodeCommand(kKeepAlive))) return false;
  for (;;) {
    korvctl::Notice notice;
    if (!session.link.ReadNotice(&notice, session.link.timeout_ms())) return false;
    if (notice.code == kNotifyKeepAlive) return true;
    session.Push(NoticeToJson(notice));
    if (seen) seen->push_back(notice);
  }
}

// The daemon's answer to command `code` among the notifications it sent
// before the keep-alive's, added to `body`: 200 with "ok" and its words, or
// 409 with the refusal as "error".
void ReplyOutcome(Response& res, json body, std::uint32_t code, const std::vector<korvctl::Notice>& seen) {
  const korvctl::Subcommand* row = korvctl::SubcommandForCode(code);
  std::string words = "done";
  for (const korvctl::Notice& notice : seen) {
    std::string refusal;
    if (notice.code == kNotifyFailed) refusal = "the daemon reports: command failed (see its log)";
    else if (row && notice.code != 0 && (notice.code == row->already || notice.code == row->not_ok))
      refusal = korvctl::DescribeNotice(notice);
    else if (row && notice.code != 0 && (notice.code == row->ok[0] || notice.code == row->ok[1]))
      words = korvctl::DescribeNotice(notice);
    if (!refusal.empty()) {
      body.update({{"ok", false}, {"error", Utf8(refusal)}});
      return Reply(res, 409, body);
    }
  }
  body.update({{"ok", true}, {"words", Utf8(words)}});
  Reply(res, 200, body);
}

class Routes {
 public:
  explicit Routes(App& app) : app_(app) {}

  // The session of the request, or nullptr with the answer written. A
  // state-changing request must carry the session's token.
  SessionPtr Authenticate(const Request& req, Response& res, bool changes, bool touch) {
    std::string id = CookieValue(req);
    SessionPtr session = app_.sessions().Find(id);
    std::int64_t now = app_.now();
    if (session && now - session->last_active() >= app_.config().idle_seconds) {
      app_.sessions().Remove(session->id, kExpiredText);
      session = nullptr;
    }
    if (!session) {
      // The idle sweep may have ended it a moment before: the same words.
      const char* why = id.empty() ? nullptr : app_.sessions().EndedWhy(id);
      why ? Relogin(res, why) : Error(res, 401, "not logged in");
      return nullptr;
    }
    if (changes && req.get_header_value(kTokenHeader) != session->token) {
      Error(res, 403, "the request lacks this session's token");
      return nullptr;
    }
    bool automatic = req.has_param("auto");
    if (touch && !automatic) session->Touch(now);
    return session;
  }

  void Login(const Request& req, Response& res) {
    json body;
    if (!ParseBody(req, res, &body)) return;
    std::string user, password, error;
    if (!TextField(body, "user", 31, true, "", &user, &error) ||
        !TextField(body, "password", 31, true, "", &password, &error))
      return Error(res, 400, error);
    // A console opened from the fleet page names its server.
    std::string host = app_.config().daemon_host, server;
    int port = app_.config().daemon_port;
    if (!TextField(body, "server", 255, false, "", &server, &error)) return Error(res, 400, error);
    if (!server.empty() && !FleetAddress(app_.config().fleet, server, &host, &port))
      return Error(res, 404, "no server " + server + " in the fleet");
    // Guesses slow down per client and per account, so that neither many
    // addresses nor many accounts speed them up.
    const std::string client = ClientAddress(req, app_.config().trusted_proxy);
    const std::string account = "user:" + user;
    std::int64_t wait = std::max(app_.throttle().WaitLeft(client, app_.now()),
                                 app_.throttle().WaitLeft(account, app_.now()));
    if (wait > 0)
      return Error(res, 429, "too many failed logins; try again in " + std::to_string(wait) + " s");
    if (!app_.sessions().Reserve())
      return Error(res, 503, "korvweb already holds its maximum of " +
                                 std::to_string(app_.config().max_sessions) +
                                 " daemon sessions (max_sessions); log out elsewhere, or wait "
                                 "for closed pages to be released");
    auto session = std::make_shared<WebSession>();
    session->link.set_timeout_ms(app_.config().daemon_timeout_ms);
    bool accepted = session->link.Connect(host, port) && session->link.Login(user, password);
    password.assign(password.size(), '\0');
    if (!accepted) {
      app_.sessions().Unreserve();
      const korvctl::Failure& failure = session->link.failure();
      int result = failure.status - korvctl::kExitLoginBase;
      if (result < 1 || result > 7)
        return Error(res, 502, "cannot reach the daemon: " + failure.message);
      if (result <= 5) {
        app_.throttle().Failed(client, app_.now());
        app_.throttle().Failed(account, app_.now());
      }
      // An unknown name and a wrong password read the same.
      if (result == kLoginBadUser || result == kLoginBadPassword)
        return Reply(res, 401, {{"error", kLoginRefusedText}, {"result", 2}});
      return Reply(res, 401, {{"error", Utf8(failure.message)}, {"result", result}});
    }
    app_.throttle().Succeeded(client);
    app_.throttle().Succeeded(account);
    // A command and its keep-alive go as two small writes: without this the
    // second waits for the daemon's delayed acknowledgement of the first.
    int one = 1;
    ::setsockopt(session->link.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    session->link_fd = session->link.fd();
    session->id = RandomHex(32);
    session->token = RandomHex(32);
    session->user = user;
    session->access = session->link.access();
    session->server_running = session->link.server_running();
    session->Touch(app_.now());
    app_.sessions().Add(session);
    app_.WakePump();
    res.set_header("Set-Cookie", std::string(kCookieName) + "=" + session->id +
                                     "; Path=/; HttpOnly; SameSite=Strict");
    Reply(res, 200, SessionJson(*session));
  }

  // A session already gone is logged out all the same.
  void Logout(const Request& req, Response& res) {
    SessionPtr session = app_.sessions().Find(CookieValue(req));
    if (session && req.get_header_value(kTokenHeader) != session->token)
      return Error(res, 403, "the request lacks this session's token");
    if (session) app_.sessions().Remove(session->id, nullptr);
    res.set_header("Set-Cookie", std::string(kCookieName) +
                                     "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Reply(res, 200, {{"ok", true}, {"words", "logged out"}});
  }

  void Session(const Request& req, Response& res) {
    if (SessionPtr session = Authenticate(req, res, false, true)) Reply(res, 200, SessionJson(*session));
  }

  // Runs `work` with the link held. A lost link ends the session and the
  // page is told so; no request waits on another's longer than the daemon
  // may take to answer.
  template <typename Work>
  void WithLink(const Request& req, Response& res, bool changes, Work work) {
    SessionPtr session = Authenticate(req, res, changes, true);
    if (!session) return;
    std::unique_lock lock(session->link_mutex, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(app_.config().daemon_timeout_ms)))
      return Error(res, 503, "the daemon has not yet answered this session's previous request; try again");
    if (!session->link_lost && work(*session)) {
      session->DrainNotices();
      return;
    }
    // The link failed mid-exchange: its byte stream can no longer be trusted.
    if (!session->link_lost) session->MarkLost();
    std::string detail = session->link.failure().message;
    lock.unlock();
    app_.sessions().Remove(session->id, kDaemonClosedText);
    Relogin(res, kDaemonClosedText, detail);
  }

  void Action(const Request& req, Response& res) {
    const WebAction* action = FindRow<WebAction>(kActions, req.matches[1].str());
    if (!action) return Error(res, 404, "no such action");
    json body;
    if (!ParseBody(req, res, &body)) return;
    WithLink(req, res, true, [&](WebSession& session) {
      if (!MaskAdmitsCommand(session.access, action->code)) {
        Error(res, 403, Refusal(std::string(action->name), action->code));
        return true;
      }
      std::string text, error;
      if (!BuildText(action->args, body, &text, &error)) {
        Error(res, 400, error);
        return true;
      }
      std::string bytes = action->args == Args::kNone ? korvctl::EncodeCommand(action->code)
                                                      : korvctl::EncodeTextCommand(action->code, text);
      std::vector<korvctl::Notice> seen;
      if (!session.link.Send(bytes) || !Confirm(session, &seen)) return false;
      ReplyOutcome(res, {{"sent", action->name}}, action->code, seen);
      return true;
    });
  }

  void Status(const Request& req, Response& res) {
    WithLink(req, res, false, [&](WebSession& session) {
      if (!MaskAdmitsCommand(session.access, kStatusLine)) {
        Error(res, 403, Refusal("the status view", kStatusLine));
        return true;
      }
      std::string line;
      if (!session.link.Send(korvctl::EncodeCommand(kStatusLine)) || !session.link.ReadReply(&line))
        return false;
      Reply(res, 200, {{"raw", Utf8(line)}, {"fields", FieldsJson(korvctl::ParseStatusLine(line))}});
      return true;
    });
  }

  void GetFile(const Request& req, Response& res) {
    const WebFile* file = FindRow<WebFile>(kFiles, req.matches[1].str());
    if (!file) return Error(res, 404, "no such file");
    WithLink(req, res, false, [&](WebSession& session) {
      if (!MaskAdmitsCommand(session.access, file->down)) {
        Error(res, 403, Refusal("this view", file->down));
        return true;
      }
      std::string text;
      if (!session.link.Send(korvctl::EncodeCommand(file->down)) || !session.link.ReadFrame(&text))
        return false;
      json body{{"name", file->name}};
      if (file->name == "players") body["rows"] = RowsJson(korvctl::ParsePlayerList(text));
      else if (file->name == "clients") body["rows"] = RowsJson(korvctl::ParseClientList(text));
      else if (file->name == "bans") body["rows"] = RowsJson(korvctl::ParseBanList(text, std::time(nullptr)));
      else if (file->name == "accounts") body["rows"] = AccountsJson(text);
      else if (file->name == "schedule") body["schedule"] = ScheduleJson(text, std::time(nullptr));
      else if (file->name == "player_menu") body["reasons"] = MenuReasonsJson(text);
      if (file->name == "bans" || file->name != "accounts") body["text"] = Utf8(text);
      Reply(res, 200, body);
      return true;
    });
  }

  void PutFile(const Request& req, Response& res) {
    const WebFile* file = FindRow<WebFile>(kFiles, req.matches[1].str());
    if (!file || file->up == 0) return Error(res, 404, "no such file to upload");
    json body;
    if (!ParseBody(req, res, &body)) return;
    std::string text, error;
    if (!TextField(body, "text", kMaxBody, false, "", &text, &error)) {
      // Lines are the one control character a file may hold.
      if (!body.contains("text") || !body["text"].is_string()) return Error(res, 400, error);
      text = body["text"].get<std::string>();
      for (unsigned char c : text)
        if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F)
          return Error(res, 400, "the file holds a control character");
    }
    // A body that names no text uploads nothing (it would empty the file).
    const bool built = file->name == "accounts" || (file->name == "bans" && body.contains("ban")) ||
                       (file->name == "schedule" && body.contains("events"));
    if (!built && !body.contains("text")) return Error(res, 400, "the upload holds no text");
    if (file->name == "schedule") {
      // Built from the picked fields, or a text checked line by line as the daemon reads it.
      if (body.contains("events") && !ScheduleTextFromEvents(body["events"], std::time(nullptr), &text, &error))
        return Error(res, 400, error);
      if (std::string problem = ScheduleTextProblem(text); !problem.empty()) return Error(res, 400, problem);
    }
    WithLink(req, res, true, [&](WebSession& session) {
      if (!MaskAdmitsCommand(session.access, file->up)) {
        Error(res, 403, Refusal("this change", file->up));
        return true;
      }
      std::vector<korvctl::Notice> seen;
      // One account or one ban at a time, over the file as the daemon has it now.
      bool ban_edit = file->name == "bans" && body.contains("ban");
      if (file->name == "accounts" || ban_edit) {
        std::string current, error;
        if (!session.link.Send(korvctl::EncodeCommand(file->down)) || !session.link.ReadFrame(&current))
          return false;
        if (ban_edit ? !ApplyBanEdit(current, body, std::time(nullptr), &text, &error)
                     : !ApplyAccountEdit(current, body, session.access, &text, &error)) {
          Error(res, 400, error);
          return true;
        }
      }
      if (!session.link.Send(korvctl::EncodeCommand(file->up)) ||
          !session.link.Send(EncodeFileFrame(text)) || !Confirm(session, &seen))
        return false;
      ReplyOutcome(res, {{"saved", file->name}}, file->up, seen);
      return true;
    });
  }

  void GetSettings(const Request& req, Response& res) {
    WithLink(req, res, false, [&](WebSession& session) {
      std::string text;
      if (!session.link.Send(korvctl::EncodeCommand(kSettingsDown)) || !session.link.ReadFrame(&text))
        return false;
      Reply(res, 200, SettingsFormJson(text));
      return true;
    });
  }

  void PutSettings(const Request& req, Response& res) {
    json body;
    if (!ParseBody(req, res, &body)) return;
    WithLink(req, res, true, [&](WebSession& session) {
      std::string text, updated, error;
      if (!session.link.Send(korvctl::EncodeCommand(kSettingsDown)) || !session.link.ReadFrame(&text))
        return false;
      if (!ApplySettingChanges(text, body.contains("values") ? body["values"] : json(), &updated, &error)) {
        Error(res, 400, error);
        return true;
      }
      std::vector<korvctl::Notice> seen;
      if (!session.link.Send(korvctl::EncodeCommand(kSettingsUp)) ||
          !session.link.Send(EncodeFileFrame(updated)) || !Confirm(session, &seen))
        return false;
      ReplyOutcome(res, {{"saved", body["values"].size()}}, kSettingsUp, seen);
      return true;
    });
  }

  // The page's notification stream.
  void Events(const Request& req, Response& res) {
    if (SessionPtr session = Authenticate(req, res, false, false)) StreamEvents(session, app_, req, res);
  }

  void Page(const Request& req, Response& res) {
    const PageFile* file = FindPageFile(req.path);
    if (!file) return Error(res, 404, "not found");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", CacheControlOf(*file, req.path));
    res.set_content(reinterpret_cast<const char*>(file->data), file->size, ContentTypeOf(req.path));
  }

 private:
  App& app_;
};

}  // namespace

// It looks every second whether the page is still there, so that a closed
// page is noticed soon; what was pushed before the session ended still goes out.
void StreamEvents(std::shared_ptr<WebSession> session, App& app, const Request& req, Response& res) {
  std::uint64_t after = session->last_seq();
  std::string last = req.get_header_value("Last-Event-ID");
  if (!last.empty() && last.size() < 20) after = std::strtoull(last.c_str(), nullptr, 10);
  std::uint64_t stream = session->OpenStream();
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [session, after, stream, quiet = -1](std::size_t, httplib::DataSink& sink) mutable {
        std::vector<WebEvent> events = session->EventsAfter(after, quiet < 0 ? 0 : 1000, stream);
        if (!sink.is_writable() || (events.empty() && !session->StreamWanted(stream))) return false;
        std::string out;
        if (events.empty() && (quiet < 0 || ++quiet >= 15)) out = ": keep-alive\n\n", quiet = 0;
        for (const WebEvent& event : events) {
          out += "id: " + std::to_string(event.seq) + "\nevent: notice\ndata: " + event.json + "\n\n";
          after = event.seq;
          quiet = 0;
        }
        return out.empty() || sink.write(out.data(), out.size());
      },
      [session, stream, &app](bool) { session->CloseStream(stream, app.now()); });
}

App::App(Config config, NowFn now)
    : config_(std::move(config)),
      now_(std::move(now)),
      sessions_(config_.max_sessions),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

App::~App() {
  if (wake_ >= 0) ::close(wake_);
}

void App::CloseFleet(bool wait) {
  if (fleet_) fleet_->CloseAll(wait);
}

void App::WakePump() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

std::string CookieIn(std::string_view cookies, std::string_view name) {
  std::string_view rest = cookies;
  while (!rest.empty()) {
    std::size_t end = rest.find(';');
    std::string_view item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    std::string prefix_text = std::string(name) + "=";
    if (item.starts_with(prefix_text)) return std::string(item.substr(prefix_text.size()));
  }
  return "";
}

std::string ClientAddress(const Request& req, const std::string& trusted_proxy) {
  std::size_t count = req.get_header_value_count("X-Forwarded-For");
  if (trusted_proxy.empty() || req.remote_addr != trusted_proxy || count == 0) return req.remote_addr;
  std::string forwarded = req.get_header_value("X-Forwarded-For", count - 1);
  std::size_t comma = forwarded.rfind(',');
  std::string last = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
  std::erase(last, ' ');
  if (last.empty() || last.size() > 45 ||
      last.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos)
    return req.remote_addr;
  return last;
}

// A logged-in console or fleet session never waits for the public
// workers; the console's and the fleet's event streams have their own.
Lane App::LaneOf(std::string_view head) {
  std::string cookies = HeadValue(head, "Cookie");
  std::string id = CookieIn(cookies, kCookieName), fleet_id = CookieIn(cookies, kFleetCookieName);
  bool known = (!id.empty() && sessions_.Find(id)) ||
               (fleet_ && !fleet_id.empty() && fleet_->Knows(fleet_id));
  if (!known) return Lane::kPublic;
  bool stream = head.starts_with("GET /api/events") || head.starts_with("GET /api/fleet/events");
  return stream ? Lane::kStream : Lane::kSession;
}

void App::Register(GateServer& server) {
  auto routes = std::make_shared<Routes>(*this);
  using Handler = void (Routes::*)(const Request&, Response&);
  auto bind = [routes](Handler handler) {
    return [routes, handler](const Request& req, Response& res) { ((*routes).*handler)(req, res); };
  };
  // A body cut at its limit (sent in chunks, with no length to refuse
  // beforehand) is answered here.
  server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
    if (!GateServer::BodyTooLarge()) return httplib::Server::HandlerResponse::Unhandled;
    Error(res, 413, "the request body is larger than " + std::to_string(kMaxBody) + " bytes");
    return httplib::Server::HandlerResponse::Handled;
  }));
  server.Get(R"(/|/index\.html|/(app|style|favicon)(\.[0-9a-f]{12})?\.(js|css|svg))",
             bind(&Routes::Page));
  if (!config_.fleet.empty()) {
    server.Get(R"(/fleet\.html|/fleet(\.[0-9a-f]{12})?\.(js|css))", bind(&Routes::Page));
    fleet_ = std::make_unique<FleetView>(*this);
    fleet_->Register(server, bind(&Routes::Login));
  }
  server.Post("/api/login", bind(&Routes::Login));
  server.Post("/api/logout", bind(&Routes::Logout));
  server.Get("/api/session", bind(&Routes::Session));
  server.Get("/api/events", bind(&Routes::Events));
  server.Get("/api/status", bind(&Routes::Status));
  server.Get(R"(/api/file/([a-z_]+))", bind(&Routes::GetFile));
  server.Post(R"(/api/file/([a-z_]+))", bind(&Routes::PutFile));
  server.Post(R"(/api/action/([a-z_]+))", bind(&Routes::Action));
  server.Get("/api/settings", bind(&Routes::GetSettings));
  server.Post("/api/settings", bind(&Routes::PutSettings));
  RegisterHistory(server, [routes](const Request& req, Response& res, bool changes, const LinkWork& work) {
    routes->WithLink(req, res, changes, work);
  });
}

bool App::Pump() {
  bool busy = false;
  for (const SessionPtr& session : sessions_.All()) {
    std::unique_lock lock(session->link_mutex, std::try_to_lock);
    if (lock.owns_lock()) session->DrainNotices();
    busy = busy || !lock.owns_lock();
  }
  sessions_.ExpireIdle(now_(), config_.idle_seconds, config_.stream_grace_seconds);
  return busy;
}

void App::RunPump(const std::atomic<bool>& stop, int period_ms) {
  while (!stop) {
    // Every link is watched, held by a request or not, so that a
    // notification goes to the pages the moment it comes.
    // A new session wakes it at once, to watch its link too.
    std::vector<pollfd> fds{{wake_, POLLIN, 0}};
    for (const SessionPtr& session : sessions_.All())
      if (int fd = session->link_fd; fd >= 0 && !session->link_lost) fds.push_back({fd, POLLIN, 0});
    int ready = ::poll(fds.data(), fds.size(), period_ms);
    std::uint64_t count = 0;
    if (ready > 0 && fds[0].revents != 0 && ::read(wake_, &count, sizeof count) > 0) --ready;
    // A request that holds a link reads its bytes itself; do not spin on them.
    if (Pump() && ready > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace korvweb
