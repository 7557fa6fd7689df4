// The fleet link's state machine over libpq's non-blocking calls, and the
// application of the events other servers made.
#include "fleet/fleet.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/log.h"
#include "core/server_state.h"
#include "core/wake.h"
#include "fleet/fleet_files.h"
#include "fleet/fleet_state.h"
#include "fleet/pq_library.h"
#include "links/links_state.h"

namespace {

constexpr char kChannel[] = "korvd_bans";
constexpr std::size_t kSendBatch = 20;
constexpr int kFetchBatch = 64;
constexpr int kApplyPerPass = 16;

// Both servers of a fleet may create the table at once: the advisory lock
// makes the second wait for the first.
constexpr char kSetupQuery[] =
    "SET client_encoding TO 'LATIN1'; BEGIN; SELECT pg_advisory_xact_lock(1263681348); "
    "CREATE TABLE IF NOT EXISTS korvd_ban_events (id bigserial PRIMARY KEY, "
    "event_key text NOT NULL UNIQUE, origin text NOT NULL, at timestamptz NOT NULL, "
    "kind text NOT NULL CHECK (kind IN ('ban', 'unban')), name text NOT NULL, "
    "address text NOT NULL, keyhash text NOT NULL, guid text NOT NULL, admin text NOT NULL, "
    "ban_time bigint NOT NULL, expiry bigint NOT NULL, reason text NOT NULL, "
    "who text NOT NULL, why text NOT NULL); COMMIT; LISTEN korvd_bans;";

FleetState& F() { return MutableFleet(); }

// A connection or a query that gets no answer this long is given up (the
// events it carried stay queued): a database cut off without a word would
// otherwise hold the link until TCP gives up, hours later.
constexpr auto kAnswerWait = std::chrono::seconds(30);

void LinkDown(const std::string& why) {
  FleetState& f = F();
  f.conn.reset();
  f.phase = FleetPhase::kDown;
  f.query = FleetQuery::kNone;
  f.sending = 0;
  f.want_read = f.want_write = false;
  f.retry_at = SteadyNow() + std::chrono::seconds(f.retry_seconds);
  f.retry_seconds = static_cast<int>(
      std::min<std::int64_t>(f.retry_seconds * 2, Core().conf.fleet_retry_max_seconds));
  if (f.reported == -1) return;
  LogMessage(6, "Fleet: %s the database! %.300s Bans made here wait in fleetqueue.con until it "
                "is back.", f.reported == 1 ? "Lost" : "Couldn't reach", why.c_str());
  f.reported = -1;
}

// libpq's messages run over several lines: one line for the log.
void LinkDownWithError() {
  std::string why;
  for (const char* c = Pq().PQerrorMessage(F().conn.get()); *c != '\0'; ++c) {
    bool blank = *c == ' ' || *c == '\t' || *c == '\n' || *c == '\r';
    if (!blank) why += *c;
    else if (!why.empty() && why.back() != ' ') why += ' ';
  }
  LinkDown(why);
}

void LinkUp() {
  FleetState& f = F();
  f.phase = FleetPhase::kReady;
  f.retry_seconds = 1;
  f.fetch_needed = true;
  if (f.reported == 1) return;
  LogMessage(6, "Fleet: connected to the database as server %s; %zu event(s) to send.",
             f.server.c_str(), f.outbox.size());
  f.reported = 1;
}

void Flush() {
  int result = Pq().PQflush(F().conn.get());
  if (result < 0) return LinkDownWithError();
  F().want_write = result == 1;
}

void Send(const std::string& query, FleetQuery kind) {
  if (!Pq().PQsendQuery(F().conn.get(), query.c_str())) return LinkDownWithError();
  F().query = kind;
  F().phase = FleetPhase::kBusy;
  F().waiting_since = SteadyNow();
  F().query_failed = false;
  Flush();
}

std::string Literal(const std::string& text) {
  char* quoted = Pq().PQescapeLiteral(F().conn.get(), text.c_str(), text.size());
  if (quoted == nullptr) return "''";
  std::string result = quoted;
  Pq().PQfreemem(quoted);
  return result;
}

// The event goes out under the server's name of now, which a restart may
// have changed since it was queued: fetched back, it must be known as its own.
std::string InsertValues(const FleetEvent& e) {
  const BanEvent& b = e.ban;
  std::string values = "(";
  values += Literal(e.key) + ", " + Literal(Fleet().server) + ", to_timestamp(" +
            std::to_string(e.at) + "), '" + (b.unban ? "unban" : "ban") + "'";
  for (const std::string* text : {&b.name, &b.address, &b.keyhash, &b.guid, &b.admin})
    values += ", " + Literal(*text);
  values += ", " + std::to_string(b.ban_time) + ", " + std::to_string(b.expiry) + ", " +
            Literal(b.reason) + ", " + Literal(b.admin) + ", " + Literal(b.reason) + ")";
  return values;
}

// The lock keeps the ids in the order their inserts commit, so that a
// reader that has seen id N never finds a smaller one later; a resent event
// (its key already there) is not inserted twice.
void SendInsert() {
  FleetState& f = F();
  f.sending = std::min(f.outbox.size(), kSendBatch);
  std::string query =
      "BEGIN; LOCK TABLE korvd_ban_events IN EXCLUSIVE MODE; INSERT INTO korvd_ban_events "
      "(event_key, origin, at, kind, name, address, keyhash, guid, admin, ban_time, expiry, "
      "reason, who, why) VALUES ";
  for (std::size_t i = 0; i < f.sending; ++i)
    query += (i == 0 ? "" : ", ") + InsertValues(f.outbox[i]);
  query += std::string(" ON CONFLICT (event_key) DO NOTHING; NOTIFY ") + kChannel + "; COMMIT;";
  Send(query, FleetQuery::kInsert);
}

std::int64_t LastKnownId() {
  const FleetState& f = Fleet();
  return f.inbox.empty() ? f.last_applied : f.inbox.back().id;
}

void SendFetch() {
  F().fetch_needed = false;
  Send("SELECT id, kind, origin, name, address, keyhash, guid, admin, ban_time, expiry, reason "
       "FROM korvd_ban_events WHERE id > " + std::to_string(LastKnownId()) +
       " ORDER BY id LIMIT " + std::to_string(kFetchBatch),
       FleetQuery::kFetch);
}

std::int64_t Number(const PGresult* result, int row, int column) {
  return std::strtoll(Pq().PQgetvalue(result, row, column), nullptr, 10);
}

void TakeFetchedRows(const PGresult* result) {
  const int rows = Pq().PQntuples(result);
  for (int row = 0; row < rows && Pq().PQnfields(result) == 11; ++row) {
    FleetEvent e;
    e.id = Number(result, row, 0);
    BanEvent& b = e.ban;
    b.unban = std::string(Pq().PQgetvalue(result, row, 1)) == "unban";
    std::string* texts[] = {&b.origin, &b.name, &b.address, &b.keyhash, &b.guid, &b.admin};
    for (int i = 0; i < 6; ++i) *texts[i] = Pq().PQgetvalue(result, row, 2 + i);
    b.ban_time = Number(result, row, 8);
    b.expiry = Number(result, row, 9);
    b.reason = Pq().PQgetvalue(result, row, 10);
    F().inbox.push_back(std::move(e));
  }
  if (rows == kFetchBatch) F().fetch_needed = true;
}

void TakeResult(PGresult* result) {
  ExecStatusType status = Pq().PQresultStatus(result);
  if (status == PGRES_TUPLES_OK && F().query == FleetQuery::kFetch) TakeFetchedRows(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !F().query_failed) {
    F().query_failed = true;
    F().query_error = Pq().PQresultErrorMessage(result);
  }
}

void QueryDone() {
  FleetState& f = F();
  if (f.query_failed) return LinkDown(f.query_error);
  FleetQuery done = f.query;
  f.query = FleetQuery::kNone;
  f.phase = FleetPhase::kReady;
  if (done == FleetQuery::kSetup) LinkUp();
  if (done == FleetQuery::kInsert) {
    f.outbox.erase(f.outbox.begin(), f.outbox.begin() + static_cast<long>(f.sending));
    f.sending = 0;
    SaveFleetQueue(f.outbox);
  }
}

// Reads what the database sent: notifications, and the results of the
// query in flight as far as they are complete.
void ReadLink(bool readable, bool writable) {
  PGconn* conn = F().conn.get();
  if (writable && F().want_write) Flush();
  if (F().phase == FleetPhase::kDown) return;
  if (readable && !Pq().PQconsumeInput(conn)) return LinkDownWithError();
  if (Pq().PQstatus(conn) == CONNECTION_BAD) return LinkDownWithError();
  while (PGnotify* notify = Pq().PQnotifies(conn)) {
    F().fetch_needed = true;
    Pq().PQfreemem(notify);
  }
  while (F().phase == FleetPhase::kBusy && !Pq().PQisBusy(conn)) {
    PGresult* result = Pq().PQgetResult(conn);
    if (result == nullptr) {
      QueryDone();
      break;
    }
    TakeResult(result);
    Pq().PQclear(result);
  }
}

void StartConnect() {
  FleetState& f = F();
  std::string error;
  if (LoadPq(&error) == nullptr) return LinkDown(error);
  f.conn.reset(Pq().PQconnectStart(f.database.c_str()));
  if (!f.conn) return LinkDown("Out of memory.");
  if (Pq().PQstatus(f.conn.get()) == CONNECTION_BAD) return LinkDownWithError();
  Pq().PQsetnonblocking(f.conn.get(), 1);
  f.phase = FleetPhase::kConnecting;
  f.waiting_since = SteadyNow();
  f.want_write = true;
  f.want_read = false;
}

void PollConnect() {
  FleetState& f = F();
  switch (Pq().PQconnectPoll(f.conn.get())) {
    case PGRES_POLLING_READING:
      f.want_read = true;
      f.want_write = false;
      return;
    case PGRES_POLLING_WRITING:
      f.want_read = false;
      f.want_write = true;
      return;
    case PGRES_POLLING_OK:
      f.want_read = f.want_write = false;
      Pq().PQsetnonblocking(f.conn.get(), 1);
      return Send(kSetupQuery, FleetQuery::kSetup);
    default:
      return LinkDownWithError();
  }
}

// Events are applied while the ban road can take them: not while the game
// server runs without its console, when every ban would fail.
bool CanApply() { return !Server().server_running || Links().console_connected; }

void ApplyOne(const FleetEvent& e, std::time_t now) {
  const BanEvent& b = e.ban;
  if (b.origin == Fleet().server) return;  // this server's own, applied when it was made
  if (!b.unban && b.expiry != 0 && b.expiry <= now) {
    LogMessage(6, "Fleet: the ban on player %s from fleet server %s has expired already.",
               b.name.c_str(), b.origin.c_str());
    return;
  }
  BanEvent local = b;
  local.admin = b.admin + "@" + b.origin;
  if (!RunBanEvent(local, -1, "fleet server " + b.origin)) {
    LogMessage(6, "Fleet: Couldn't apply the %s of player %s from fleet server %s (event %lli).",
               b.unban ? "unban" : "ban", b.name.c_str(), b.origin.c_str(),
               static_cast<long long>(e.id));
  }
}

void ApplyInbox(std::time_t now) {
  FleetState& f = F();
  for (int applied = 0; applied < kApplyPerPass && !f.inbox.empty() && CanApply(); ++applied) {
    FleetEvent event = std::move(f.inbox.front());
    f.inbox.pop_front();
    ApplyOne(event, now);
    f.last_applied = event.id;
    SaveLastApplied(event.id);
  }
}

int SocketOf() {
  if (!Fleet().conn || Fleet().phase == FleetPhase::kDown) return -1;
  int fd = Pq().PQsocket(Fleet().conn.get());
  return fd >= 0 && fd < FD_SETSIZE ? fd : -1;
}

}  // namespace

