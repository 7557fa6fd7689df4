// LoadSchedule, SaveSchedule, ScheduleTick, FireEvent and the pending event.
#include "schedule/schedule.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "core/core_state.h"
#include "core/event_times.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "links/player_table.h"
#include "remote/command_queue.h"
#include "settings/settings_files.h"
#include "settings/settings_table.h"

namespace {

constexpr std::size_t kLineLimit = 1024;  // a line is read into 1024 bytes
constexpr unsigned kRestartPause = 3;     // seconds between stop and start

bool (*g_start)() = nullptr;
bool (*g_stop)(bool crash_handling) = nullptr;
void (*g_wait)(unsigned seconds) = nullptr;
std::time_t (*g_clock)() = nullptr;

std::time_t Now() { return g_clock != nullptr ? g_clock() : std::time(nullptr); }

void Wait(unsigned seconds) {
  if (g_wait != nullptr) {
    g_wait(seconds);
  } else {
    ::sleep(seconds);
  }
}

bool IsStart(const ScheduleEvent& e) { return ::strncasecmp(e.action.c_str(), "start", 5) == 0; }

// Reads the rest of an over-long line, so that its tail is not taken for
// a line of its own.
void SkipRestOfLine(std::FILE* file) {
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') {
  }
}

// Cuts "time,action,day,settings,maplist,enabled"; false when a field is
// missing or empty, or the time is not a number of 1 to 32 bits.
bool ParseEventLine(std::string line, ScheduleEvent* e) {
  // A line ends at a NUL: what follows could never be written back.
  line.erase(std::min(line.find('\0'), line.size()));
  TrimLineEnd(line);
  std::vector<std::string_view> fields;
  std::string_view rest = line;
  for (int i = 0; i < 5; ++i) {
    std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return false;
    fields.push_back(rest.substr(0, comma));
    rest.remove_prefix(comma + 1);
  }
  fields.push_back(rest);
  for (std::string_view field : fields)
    if (field.empty()) return false;
  std::string time_text(fields[0]);
  char* end = nullptr;
  errno = 0;
  unsigned long long time = std::strtoull(time_text.c_str(), &end, 10);
  if (errno != 0 || end == time_text.c_str() || time == 0 || time_text[0] == '-' ||
      time > std::numeric_limits<std::uint32_t>::max())
    return false;
  e->time = static_cast<std::uint32_t>(time);
  e->action = CutText(fields[1], kMaxActionText);
  e->day = CutText(fields[2], kMaxDayText);
  e->settings_file = CutText(fields[3], kMaxEventPath);
  e->maplist_file = CutText(fields[4], kMaxEventPath);
  e->enabled = ParseInt(fields[5]);
  return true;
}

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

void QueueWarning(bool start, double diff) {
  if (diff > 120 && diff <= 180) {
    QueueAnnouncement(start, "in three minutes");
  } else if (diff > 60 && diff <= 120) {
    QueueAnnouncement(start, "in two minutes");
  } else if (diff > 0 && diff <= 60) {
    QueueAnnouncement(start, "in one minute or less");
  }
}

bool FireStartEvent(const ScheduleEvent& e) {
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
    if (g_stop != nullptr) g_stop(false);
    Wait(kRestartPause);
  } else {
    LogMessage(6, "Starting server per scheduled event.");
  }
  if (g_start != nullptr) g_start();
  return true;
}

void ClearPending() {
  ScheduleState& s = MutableSchedule();
  s.pending_time = 0;
  s.pending_server_pid = 0;
  s.round_end_seen = false;
  s.empty_deadline = 0;
}

}  // namespace

