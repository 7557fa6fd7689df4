// Recording into the batch, the sessions of the players on the server, the
// tick's write with its time bound, retention, and the database's faults.
#include "history/history.h"

#include <chrono>
#include <cstdio>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/log.h"
#include "core/text.h"
#include "history/history_db.h"
#include "history/history_state.h"

namespace {

// A session is written up to date this often while it runs, so that a
// daemon that dies loses at most this much time played.
constexpr std::int64_t kCheckpointSeconds = 300;
// A session whose player has not been seen in a complete refresh for this
// long (the console down, the server stopped) ends at his last sight.
constexpr std::int64_t kStaleSeconds = 180;
// One tick's write stops after this long; the rest waits for the next.
constexpr auto kWriteBudget = std::chrono::milliseconds(20);
// Writes kept waiting at most; more are dropped (with one log line) until
// the database catches up.
constexpr std::size_t kBatchMax = 100000;
// Old rows are deleted this many per table and tick, hourly once done.
constexpr int kPruneSlice = 500;
constexpr std::int64_t kPruneInterval = 3600;
constexpr std::int64_t kDaySeconds = 86400;

const char* const kKindNames[] = {"warning", "kick", "ban", "unban", "note"};

std::string Known(std::string_view value) {
  return value == "[unknown]" ? std::string() : std::string(value);
}

// Key hashes are hexadecimal: kept in lower case, so that a query in either
// case finds them.
std::string KnownKey(std::string_view keyhash) {
  std::string key = Known(keyhash);
  LowerCase(key);
  return key;
}

HistoryWrite Write(HistoryWrite::Kind kind, std::string keyhash, std::string name,
                   std::string address) {
  HistoryWrite write;
  write.kind = kind;
  write.keyhash = std::move(keyhash);
  write.name = std::move(name);
  write.address = std::move(address);
  return write;
}

void Queue(HistoryWrite write) {
  HistoryState& h = MutableHistory();
  if (h.batch.size() >= kBatchMax) {
    if (!h.batch_full_logged)
      LogMessage(6, "WARNING: The player history is falling behind; new entries are dropped "
                    "until it catches up.");
    h.batch_full_logged = true;
    return;
  }
  h.batch.push_back(std::move(write));
}

// The session's time since it was last written, up to its last sight.
// The first write of a session records it whole: a session shorter than a
// checkpoint costs one write, not two.
void QueueProgress(const std::string& keyhash, OpenSession& s) {
  HistoryWrite write = Write(s.named ? HistoryWrite::Kind::kProgress : HistoryWrite::Kind::kStart,
                             keyhash, s.name, s.address);
  write.guid = s.guid;
  write.start = s.start;
  write.time = s.last_seen;
  write.seconds = s.last_seen - s.written_until;
  s.written_until = s.last_seen;
  s.named = true;
  Queue(std::move(write));
}

void StartSession(const PlayerRecord& player, const std::string& keyhash, std::time_t now) {
  HistoryState& h = MutableHistory();
  h.sessions[keyhash] =
      OpenSession{player.name, player.address, Known(player.pb_guid), now, now, now, false, h.refresh};
}

std::string BadName(std::time_t now) {
  char stamp[32] = "";
  std::tm local{};
  if (::localtime_r(&now, &local) != nullptr)
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return HistoryPath() + ".bad-" + stamp;
}

// Moves the damaged database and its WAL files aside; false when the
// directory refuses.
bool MoveAside(const std::string& path, const std::string& bad) {
  for (const char* suffix : {"-wal", "-shm"})
    if (FileExists(path + suffix)) std::rename((path + suffix).c_str(), (bad + suffix).c_str());
  return std::rename(path.c_str(), bad.c_str()) == 0;
}

void TurnOff(const std::string& reason) {
  HistoryState& h = MutableHistory();
  LogMessage(6, "Couldn't write the player history %s! %s. Player history is off until korvd "
                "starts again.", h.path.c_str(), reason.c_str());
  h.db.reset();
  h.failed = true;
  h.batch.clear();
  h.sessions.clear();
}

// Opens the file, replacing a damaged one once; false (logged) when
// history cannot be kept.
bool OpenFile(std::time_t now) {
  HistoryState& h = MutableHistory();
  HistoryDb::Fault fault = HistoryDb::Fault::kNone;
  std::string message;
  bool existed = FileExists(h.path);
  std::unique_ptr<HistoryDb> db = HistoryDb::Open(h.path, &fault, &message);
  if (!db && fault == HistoryDb::Fault::kDamaged) {
    std::string bad = BadName(now);
    if (!MoveAside(h.path, bad)) return TurnOff(message), false;
    LogMessage(6, "WARNING: The player history %s is damaged (%s); it was moved aside to %s and "
                  "a new one begun.", h.path.c_str(), message.c_str(), bad.c_str());
    db = HistoryDb::Open(h.path, &fault, &message);
  } else if (db && !existed) {
    LogMessage(6, "No player history in %s yet; a new one begun.", h.path.c_str());
  }
  if (!db) return TurnOff(message), false;
  h.db.reset(db.release());
  h.batch_full_logged = false;
  return true;
}

// A failed write: a damaged file is replaced (the batch waits for the new
// one), anything else turns history off.
void HandleFault(std::time_t now) {
  HistoryState& h = MutableHistory();
  HistoryDb::Fault fault = h.db->fault();
  std::string message = h.db->message();
  h.db->Rollback();
  if (fault != HistoryDb::Fault::kDamaged) return TurnOff(message);
  h.db.reset();
  std::string bad = BadName(now);
  if (!MoveAside(h.path, bad)) return TurnOff(message);
  LogMessage(6, "WARNING: The player history %s is damaged (%s); it was moved aside to %s and a "
                "new one begun.", h.path.c_str(), message.c_str(), bad.c_str());
  OpenFile(now);
}

// Writes the batch from its head in one transaction, for at most the
// budget (the whole batch when `whole`).
void WriteBatch(std::time_t now, bool whole) {
  HistoryState& h = MutableHistory();
  if (h.batch.empty()) return;
  const auto start = SteadyNow();
  std::size_t done = 0;
  if (!h.db->Begin()) return HandleFault(now);
  while (done < h.batch.size()) {
    if (!h.db->Apply(h.batch[done])) return HandleFault(now);
    ++done;
    if (!whole && done % 16 == 0 && SteadyNow() - start > kWriteBudget) break;
  }
  if (!h.db->Commit()) return HandleFault(now);
  h.batch.erase(h.batch.begin(), h.batch.begin() + static_cast<std::ptrdiff_t>(done));
  if (h.batch.empty()) h.batch_full_logged = false;
}

// Long sessions are written up to date; sessions not refreshed for a while
// end at their last sight.
void FollowSessions(std::time_t now) {
  auto& sessions = MutableHistory().sessions;
  for (auto it = sessions.begin(); it != sessions.end();) {
    if (now - it->second.last_seen >= kStaleSeconds) {
      QueueProgress(it->first, it->second);
      it = sessions.erase(it);
      continue;
    }
    if (it->second.last_seen - it->second.written_until >= kCheckpointSeconds)
      QueueProgress(it->first, it->second);
    ++it;
  }
}

void PruneIfDue(std::time_t now) {
  HistoryState& h = MutableHistory();
  std::int64_t days = Core().conf.history_retention_days;
  if (days <= 0 || now < h.next_prune || !h.db) return;
  int deleted = 0;
  if (!h.db->Begin() || !h.db->PruneSlice(now - days * kDaySeconds, kPruneSlice, &deleted) ||
      !h.db->Commit())
    return HandleFault(now);
  h.next_prune = deleted > 0 ? now : now + kPruneInterval;
}

// korvd.conf turned history on or off (on SIGHUP).
void FollowConf(std::time_t now) {
  HistoryState& h = MutableHistory();
  bool wanted = Core().conf.history_enabled != 0;
  if (wanted && !h.db && !h.failed && !h.path.empty()) {
    OpenFile(now);
  } else if (!wanted && h.db) {
    CloseHistory();
  }
}

}  // namespace

