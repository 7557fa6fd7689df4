// Fields of the player history: the open database, the writes waiting for
// the next tick, and the sessions of the players on the server now.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class HistoryDb;
// Closes the database (the state section's reset closes it too).
struct HistoryDbCloser {
  void operator()(HistoryDb* db) const;
};

// One write waiting in the batch.
struct HistoryWrite {
  enum class Kind : std::uint8_t {
    kStart,     // a session from `start` to `time` (`seconds` played), written first
    kProgress,  // a session written before runs (or ended) up to `time`; `seconds` more
    kAction,    // a warning, kick, ban, unban or note at `time`
  };
  Kind kind = Kind::kStart;
  std::string keyhash;
  std::string name;
  std::string address;
  std::string guid;
  std::int64_t start = 0;  // the session's start (kStart, kProgress)
  std::int64_t time = 0;
  std::int64_t seconds = 0;
  std::string action;  // kAction: "warning", "kick", "ban", "unban", "note"
  std::string who;
  std::string why;
};

// A player on the server, by key hash.
struct OpenSession {
  std::string name;
  std::string address;
  std::string guid;
  std::int64_t start = 0;
  std::int64_t last_seen = 0;
  std::int64_t written_until = 0;  // the session's end as the database has it
  bool named = false;  // its name and address are written (with its first progress)
  std::uint64_t refreshed = 0;  // the last refresh of the player table that listed it
};

struct HistoryState {
  /* The database: none while history is off or could not be written */
  std::unique_ptr<HistoryDb, HistoryDbCloser> db;
  std::string path;
  // A write failed (a full disk, a read-only file): history stays off until
  // the daemon starts again.
  bool failed = false;

  /* Writes waiting for the next tick, oldest first */
  std::vector<HistoryWrite> batch;
  bool batch_full_logged = false;

  /* Sessions running now */
  std::map<std::string, OpenSession> sessions;
  std::uint64_t refresh = 0;  // refreshes of the player table so far

  /* Retention: when the next slice of old rows is due */
  std::int64_t next_prune = 0;
};

// The player history's section of the daemon's state (the one instance).
const HistoryState& History();
// Written only inside src/history/.
HistoryState& MutableHistory();
