// The player history's tables and statements on SQLite.
#include "history/history_db.h"

#include <arpa/inet.h>
#include <sqlite3.h>

#include <cctype>
#include <tuple>

namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    // In WAL mode a commit is not synced: a crash of the daemon loses nothing
    // committed, a power cut at most the last commits, and neither damages
    // the file.
    "PRAGMA synchronous=NORMAL;"
    // A small page cache: the idle daemon stays small; the tables a tick
    // touches fit.
    "PRAGMA cache_size=-512;"
    // The WAL is copied back into the file every 600 pages (2.4 MB) rather
    // than every 1000: the tick that does it waits on two syncs of less data
    // (the slowest ticks of 64 players coming and going take a third as long).
    "PRAGMA wal_autocheckpoint=600;"
    "CREATE TABLE IF NOT EXISTS players(id INTEGER PRIMARY KEY, keyhash TEXT NOT NULL UNIQUE, "
    "guid TEXT NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT "
    "NULL, seconds INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS names(player INTEGER NOT NULL, name TEXT NOT NULL, first_seen "
    "INTEGER NOT NULL, last_seen INTEGER NOT NULL, PRIMARY KEY(player, name)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS names_by_name ON names(name);"
    "CREATE TABLE IF NOT EXISTS addresses(player INTEGER NOT NULL, address TEXT NOT NULL, "
    "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, PRIMARY KEY(player, address)) "
    "WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS addresses_by_address ON addresses(address);"
    "CREATE TABLE IF NOT EXISTS sessions(id INTEGER PRIMARY KEY, player INTEGER NOT NULL, "
    "start INTEGER NOT NULL, end INTEGER NOT NULL, name TEXT NOT NULL, address TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sessions_by_player ON sessions(player, start);"
    "CREATE TABLE IF NOT EXISTS actions(id INTEGER PRIMARY KEY, player INTEGER, time INTEGER "
    "NOT NULL, kind TEXT NOT NULL, who TEXT NOT NULL, why TEXT NOT NULL, name TEXT NOT NULL, "
    "address TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS actions_by_player ON actions(player, time);"
    "CREATE INDEX IF NOT EXISTS actions_by_time ON actions(time);";


// The statements, in the order of kStatementText.
constexpr const char* kStatementText[] = {
    // A player first seen (or acted on), and a known one brought up to date:
    // its times, time played and GUID. Plain statements on the key hash's
    // index and the row id: an upsert returning the id costs several times more.
    "INSERT INTO players(keyhash, guid, first_seen, last_seen, seconds) VALUES(?1, ?2, ?3, ?4, ?5)",
    "UPDATE players SET first_seen = min(first_seen, ?2), last_seen = max(last_seen, ?3), "
    "seconds = seconds + ?4, guid = CASE WHEN ?5 <> '' THEN ?5 ELSE guid END WHERE id = ?1",
    // A session's name and address, from its start to its last sight.
    "INSERT INTO names(player, name, first_seen, last_seen) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(player, name) DO UPDATE SET last_seen = max(last_seen, excluded.last_seen), "
    "first_seen = min(first_seen, excluded.first_seen)",
    "INSERT INTO addresses(player, address, first_seen, last_seen) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(player, address) DO UPDATE SET last_seen = max(last_seen, excluded.last_seen), "
    "first_seen = min(first_seen, excluded.first_seen)",
    "INSERT INTO sessions(player, start, end, name, address) VALUES(?1, ?2, ?3, ?4, ?5)",
    "UPDATE sessions SET end = ?3 WHERE player = ?1 AND start = ?2",
    "SELECT player FROM addresses WHERE address = ?1 ORDER BY last_seen DESC LIMIT 1",
    "SELECT player FROM names WHERE name = ?1 ORDER BY last_seen DESC LIMIT 1",
    "INSERT INTO actions(player, time, kind, who, why, name, address) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
    "BEGIN",
    "COMMIT",
    "SELECT id FROM players WHERE keyhash = ?1",
};