std::string FleetServerName() {
  if (!Core().conf.fleet_server.empty()) return Core().conf.fleet_server;
  const std::string& dir = Core().server_dir;
  std::size_t slash = dir.find_last_of('/');
  return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

void StartFleet() {
  FleetState& f = F();
  const std::string& database = Core().conf.fleet_database;
  if (database == f.database && FleetServerName() == f.server) return;
  const bool was_on = !f.database.empty();
  f.conn.reset();
  f.phase = FleetPhase::kDown;
  f.query = FleetQuery::kNone;
  f.sending = 0;
  f.retry_at = {};
  f.retry_seconds = 1;
  f.reported = 0;
  f.database = database;
  f.server = FleetServerName();
  if (database.empty()) return;
  if (!was_on) {
    if (!LoadFleetQueue(&f.outbox)) LogMessage(6, "Couldn't read %s!", FleetQueuePath().c_str());
    f.last_applied = LoadLastApplied();
    f.inbox.clear();
  }
  LogMessage(6, "Fleet: sharing bans as server %s; %zu event(s) queued, last event applied %lli.",
             f.server.c_str(), f.outbox.size(), static_cast<long long>(f.last_applied));
}

void QueueFleetEvent(const BanEvent& event) {
  FleetState& f = F();
  if (f.database.empty() || !event.origin.empty()) return;
  if (f.outbox.size() >= static_cast<std::size_t>(Core().conf.fleet_queue_limit)) {
    LogMessage(6, "WARNING: Fleet: the queue holds %zu events already! The %s of player %s "
                  "stays on this server only.",
               f.outbox.size(), event.unban ? "unban" : "ban", event.name.c_str());
    return;
  }
  FleetEvent queued{.id = 0, .key = NewFleetKey(), .at = ClockNow(), .ban = event};
  queued.ban.origin = f.server;
  f.outbox.push_back(std::move(queued));
  SaveFleetQueue(f.outbox);
  WakeMainLoop();  // sent on the loop's next pass, not after its next wait
}

void WatchFleet(fd_set* read, fd_set* write, long* wait_ms) {
  const FleetState& f = Fleet();
  if (f.database.empty()) return;
  if (f.phase == FleetPhase::kDown) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(f.retry_at - SteadyNow());
    *wait_ms = std::clamp<long>(static_cast<long>(left.count()), 0, *wait_ms);
    return;
  }
  int fd = SocketOf();
  if (fd < 0) return;
  if (f.phase != FleetPhase::kConnecting || f.want_read) FD_SET(fd, read);
  if (f.want_write) FD_SET(fd, write);
}

