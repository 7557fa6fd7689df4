// LoadSchedule, SaveSchedule, ScheduleTick, FireEvent and the pending event.
#include "schedule/schedule.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_state.h"
#include "core/event_times.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "links/player_table.h"
#include "remote/command_queue.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"
#include "wire/schedule_line.h"

namespace {

constexpr unsigned kRestartPause = 3;     // seconds between stop and start


bool IsStart(const ScheduleEvent& e) { return IsStartAction(e.action); }

bool TimeTaken(const ScheduleState& s, int count, std::uint32_t time) {
  for (int i = 0; i < count; ++i)
    if (s.events[i].time == time) return true;
  return false;
}

ScheduleEvent* FindEvent(std::uint32_t time) {
  for (ScheduleEvent& e : MutableSchedule().events) {
    if (e.time == 0) break;
    if (e.time == time) return &e;
  }
  return nullptr;
}

// "[KORV] Server is scheduled to <restart|stop> <when>!", queued like every
// message the daemon sends into the game.
void QueueAnnouncement(bool start, const char* when) {
  char text[kQueuedTextSize];
  std::snprintf(text, sizeof text, "%s Server is scheduled to %s %s!", "[KORV]",
                start ? "restart" : "stop", when);
  QueueCommand(Core().admin_message_style == 1 ? kCmdServerMessage : kCmdSayToAll, text, 0, 0);
}

// The three-, two- and one-minute warnings before the occurrence `next`,
// each once.
void WarnOnce(ScheduleEvent& e, bool start, std::time_t next, std::time_t now) {
  static const char* const kWhen[] = {"", "in one minute or less", "in two minutes",
                                      "in three minutes"};
  double diff = std::difftime(next, now);
  int minutes = diff <= 0 || diff > 180 ? 0 : diff > 120 ? 3 : diff > 60 ? 2 : 1;
  if (minutes == 0 || (e.warned_for == next && e.warned_minutes == minutes)) return;
  e.warned_for = next;
  e.warned_minutes = minutes;
  QueueAnnouncement(start, kWhen[minutes]);
}

// Event files are read by the daemon and the maplist is copied over the
// rotation that clients download: only regular files inside the settings
// directory will do ("*" stands for none). Empty when the path is fine,
// else why it is not.
std::string EventFileProblem(const std::string& path) {
  if (path.empty() || path == "*") return {};
  char resolved[PATH_MAX];
  char dir[PATH_MAX];
  struct stat info;
  if (::realpath(path.c_str(), resolved) == nullptr ||
      ::realpath(Core().settings_dir.c_str(), dir) == nullptr ||
      std::strncmp(resolved, dir, std::strlen(dir)) != 0 || resolved[std::strlen(dir)] != '/' ||
      ::stat(resolved, &info) != 0 || !S_ISREG(info.st_mode))
    return "The file " + path + " is not a regular file in the settings directory.";
  return {};
}

bool FireStartEvent(const ScheduleEvent& e) {
  // A file edited by hand is checked here too.
  for (const std::string* file : {&e.settings_file, &e.maplist_file}) {
    if (std::string problem = EventFileProblem(*file); !problem.empty()) {
      LogMessage(6, "Couldn't execute scheduled start event! %s", problem.c_str());
      return false;
    }
  }
  // "*" stands for no file: a start event needs both.
  const std::string& settings = e.settings_file;
  if (settings.empty() || settings == "*" || !LoadSettings(settings, kAllGroups, 0)) {
    LogMessage(6, "Couldn't execute scheduled start event! Couldn't load the specified server "
               "settings file %s.", settings.c_str());
    return false;
  }
  std::string rotation = Core().settings_dir + "/servermaplist.con";
  const std::string& maplist = e.maplist_file;
  if (maplist.empty() || maplist == "*" ||
      (maplist != rotation && !CopyFile(maplist, rotation))) {
    LogMessage(6, "Couldn't execute scheduled start event! Couldn't load the specified maplist "
               "file %s.", maplist.c_str());
    return false;
  }
  if (Server().server_running) {
    LogMessage(6, "Restarting server per scheduled event.");
    if (Schedule().stop_server != nullptr) Schedule().stop_server(false);
    // The start follows the pause at a later status tick: the loop goes on
    // meanwhile.
    MutableSchedule().start_at = ClockNow() + kRestartPause;
    return true;
  }
  LogMessage(6, "Starting server per scheduled event.");
  // A restart's start still to come launches it with these settings.
  if (Schedule().start_at == 0 && Schedule().start_server != nullptr) Schedule().start_server();
  return true;
}

// The start of a scheduled restart, once its pause is over; dropped when
// the server was started meanwhile.
void RunRestartStart(std::time_t now) {
  ScheduleState& s = MutableSchedule();
  if (s.start_at == 0 || now < s.start_at) return;
  s.start_at = 0;
  if (!Server().server_running && Schedule().start_server != nullptr) Schedule().start_server();
}

// Where the tick's look at the schedule begins: where the last tick ended,
// so that an event due between two ticks fires once however they are
// spaced; on the first tick, or after the clock jumped by more than two
// periods, one period back.
std::time_t LookFrom(std::time_t now, int period) {
  std::time_t last = Schedule().looked_until;
  if (last != 0 && last >= now - 2 * period && last <= now + 2 * period) return last;
  return now - period;
}

void LogDebugEvent(int slot, std::time_t now, std::time_t instant, const char* result) {
  if (Core().debug)
    LogMessage(6, "DEBUG: Event %i, clock=%lu, event=%lu, diff=%.0f, result=%s", slot,
               static_cast<unsigned long>(now), static_cast<unsigned long>(instant),
               std::difftime(instant, now), result);
}

// Carries out one occurrence that fell due; true when it fired at once.
bool RunDueEvent(int slot, std::time_t instant, std::time_t now) {
  const ScheduleEvent& e = Schedule().events[slot];
  bool start = IsStart(e);
  const bool running = Server().server_running;
  bool wait = WaitsForGameEnd(e.action) && running;
  // With restart_when_empty_seconds, a restart while players are on
  // waits for an empty server, at most that long.
  std::int64_t empty_wait = Core().conf.restart_when_empty_seconds;
  if (!wait && start && running && empty_wait > 0 && PlayerCount() > 0) {
    if (Schedule().pending_time == e.time) return false;  // waiting already
    ScheduleState& s = MutableSchedule();
    s.pending_time = e.time;
    s.pending_server_pid = Server().server_pid;
    s.empty_deadline = now + static_cast<std::time_t>(empty_wait);
    LogMessage(6, "Scheduled restart waits for an empty server (%i players on, at most %li "
               "seconds).", PlayerCount(), static_cast<long>(empty_wait));
    return false;
  }
  if (wait) {
    // A later waiting event replaces the pending one.
    ScheduleState& s = MutableSchedule();
    s.pending_time = e.time;
    s.pending_server_pid = Server().server_pid;
    QueueAnnouncement(start, "at the end of this game");
    LogDebugEvent(slot, now, instant, "skipped");
    return false;
  }
  LogDebugEvent(slot, now, instant, "fired");
  FireEvent(e.time);
  return true;
}

void ClearPending() {
  ScheduleState& s = MutableSchedule();
  s.pending_time = 0;
  s.pending_server_pid = 0;
  s.round_end_seen = false;
  s.empty_deadline = 0;
}

// Fills the table (cleared first) from a schedule's text; true when a time
// was moved on to a free second.
bool ReadScheduleText(std::string_view text) {
  ScheduleState& s = MutableSchedule();
  s.events = {};
  int count = 0;
  bool moved = false;
  while (count < kScheduleSlots && !text.empty()) {
    ScheduleEvent e;
    if (!ParseScheduleLine(NextScheduleLine(text), &e)) continue;
    while (TimeTaken(s, count, e.time)) {
      ++e.time;
      moved = true;
    }
    if (e.time == 0) continue;  // moved past the last second of 32 bits
    s.events[count++] = std::move(e);
  }
  return moved;
}

}  // namespace