bool IsKeyhash(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool IsAddress(std::string_view text) {
  in_addr address{};
  return text.size() < 16 && ::inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

// A LIKE pattern matching names that contain `text`.
std::string ContainsPattern(std::string_view text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

// A statement prepared for one query, finalized at the end of its scope.
struct OneQuery {
  sqlite3_stmt* statement = nullptr;
  ~OneQuery() { sqlite3_finalize(statement); }
};

}  // namespace

enum HistoryDb::Statement : int {
  kPlayerInsert,
  kPlayerUpdate,
  kNameSeen,
  kAddressSeen,
  kSessionStart,
  kSessionEnd,
  kPlayerByAddress,
  kPlayerByName,
  kActionInsert,
  kBegin,
  kCommit,
  kPlayerByKeyhash,
  kStatementCount,
};

std::unique_ptr<HistoryDb> HistoryDb::Open(const std::string& path, Fault* fault,
                                           std::string* message) {
  sqlite3* handle = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
  std::unique_ptr<HistoryDb> db(new HistoryDb(handle));
  if (code != SQLITE_OK) {
    db->Fail(code);
  } else {
    sqlite3_extended_result_codes(handle, 1);
    // A damaged file shows itself on the first read of its header.
    db->Exec(kSchema);
  }
  if (db->fault_ == Fault::kNone) return db;
  *fault = db->fault_;
  *message = db->message_;
  return nullptr;
}

HistoryDb::~HistoryDb() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool HistoryDb::Fail(int code) {
  int primary = code & 0xFF;
  fault_ = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ? Fault::kDamaged
                                                                 : Fault::kUnwritable;
  message_ = db_ != nullptr && sqlite3_errcode(db_) == code ? sqlite3_errmsg(db_)
                                                            : sqlite3_errstr(code);
  return false;
}

bool HistoryDb::Exec(const char* sql) {
  int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return code == SQLITE_OK || Fail(code);
}

sqlite3_stmt* HistoryDb::Prepared(Statement which) {
  static_assert(std::size(kStatementText) == kStatementCount);
  static_assert(std::tuple_size_v<decltype(statements_)> >= kStatementCount);
  sqlite3_stmt*& statement = statements_[static_cast<std::size_t>(which)];
  if (statement == nullptr) {
    int code = sqlite3_prepare_v3(db_, kStatementText[which], -1, SQLITE_PREPARE_PERSISTENT,
                                  &statement, nullptr);
    if (code != SQLITE_OK) {
      Fail(code);
      return nullptr;
    }
  }
  return statement;
}

bool HistoryDb::Step(sqlite3_stmt* statement, bool* row) {
  int code = sqlite3_step(statement);
  *row = code == SQLITE_ROW;
  return code == SQLITE_ROW || code == SQLITE_DONE || Fail(code);
}

bool HistoryDb::Run(Statement which, std::initializer_list<Value> values,
                    std::int64_t* first_column) {
  sqlite3_stmt* statement = Prepared(which);
  if (statement == nullptr) return false;
  int index = 1;
  for (const Value& value : values) {
    if (value.is_null) {
      sqlite3_bind_null(statement, index);
    } else if (value.is_text) {
      sqlite3_bind_text(statement, index, value.text.data(), static_cast<int>(value.text.size()),
                        SQLITE_STATIC);
    } else {
      sqlite3_bind_int64(statement, index, value.number);
    }
    ++index;
  }
  if (first_column != nullptr) *first_column = 0;
  bool row = true, ok = true;
  for (bool first = true; ok && row; first = false) {
    ok = Step(statement, &row);
    if (ok && row && first && first_column != nullptr)
      *first_column = sqlite3_column_int64(statement, 0);
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return ok;
}

bool HistoryDb::Begin() { return Run(kBegin, {}); }
bool HistoryDb::Commit() { return Run(kCommit, {}); }

void HistoryDb::Rollback() {
  ids_.clear();
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

// The player with the write's key hash; one is added (from `first`, with
// `seconds` played) when there is none. *added says which.
bool HistoryDb::FindOrAdd(const HistoryWrite& w, std::int64_t first, std::int64_t seconds,
                          std::int64_t* id, bool* added) {
  if (auto known = ids_.find(w.keyhash); known != ids_.end()) {
    *id = known->second;
    return !(*added = false);
  }
  if (!Run(kPlayerByKeyhash, {w.keyhash}, id)) return false;
  *added = *id == 0;
  if (*added && !Run(kPlayerInsert, {w.keyhash, w.guid, first, w.time, seconds})) return false;
  if (*added) *id = sqlite3_last_insert_rowid(db_);
  if (ids_.size() >= kKnownIdsMax) ids_.clear();
  ids_.emplace(w.keyhash, *id);
  return true;
}

// A session's write: the player (created again when retention took it
// meanwhile), the session, then its name and address.
bool HistoryDb::Progress(const HistoryWrite& w) {
  std::int64_t id = 0;
  bool added = false;
  if (!FindOrAdd(w, w.start, w.seconds, &id, &added) ||
      (!added && !Run(kPlayerUpdate, {id, w.start, w.time, w.seconds, w.guid})))
    return false;
  bool session = w.kind == HistoryWrite::Kind::kStart
                     ? Run(kSessionStart, {id, w.start, w.time, w.name, w.address})
                     : Run(kSessionEnd, {id, w.start, w.time});
  return session && Run(kNameSeen, {id, w.name, w.start, w.time}) &&
         Run(kAddressSeen, {id, w.address, w.start, w.time});
}

// The player an action is on: by key hash (recorded if new), else the last
// one seen at the address or under the name; 0 for none.
bool HistoryDb::ActionPlayer(const HistoryWrite& w, std::int64_t* id) {
  bool added = false;
  if (!w.keyhash.empty()) return FindOrAdd(w, w.time, 0, id, &added);
  if (!w.address.empty() && !Run(kPlayerByAddress, {w.address}, id)) return false;
  if (*id == 0 && !w.name.empty()) return Run(kPlayerByName, {w.name}, id);
  return true;
}

bool HistoryDb::Apply(const HistoryWrite& w) {
  std::int64_t id = 0;
  switch (w.kind) {
    case HistoryWrite::Kind::kStart:
    case HistoryWrite::Kind::kProgress:
      return Progress(w);
    case HistoryWrite::Kind::kAction:
      if (!ActionPlayer(w, &id)) return false;
      return Run(kActionInsert, {id == 0 ? Value::Null() : Value(id), w.time, w.action, w.who,
                                 w.why, w.name, w.address});
  }
  return true;
}

bool HistoryDb::PruneSlice(std::int64_t cutoff, int limit, int* deleted) {
  static constexpr const char* kPrune[] = {
      // Sessions end in the order they began: the oldest are at the head.
      "DELETE FROM sessions WHERE id IN (SELECT id FROM (SELECT id, end FROM sessions ORDER BY "
      "id LIMIT ?2) WHERE end < ?1)",
      "DELETE FROM actions WHERE id IN (SELECT id FROM actions WHERE time < ?1 AND kind <> "
      "'note' LIMIT ?2)",
      "DELETE FROM names WHERE (player, name) IN (SELECT player, name FROM names WHERE "
      "last_seen < ?1 LIMIT ?2)",
      "DELETE FROM addresses WHERE (player, address) IN (SELECT player, address FROM addresses "
      "WHERE last_seen < ?1 LIMIT ?2)",
      "DELETE FROM players WHERE id IN (SELECT id FROM players p WHERE last_seen < ?1 AND NOT "
      "EXISTS (SELECT 1 FROM actions a WHERE a.player = p.id) AND NOT EXISTS (SELECT 1 FROM "
      "sessions s WHERE s.player = p.id) LIMIT ?2)",
  };
  *deleted = 0;
  for (const char* sql : kPrune) {
    OneQuery query;
    int code = sqlite3_prepare_v2(db_, sql, -1, &query.statement, nullptr);
    if (code != SQLITE_OK) return Fail(code);
    sqlite3_bind_int64(query.statement, 1, cutoff);
    sqlite3_bind_int(query.statement, 2, limit);
    bool row = false;
    if (!Step(query.statement, &row)) return false;
    *deleted += sqlite3_changes(db_);
  }
  // A player deleted may come back under another id.
  if (*deleted > 0) ids_.clear();
  return true;
}

bool HistoryDb::KnowsKeyhash(std::string_view keyhash, bool* known) {
  std::int64_t id = 0;
  if (!Run(kPlayerByKeyhash, {keyhash}, &id)) return false;
  *known = id != 0;
  return true;
}

namespace {

// Runs a query with its first parameter a text (or a number when `text` is
// empty) and its second `second`, when given; hands each row to `row`.
template <typename Row>
int EachRow(sqlite3* db, const char* sql, std::string_view text, std::int64_t number, Row row,
            std::string_view second = {}) {
  OneQuery query;
  int code = sqlite3_prepare_v2(db, sql, -1, &query.statement, nullptr);
  if (code != SQLITE_OK) return code;
  if (text.empty()) {
    sqlite3_bind_int64(query.statement, 1, number);
  } else {
    sqlite3_bind_text(query.statement, 1, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  if (!second.empty())
    sqlite3_bind_text(query.statement, 2, second.data(), static_cast<int>(second.size()),
                      SQLITE_TRANSIENT);
  while ((code = sqlite3_step(query.statement)) == SQLITE_ROW) row(query.statement);
  return code == SQLITE_DONE ? SQLITE_OK : code;
}

HistorySeen SeenRow(sqlite3_stmt* s) {
  return {ColumnText(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2)};
}

HistoryEntry ActionRow(sqlite3_stmt* s) {
  return {sqlite3_column_int64(s, 0), ColumnText(s, 1), ColumnText(s, 2), ColumnText(s, 3)};
}

}  // namespace

bool HistoryDb::Matches(std::string_view query, std::vector<std::int64_t>* ids) {
  auto add = [ids](sqlite3_stmt* s) { ids->push_back(sqlite3_column_int64(s, 0)); };
  int code;
  if (IsKeyhash(query)) {
    code = EachRow(db_, "SELECT id FROM players WHERE keyhash = lower(?1)", query, 0, add);
  } else if (IsAddress(query)) {
    code = EachRow(db_, "SELECT player FROM addresses WHERE address = ?1 ORDER BY last_seen "
                        "DESC LIMIT 10", query, 0, add);
  } else {
    // Exact names (case ignored) first, then the most recently seen.
    std::string pattern = ContainsPattern(query);
    code = EachRow(db_, "SELECT player FROM names WHERE name LIKE ?1 ESCAPE '\\' GROUP BY "
                        "player ORDER BY max(lower(name) = lower(?2)) DESC, max(last_seen) DESC "
                        "LIMIT 10", pattern, 0, add, query);
  }
  return code == SQLITE_OK || Fail(code);
}

bool HistoryDb::ReadPlayer(std::int64_t id, HistoryPlayer* p) {
  int code = EachRow(db_, "SELECT keyhash, guid, first_seen, last_seen, seconds FROM players "
                          "WHERE id = ?1", {}, id, [p](sqlite3_stmt* s) {
    p->keyhash = ColumnText(s, 0);
    p->guid = ColumnText(s, 1);
    p->first = sqlite3_column_int64(s, 2);
    p->last = sqlite3_column_int64(s, 3);
    p->seconds = sqlite3_column_int64(s, 4);
  });
  if (code == SQLITE_OK)
    code = EachRow(db_, "SELECT name, first_seen, last_seen FROM names WHERE player = ?1 ORDER "
                        "BY last_seen DESC, first_seen DESC LIMIT 50", {}, id,
                   [p](sqlite3_stmt* s) { p->names.push_back(SeenRow(s)); });
  if (code == SQLITE_OK)
    code = EachRow(db_, "SELECT address, first_seen, last_seen FROM addresses WHERE player = ?1 "
                        "ORDER BY last_seen DESC, first_seen DESC LIMIT 50", {}, id,
                   [p](sqlite3_stmt* s) { p->addresses.push_back(SeenRow(s)); });
  if (code == SQLITE_OK)
    code = EachRow(db_, "SELECT start, end, name, address FROM sessions WHERE player = ?1 ORDER "
                        "BY start DESC, id DESC LIMIT 50", {}, id, [p](sqlite3_stmt* s) {
      p->sessions.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                             ColumnText(s, 2), ColumnText(s, 3)});
    });
  if (code == SQLITE_OK)
    code = EachRow(db_, "SELECT time, kind, who, why FROM actions WHERE player = ?1 ORDER BY "
                        "time DESC, id DESC LIMIT 50", {}, id,
                   [p](sqlite3_stmt* s) { p->actions.push_back(ActionRow(s)); });
  return code == SQLITE_OK || Fail(code);
}

// Actions on an address or name that no recorded player held, gathered
// under a player without a key hash.
bool HistoryDb::ReadUnattached(std::string_view query, HistoryReport* report) {
  HistoryPlayer p;
  int code = EachRow(db_, "SELECT time, kind, who, why FROM actions WHERE player IS NULL AND "
                          "(address = ?1 OR lower(name) = lower(?1)) ORDER BY time DESC, id "
                          "DESC LIMIT 50", query, 0,
                     [&p](sqlite3_stmt* s) { p.actions.push_back(ActionRow(s)); });
  if (code != SQLITE_OK) return Fail(code);
  if (!p.actions.empty()) report->players.push_back(std::move(p));
  return true;
}

bool HistoryDb::Query(std::string_view query, HistoryReport* report) {
  std::vector<std::int64_t> ids;
  if (!Matches(query, &ids)) return false;
  for (std::int64_t id : ids) {
    report->players.emplace_back();
    if (!ReadPlayer(id, &report->players.back())) return false;
  }
  return IsKeyhash(query) || ReadUnattached(query, report);
}