int ServeFleet(std::time_t now, fd_set* ready, fd_set* writable) {
  const FleetState& f = Fleet();
  if (f.database.empty()) return 0;
  int fd = SocketOf();
  bool readable = fd >= 0 && FD_ISSET(fd, ready);
  bool can_write = fd >= 0 && FD_ISSET(fd, writable);
  if (fd >= 0) {
    FD_CLR(fd, ready);
    FD_CLR(fd, writable);
  }
  if (f.phase == FleetPhase::kDown && SteadyNow() >= f.retry_at) StartConnect();
  if (f.phase == FleetPhase::kConnecting && ((readable && f.want_read) ||
                                             (can_write && f.want_write))) {
    PollConnect();
  } else if (f.phase == FleetPhase::kReady || f.phase == FleetPhase::kBusy) {
    ReadLink(readable, can_write);
  }
  if ((f.phase == FleetPhase::kConnecting || f.phase == FleetPhase::kBusy) &&
      SteadyNow() - f.waiting_since >= kAnswerWait) {
    LinkDown("The database did not answer within 30 seconds.");
  }
  ApplyInbox(now);
  if (f.phase == FleetPhase::kReady && !f.outbox.empty()) {
    SendInsert();
  } else if (f.phase == FleetPhase::kReady && f.fetch_needed) {
    SendFetch();
  }
  return (readable ? 1 : 0) + (can_write ? 1 : 0);
}
