// The answer to a player-history query, as the daemon sends it and korvctl
// (and later the web console) reads it: one record a line, fields split by
// tabs, the records of a player following its "player" line:
//   history
//   player<TAB>keyhash<TAB>guid<TAB>first seen<TAB>last seen<TAB>seconds played
//   name<TAB>name<TAB>first<TAB>last
//   address<TAB>address<TAB>first<TAB>last
//   session<TAB>start<TAB>end<TAB>name<TAB>address
//   action<TAB>time<TAB>kind<TAB>who<TAB>why
//   more                      (the answer was cut to fit)
// or the one line "error<TAB>message". Times are seconds since the epoch.
// A backslash, tab, line feed or carriage return inside a field travels as
// \\, \t, \n or \r. Both sides use only this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The most bytes of an answer; whole lines past it are left out and "more"
// says so. korvctl accepts replies of up to 64 KiB.
inline constexpr std::size_t kHistoryReplyMax = 60000;

struct HistorySeen {
  std::string text;  // a name or an address
  std::int64_t first = 0;
  std::int64_t last = 0;
  bool operator==(const HistorySeen&) const = default;
};

struct HistorySession {
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::string name;
  std::string address;
  bool operator==(const HistorySession&) const = default;
};

struct HistoryEntry {
  std::int64_t time = 0;
  std::string kind;  // "warning", "kick", "ban", "unban", "note"
  std::string who;   // an account name, or "auto: <cause>"
  std::string why;
  bool operator==(const HistoryEntry&) const = default;
};

// One player; an empty key hash gathers actions on a name or address that
// no recorded player held.
struct HistoryPlayer {
  std::string keyhash;
  std::string guid;
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t seconds = 0;
  std::vector<HistorySeen> names;
  std::vector<HistorySeen> addresses;
  std::vector<HistorySession> sessions;
  std::vector<HistoryEntry> actions;
  bool operator==(const HistoryPlayer&) const = default;
};

struct HistoryReport {
  std::string error;  // not empty: the query was refused, nothing else holds
  std::vector<HistoryPlayer> players;
  bool more = false;  // lines were left out to fit
  bool operator==(const HistoryReport&) const = default;
};

// The text of a report, at most `max_bytes` long (lines that do not fit
// are left out and "more" ends the text).
std::string WriteHistoryReport(const HistoryReport& report,
                               std::size_t max_bytes = kHistoryReplyMax);
// Reads a report; none when a line is not one of the records above, has
// the wrong number of fields or a time that is no number, or a record
// comes before its "player" line.
std::optional<HistoryReport> ReadHistoryReport(std::string_view text);

// The text of a note command: the key hash, a blank, the note.
std::string WriteNoteText(std::string_view keyhash, std::string_view note);
// Splits a note command's text; false when the key hash or the note is
// empty.
bool ReadNoteText(std::string_view text, std::string* keyhash, std::string* note);
