// The player history: every player the daemon sees (key hash, names and
// addresses with first and last time, GUID, sessions and time played) and
// every warning, kick, ban, unban and note, kept in history.db in the
// settings directory. Recording only appends to a batch in memory; the
// status tick writes the batch in one transaction, so the loop never
// waits on the disk for more than a bounded time.
#pragma once

#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "links/links_state.h"
#include "wire/history_text.h"

enum class HistoryKind { kWarning, kKick, kBan, kUnban, kNote };

// history.db in the settings directory.
std::string HistoryPath();

// Opens the history when korvd.conf enables it ([history] enabled). A
// missing file is created, a damaged one moved aside as
// history.db.bad-<time> and replaced, each with a log line; a file that
// cannot be written turns history off with one line. Never stops the
// daemon.
void OpenHistory(std::time_t now);
// Ends the sessions running now at the time their players were last seen,
// writes the whole batch and closes the database (at the daemon's exit).
void CloseHistory();
// True while the database is open.
bool HistoryOn();

// One complete refresh of the player table: players not on the server
// before begin a session, players gone end theirs at their last sight.
// Players without a key hash are not recorded.
void RecordPlayersSeen(std::span<const PlayerRecord> players, std::time_t now);
// An action on a player: `who` is the account name, or "auto: <cause>"
// for the daemon's own. A player is found by key hash, else by the address
// or the name it was last seen with.
void RecordAction(HistoryKind kind, std::string_view name, std::string_view address,
                  std::string_view keyhash, std::string_view who, std::string_view why,
                  std::time_t when);
void RecordAction(HistoryKind kind, const PlayerRecord& player, std::string_view who,
                  std::string_view why, std::time_t when);

// The status tick's write: follows korvd.conf (opens or closes the
// history), brings long sessions up to date, ends sessions not refreshed
// for minutes, writes the batch (what the time bound leaves waits for the
// next tick) and deletes a slice of rows older than the retention.
void FlushHistory(std::time_t now);
// The players a query (a name or part of one, a key hash, an address)
// matches, with the batch written first. The report's error says why
// there is none when history is off.
HistoryReport QueryHistory(std::string_view query, std::time_t now);
// Adds an administrator's note on a recorded player and writes it at
// once; false with the reason in *error.
bool AddHistoryNote(std::string_view keyhash, std::string_view who, std::string_view note,
                    std::time_t now, std::string* error);