bool LoadSchedule(const std::string& path) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  std::string text;
  const bool read = ReadStream(file.get(), &text);
  if (!read) SetLastError(errno != 0 ? errno : EIO);
  file.reset();
  const bool moved = ReadScheduleText(text);
  if (!read) {
    LogMessage(6, "Couldn't read event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  if (moved) {
    SaveSchedule(path);
    QueueCommand(kCmdNotifyAll,
                 FormatInteger(static_cast<std::int32_t>(kNotifyScheduleChanged), 10).c_str(), 0,
                 0);
  }
  return true;
}

bool AcceptUploadedSchedule(const std::string& uploaded, const std::string& path) {
  const auto before = Schedule().events;
  bool accepted = LoadSchedule(uploaded);
  for (int i = 0; accepted && i < kScheduleSlots && Schedule().events[i].time != 0; ++i) {
    const ScheduleEvent& e = Schedule().events[i];
    for (const std::string* file : {&e.settings_file, &e.maplist_file}) {
      std::string problem = EventFileProblem(*file);
      if (problem.empty()) continue;
      LogMessage(6, "Couldn't update the event schedule! %s", problem.c_str());
      accepted = false;
      break;
    }
  }
  if (accepted && std::rename(uploaded.c_str(), path.c_str()) != 0) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open event schedule file! %s", ErrorText(LastError()).c_str());
    accepted = false;
  }
  if (!accepted) {
    MutableSchedule().events = before;  // the schedule in force stays
    std::remove(uploaded.c_str());
  }
  return accepted;
}