bool LoadSchedule(const std::string& path) {
  UniqueFile file = OpenRegularStream(path);
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  ScheduleState& s = MutableSchedule();
  s.events = {};
  int count = 0;
  bool moved = false;
  std::string line;
  while (count < kScheduleSlots && ReadLineBounded(file.get(), kLineLimit, &line)) {
    if (line.empty() || line.back() != '\n') {
      if (!std::feof(file.get())) SkipRestOfLine(file.get());
    }
    ScheduleEvent e;
    if (!ParseEventLine(line, &e)) continue;
    while (TimeTaken(s, count, e.time)) {
      ++e.time;
      moved = true;
    }
    if (e.time == 0) continue;  // moved past the last second of 32 bits
    s.events[count++] = std::move(e);
  }
  if (std::ferror(file.get())) {
    SetLastError(errno != 0 ? errno : EIO);
    LogMessage(6, "Couldn't read event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  file.reset();
  if (moved) {
    SaveSchedule(path);
    QueueCommand(kCmdNotifyAll,
                 FormatInteger(static_cast<std::int32_t>(kNotifyScheduleChanged), 10).c_str(), 0,
                 0);
  }
  return true;
}

bool SaveSchedule(const std::string& path) {
  std::string text;
  for (const ScheduleEvent& e : Schedule().events) {
    if (e.time == 0) break;
    char line[kLineLimit + 2 * kMaxEventPath];
    std::snprintf(line, sizeof line, "%lu,%s,%s,%s,%s,%i\n", static_cast<unsigned long>(e.time),
                  e.action.c_str(), e.day.c_str(),
                  e.settings_file.empty() ? "*" : e.settings_file.c_str(),
                  e.maplist_file.empty() ? "*" : e.maplist_file.c_str(),
                  static_cast<int>(e.enabled));
    text += line;
  }
  CreateFileWithDirs(path, 0);
  if (!ReplaceFileContents(path, text)) {
    LogMessage(6, "Couldn't open event schedule file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  return true;
}

bool ScheduleTick() {
  std::time_t now = Now();
  std::tm today{};
  localtime_r(&now, &today);
  const bool running = Server().server_running;
  const int period = SettingValue(kSetMonitorTimerPeriod);
  const bool debug = Core().debug;
  for (int i = 0; i < kScheduleSlots; ++i) {
    const ScheduleEvent& e = Schedule().events[i];
    if (e.time == 0) break;
    int code = DayCode(e.day);
    if (e.enabled == 0 || code == kDayNever || !DayAdmits(code, today.tm_wday)) continue;
    bool start = IsStart(e);
    bool wait = e.action.find("wait") != std::string::npos && running;
    std::time_t instant = EventInstant(e.time, code, now);
    double diff = std::difftime(instant, now);
    if (running && !wait) QueueWarning(start, diff);
    bool due = diff <= 0 && diff > -period;
    // With restart_when_empty_seconds, a restart while players are on
    // waits for an empty server, at most that long.
    std::int64_t empty_wait = Core().conf.restart_when_empty_seconds;
    if (due && !wait && start && running && empty_wait > 0 && PlayerCount() > 0) {
      if (Schedule().pending_time == e.time) continue;  // waiting already
      ScheduleState& s = MutableSchedule();
      s.pending_time = e.time;
      s.pending_server_pid = Server().server_pid;
      s.empty_deadline = now + static_cast<std::time_t>(empty_wait);
      LogMessage(6, "Scheduled restart waits for an empty server (%i players on, at most %li "
                 "seconds).", PlayerCount(), static_cast<long>(empty_wait));
      continue;
    }
    if (due && !wait) {
      if (debug)
        LogMessage(6, "DEBUG: Event %i, clock=%lu, event=%lu, diff=%.0f, result=fired", i,
                   static_cast<unsigned long>(now), static_cast<unsigned long>(instant), diff);
      FireEvent(e.time);
      return true;
    }
    if (due) {
      ScheduleState& s = MutableSchedule();
      s.pending_time = e.time;
      s.pending_server_pid = Server().server_pid;
      QueueAnnouncement(start, "at the end of this game");
    }
    if (debug)
      LogMessage(6, "DEBUG: Event %i, clock=%lu, event=%lu, diff=%.0f, result=skipped", i,
                 static_cast<unsigned long>(now), static_cast<unsigned long>(instant), diff);
  }
  return false;
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
    if (g_stop != nullptr) g_stop(false);
  }
  int code = DayCode(e->day);
  if (code == kDayNever) return false;
  e->enabled = code == kDayOnce ? 0 : 1;
  return true;
}

void RunPendingEvent() {
  const ScheduleState& s = Schedule();
  if (s.pending_time != 0 && s.empty_deadline != 0) {
    bool empty = PlayerCount() == 0;
    bool replaced = Server().server_pid != s.pending_server_pid;
    if (!empty && !replaced && Now() < s.empty_deadline) return;
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
  g_start = start;
  g_stop = stop;
}
void SetScheduleWait(void (*wait)(unsigned seconds)) { g_wait = wait; }
void SetScheduleClock(std::time_t (*now)()) { g_clock = now; }