std::string HistoryPath() { return Core().settings_dir + "/history.db"; }

void OpenHistory(std::time_t now) {
  HistoryState& h = MutableHistory();
  h.path = HistoryPath();
  if (Core().conf.history_enabled != 0) OpenFile(now);
}

bool HistoryOn() { return History().db != nullptr; }

void CloseHistory() {
  HistoryState& h = MutableHistory();
  if (!h.db) return;
  for (auto& [keyhash, session] : h.sessions) QueueProgress(keyhash, session);
  h.sessions.clear();
  WriteBatch(ClockNow(), true);
  h.db.reset();
  h.batch.clear();
}

void RecordPlayersSeen(std::span<const PlayerRecord> players, std::time_t now) {
  if (!HistoryOn()) return;
  HistoryState& h = MutableHistory();
  auto& sessions = h.sessions;
  ++h.refresh;
  for (const PlayerRecord& player : players) {
    std::string keyhash = KnownKey(player.keyhash);
    if (player.name.empty() || keyhash.empty()) continue;
    auto it = sessions.find(keyhash);
    if (it != sessions.end() && it->second.refreshed == h.refresh) continue;  // listed twice
    // A new name or address begins a new session.
    if (it != sessions.end() &&
        (it->second.name != player.name || it->second.address != player.address)) {
      QueueProgress(keyhash, it->second);
      sessions.erase(it);
      it = sessions.end();
    }
    if (it == sessions.end()) {
      StartSession(player, keyhash, now);
      continue;
    }
    it->second.last_seen = now;
    it->second.refreshed = h.refresh;
    if (!Known(player.pb_guid).empty()) it->second.guid = player.pb_guid;
  }
  for (auto it = sessions.begin(); it != sessions.end();) {
    if (it->second.refreshed == h.refresh) {
      ++it;
      continue;
    }
    QueueProgress(it->first, it->second);
    it = sessions.erase(it);
  }
}

