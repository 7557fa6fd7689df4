// The schedule's lines for the page, read and written with the daemon's own
// line code (wire/schedule_line.h) and day rules (core/event_times.h).
#include "korvweb/schedule_form.h"

#include <strings.h>

#include <cstdio>
#include <set>

#include "core/event_times.h"
#include "korvctl/schedule_view.h"
#include "korvweb/json_text.h"
#include "wire/schedule_line.h"

namespace korvweb {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxEvents = 64;
constexpr char kDayWords[] = "none, daily, sun, mon, tue, wed, thu, fri, sat, weekdays or weekends";

enum class Shown { kTime, kDate, kZone };

std::string LocalText(std::time_t t, Shown shown) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  if (shown == Shown::kTime) std::strftime(text, sizeof text, "%H:%M", &tm);
  else if (shown == Shown::kDate) std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  else std::strftime(text, sizeof text, "%Z (UTC%z)", &tm);
  return text;
}

// The file holds "*" for no file.
bool NoFile(const std::string& path) { return path.empty() || path == "*"; }

std::string PathJson(const std::string& path) { return NoFile(path) ? "" : Utf8(path); }

std::string LineFault(std::string_view line, const ScheduleLine& e) {
  if (FormatScheduleLine(e) != std::string(line) + "\n")
    return "is not written as time,action,day,settings,maplist,enabled with a plain number of "
           "seconds, enabled 0 or 1 and fields the daemon keeps whole";
  bool start = IsStartAction(e.action);
  if (!start && (e.action.size() < 4 || ::strncasecmp(e.action.c_str(), "stop", 4) != 0))
    return "has the action \"" + e.action + "\", which the daemon would read as a stop; an action "
           "begins with start or stop";
  if (DayCode(e.day) == kDayNever) return "has the day \"" + e.day + "\"; a day is " + kDayWords;
  if (e.enabled != 0 && e.enabled != 1) return "must end in 1 (enabled) or 0 (disabled)";
  if (start && (NoFile(e.settings_file) || NoFile(e.maplist_file)))
    return "starts the server without a settings file and a maplist, and would fail";
  return "";
}

// "HH:MM" and, for a one-shot event, "YYYY-MM-DD" on `tm`; false if malformed.
bool ReadWhen(const std::string& at, const std::string& date, bool once, std::tm* tm) {
  int hour = -1, minute = -1, year = 0, month = 0, day = 0;
  char end = 0;
  if (std::sscanf(at.c_str(), "%2d:%2d%c", &hour, &minute, &end) != 2 || at.size() != 5 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59)
    return false;
  if (once) {
    if (std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &end) != 3 ||
        date.size() != 10 || month < 1 || month > 12 || day < 1 || day > 31 || year < 1970)
      return false;
    tm->tm_year = year - 1900, tm->tm_mon = month - 1, tm->tm_mday = day;
  }
  tm->tm_hour = hour, tm->tm_min = minute, tm->tm_sec = 0, tm->tm_isdst = -1;
  return true;
}

std::string Field(const json& event, const char* name) {
  return event.contains(name) && event[name].is_string() ? event[name].get<std::string>() : "";
}

}  // namespace

json ScheduleJson(std::string_view text, std::time_t now) {
  std::vector<korvctl::Fields> rows = korvctl::ScheduleRows(text, now);
  json events = json::array();
  for (std::size_t i = 0; !text.empty();) {
    ScheduleLine e;
    if (!ParseScheduleLine(NextScheduleLine(text), &e) || i >= rows.size()) continue;
    auto word = [&](std::string_view label) {
      for (auto& [key, value] : rows[i])
        if (key == label) return Utf8(value);
      return std::string();
    };
    events.push_back({{"time", e.time}, {"action", Utf8(e.action)}, {"day", Utf8(e.day)},
                      {"settings", PathJson(e.settings_file)}, {"maplist", PathJson(e.maplist_file)},
                      {"enabled", e.enabled}, {"at", LocalText(e.time, Shown::kTime)},
                      {"date", LocalText(e.time, Shown::kDate)}, {"does", word("action")},
                      {"next", word("next")},
                      {"next_at", e.enabled ? NextFiring(e.time, DayCode(e.day), now) : 0}});
    ++i;
  }
  return {{"zone", LocalText(now, Shown::kZone)}, {"events", events}};
}

std::string ScheduleTextProblem(std::string_view text) {
  std::set<std::uint32_t> times;
  for (int number = 1; !text.empty(); ++number) {
    std::size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    if (line.empty()) continue;
    std::string where = "schedule line " + std::to_string(number) + " ";
    ScheduleLine e;
    if (line.size() + 1 >= kScheduleLineLimit) return where + "is longer than the daemon reads";
    if (!ParseScheduleLine(line, &e))
      return where + "lacks one of its six fields time,action,day,settings,maplist,enabled";
    if (std::string fault = LineFault(line, e); !fault.empty()) return where + fault;
    if (!times.insert(e.time).second) return where + "has the time of an earlier event";
  }
  if (times.size() > kMaxEvents) return "the schedule holds at most 64 events";
  return "";
}

bool ScheduleTextFromEvents(const json& events, std::time_t now, std::string* text,
                            std::string* error) {
  if (!events.is_array()) return *error = "events must be a list", false;
  if (events.size() > kMaxEvents) return *error = "the schedule holds at most 64 events", false;
  text->clear();
  std::set<std::uint32_t> times;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const json& event = events[i];
    std::string where = "event " + std::to_string(i + 1) + ": ";
    if (!event.is_object()) return *error = where + "not an object", false;
    ScheduleLine e;
    e.action = Field(event, "action");
    e.day = Field(event, "day");
    e.settings_file = Field(event, "settings");
    e.maplist_file = Field(event, "maplist");
    e.enabled = event.value("enabled", json(true)) == false ? 0 : 1;
    for (const std::string* field : {&e.action, &e.day, &e.settings_file, &e.maplist_file})
      for (unsigned char c : *field)
        if (c < 0x20 || c == ',' || c == 0x7F)
          return *error = where + "a field holds a comma or a control character", false;
    std::tm tm{};
    localtime_r(&now, &tm);
    if (!ReadWhen(Field(event, "at"), Field(event, "date"), DayCode(e.day) == kDayOnce, &tm))
      return *error = where + "the time must be HH:MM, and a one-time event needs its date as "
                              "YYYY-MM-DD", false;
    std::time_t when = std::mktime(&tm);
    if (when <= 0 || when >= 0xFFFFFF00) return *error = where + "the date is out of range", false;
    e.time = static_cast<std::uint32_t>(when);
    // Two events at one moment: the later one a second on, as the daemon would.
    while (!times.insert(e.time).second) ++e.time;
    *text += FormatScheduleLine(e);
  }
  *error = ScheduleTextProblem(*text);
  return error->empty();
}

}  // namespace korvweb
