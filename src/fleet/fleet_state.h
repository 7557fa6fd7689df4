// Fields of the fleet link: the database connection, the events still to
// send, the events fetched and not yet applied, and what was applied last.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "commands/ban_road.h"

struct pg_conn;

// One ban event of the fleet: `id` is the database's (0 until it is there),
// `key` tells a resent event from a new one.
struct FleetEvent {
  std::int64_t id = 0;
  std::string key;
  std::int64_t at = 0;  // when it was made, seconds since the epoch
  BanEvent ban;         // ban.origin: the server that made it
};

struct PgConnCloser {
  void operator()(pg_conn* conn) const;
};

enum class FleetPhase {
  kDown,        // no connection; the next attempt at retry_at
  kConnecting,  // PQconnectPoll until the connection is made
  kReady,       // nothing in flight
  kBusy,        // a query sent, its results not all read
};
enum class FleetQuery { kNone, kSetup, kInsert, kFetch };

struct FleetState {
  /* The settings the link runs with ("" = off) */
  std::string database;
  std::string server;

  /* Connection */
  std::unique_ptr<pg_conn, PgConnCloser> conn;
  FleetPhase phase = FleetPhase::kDown;
  FleetQuery query = FleetQuery::kNone;
  bool want_write = false;  // PQconnectPoll or PQflush waits to write
  bool want_read = false;   // PQconnectPoll waits to read
  bool query_failed = false;
  std::string query_error;
  std::chrono::steady_clock::time_point retry_at{};
  std::chrono::steady_clock::time_point waiting_since{};  // connecting or query sent
  int retry_seconds = 1;
  int reported = 0;  // what the log said last: 0 nothing, 1 up, -1 down

  /* Events */
  std::deque<FleetEvent> outbox;  // this server's, oldest first, as in fleetqueue.con
  std::size_t sending = 0;        // events of the outbox the insert in flight carries
  std::deque<FleetEvent> inbox;   // fetched, in id order, not yet applied
  std::int64_t last_applied = 0;  // as in fleetapplied.con
  bool fetch_needed = false;
};

// The fleet's section of the daemon's state (the one instance).
const FleetState& Fleet();
// Written only inside src/fleet/.
FleetState& MutableFleet();