void RecordAction(HistoryKind kind, std::string_view name, std::string_view address,
                  std::string_view keyhash, std::string_view who, std::string_view why,
                  std::time_t when) {
  if (!HistoryOn()) return;
  HistoryWrite write =
      Write(HistoryWrite::Kind::kAction, KnownKey(keyhash), Known(name), Known(address));
  // Without a key hash, a player on the server now by address, else by name.
  for (int by_name = 0; by_name < 2 && write.keyhash.empty(); ++by_name)
    for (const auto& [key, session] : History().sessions)
      if (by_name ? !write.name.empty() && session.name == write.name
                  : !write.address.empty() && session.address == write.address)
        write.keyhash = key;
  write.time = when;
  write.action = kKindNames[static_cast<int>(kind)];
  write.who = who;
  write.why = why;
  Queue(std::move(write));
}

void RecordAction(HistoryKind kind, const PlayerRecord& player, std::string_view who,
                  std::string_view why, std::time_t when) {
  RecordAction(kind, player.name, player.address, player.keyhash, who, why, when);
}

void FlushHistory(std::time_t now) {
  FollowConf(now);
  if (!HistoryOn()) return;
  FollowSessions(now);
  WriteBatch(now, false);
  PruneIfDue(now);
}

// Writes the batch and the sessions running now as far as they went, so
// that a query sees the players on the server too.
void WriteEverything(std::time_t now) {
  if (!HistoryOn()) return;
  for (auto& [keyhash, session] : MutableHistory().sessions)
    if (session.last_seen > session.written_until || !session.named)
      QueueProgress(keyhash, session);
  WriteBatch(now, true);
}

HistoryReport QueryHistory(std::string_view query, std::time_t now) {
  HistoryReport report;
  if (query.empty()) {
    report.error = "a name, key hash or address is needed";
    return report;
  }
  WriteEverything(now);
  HistoryState& h = MutableHistory();
  if (!h.db) {
    report.error = "player history is off";
    return report;
  }
  if (!h.db->Query(query, &report)) {
    report = HistoryReport{};
    report.error = "the player history cannot be read: " + h.db->message();
  }
  return report;
}

bool AddHistoryNote(std::string_view keyhash, std::string_view who, std::string_view note,
                    std::time_t now, std::string* error) {
  bool known = false;
  WriteEverything(now);
  HistoryState& h = MutableHistory();
  if (!h.db) {
    *error = "player history is off";
    return false;
  }
  if (!h.db->KnowsKeyhash(KnownKey(keyhash), &known)) {
    *error = "the player history cannot be read: " + h.db->message();
    return false;
  }
  if (!known) {
    *error = "no player with the key hash " + std::string(keyhash) + " was ever seen";
    return false;
  }
  RecordAction(HistoryKind::kNote, "", "", keyhash, who, note, now);
  WriteBatch(now, true);
  return HistoryOn();
}
