// Lines of the event schedule, serverschedule.con:
// "time,action,day,settings,maplist,enabled". The daemon keeps the
// schedule; korvctl shows it. Both read it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t kMaxActionText = 19;
inline constexpr std::size_t kMaxDayText = 15;
inline constexpr std::size_t kMaxEventPath = 4095;
// A line is read into 1024 bytes; the rest of a longer line is skipped.
inline constexpr std::size_t kScheduleLineLimit = 1024;

// The fields of one line.
struct ScheduleLine {
  std::uint32_t time = 0;    // seconds since the epoch; repeating: its time of day counts
  std::string action;        // "start..." starts or restarts, anything else stops
  std::string day;           // day keyword (see core/event_times.h)
  std::string settings_file; // loaded by a start event
  std::string maplist_file;  // copied over servermaplist.con by a start event
  std::int32_t enabled = 0;  // a one-shot event is disabled once it fired
};

// Reads one line (its line end and anything after a NUL ignored). False
// when a field is missing or empty, or the time is not a number of 1 to 32
// bits; texts longer than their fields are cut.
bool ParseScheduleLine(std::string_view line, ScheduleLine* event);
// The line of an event, with its line end; "*" for an empty path.
std::string FormatScheduleLine(const ScheduleLine& event);
// True for an action that starts or restarts the server ("start..." in
// any case).
bool IsStartAction(std::string_view action);
// True for an event that waits for the end of the running game.
bool WaitsForGameEnd(std::string_view action);

// The next line of a schedule's text, taken off its front, as the daemon
// reads its file: at most 1023 characters with the line feed; the rest of
// a longer line is dropped.
std::string_view NextScheduleLine(std::string_view& text);