bool SaveSchedule(const std::string& path) {
  std::string text;
  for (const ScheduleEvent& e : Schedule().events) {
    if (e.time == 0) break;
    text += FormatScheduleLine(e);
  }
  CreateFileWithDirs(path, 0);
  if (!ReplaceFileContents(path, text)) {
    LogMessage(6, "Couldn't open event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

bool ScheduleTick(std::time_t now) {
  const int period = SettingValue(kSetMonitorTimerPeriod);
  const std::time_t from = LookFrom(now, period);
  MutableSchedule().looked_until = std::max(from, now);
  // Every occurrence after `from` up to now is due; they run in time order.
  std::vector<std::pair<std::time_t, int>> due;
  for (int i = 0; i < kScheduleSlots; ++i) {
    ScheduleEvent& e = MutableSchedule().events[i];
    if (e.time == 0) break;
    int code = DayCode(e.day);
    if (e.enabled == 0 || code == kDayNever) continue;
    std::time_t instant = NextFiring(e.time, code, from + 1);
    if (instant != 0 && instant <= now) {
      due.emplace_back(instant, i);
      continue;
    }
    std::time_t next = NextFiring(e.time, code, now + 1);
    bool wait = WaitsForGameEnd(e.action);
    if (next != 0 && Server().server_running && !wait) WarnOnce(e, IsStart(e), next, now);
    LogDebugEvent(i, now, next, "skipped");
  }
  std::sort(due.begin(), due.end());
  bool fired = false;
  for (const auto& [instant, slot] : due) fired = RunDueEvent(slot, instant, now) || fired;
  return fired;
}

bool FireEvent(std::uint32_t time) {
  ScheduleEvent* e = FindEvent(time);
  if (e == nullptr) {
    LogMessage(6, "Couldn't fire scheduled event! Event not found.");
    return false;
  }
  if (IsStart(*e)) {
    if (!FireStartEvent(*e)) return false;
  } else {
    LogMessage(6, "Stopping server per scheduled event.");
    MutableSchedule().start_at = 0;  // a restart's start still to come is off
    if (Schedule().stop_server != nullptr) Schedule().stop_server(false);
  }
  int code = DayCode(e->day);
  if (code == kDayNever) return false;
  e->enabled = code == kDayOnce ? 0 : 1;
  return true;
}

void RunPendingEvent(std::time_t now) {
  RunRestartStart(now);
  const ScheduleState& s = Schedule();
  if (s.pending_time != 0 && s.empty_deadline != 0) {
    bool empty = PlayerCount() == 0;
    bool replaced = Server().server_pid != s.pending_server_pid;
    if (!empty && !replaced && now < s.empty_deadline) return;
    std::uint32_t time = s.pending_time;
    ClearPending();
    LogMessage(6, empty ? "The server is empty: the scheduled restart goes ahead."
                        : "The server did not empty in time: the scheduled restart goes ahead.");
    FireEvent(time);
    return;
  }
  if (s.round_end_seen) {
    std::uint32_t time = s.pending_time;
    ClearPending();
    if (time != 0) FireEvent(time);
    return;
  }
  if (s.pending_time != 0 && Server().server_pid != s.pending_server_pid) {
    std::uint32_t time = s.pending_time;
    ClearPending();
    FireEvent(time);
  }
}

void NoteGameEnded() {
  if (Schedule().pending_time != 0) MutableSchedule().round_end_seen = true;
}

void SetScheduleServerControl(bool (*start)(), bool (*stop)(bool crash_handling)) {
  MutableSchedule().start_server = start;
  MutableSchedule().stop_server = stop;
}
