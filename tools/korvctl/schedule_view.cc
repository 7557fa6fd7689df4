// The schedule's lines read by the daemon's own reader, with their next
// firing computed by the daemon's own rules (core/event_times.h).
#include "schedule_view.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include "core/event_times.h"
#include "wire/schedule_line.h"

namespace korvctl {
namespace {

enum class Shown { kTimeOfDay, kDateAndTime, kFiring };

std::string LocalText(std::time_t t, Shown shown) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  if (shown == Shown::kTimeOfDay) {
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
  } else if (shown == Shown::kDateAndTime) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  } else {
    std::strftime(text, sizeof text, "%a %Y-%m-%d %H:%M:%S %Z", &tm);
  }
  return text;
}

std::string NextText(std::uint32_t time, int code, bool enabled, std::time_t now) {
  if (!enabled) return "disabled";
  std::time_t next = NextFiring(time, code, now);
  if (next == 0) return code == kDayNever ? "never (unknown day)" : "never (past)";
  return LocalText(next, Shown::kFiring);
}

}  // namespace

std::vector<Fields> ScheduleRows(std::string_view file, std::time_t now) {
  std::vector<Fields> rows;
  while (!file.empty()) {
    ScheduleLine e;
    if (!ParseScheduleLine(NextScheduleLine(file), &e)) continue;
    int code = DayCode(e.day);
    std::string what = IsStartAction(e.action) ? "start/restart" : "stop";
    if (WaitsForGameEnd(e.action)) what += " at game end";
    rows.push_back({{"event", std::to_string(e.time)},
                    {"at", LocalText(e.time, code == kDayOnce ? Shown::kDateAndTime : Shown::kTimeOfDay)},
                    {"day", e.day},
                    {"action", what},
                    {"settings", e.settings_file},
                    {"maplist", e.maplist_file},
                    {"next", NextText(e.time, code, e.enabled != 0, now)}});
  }
  return rows;
}

int RunSchedule(Context& context, const Subcommand& row) {
  std::string text;
  if (!Download(context, row.code, &text)) return LinkFailed(context);
  std::vector<Fields> rows = ScheduleRows(text, std::time(nullptr));
  if (context.options.json) {
    std::string array = "[";
    for (const Fields& fields : rows) {
      if (array.size() > 1) array += ',';
      array += JsonObject(fields);
    }
    return Succeed(context, "", ",\"events\":" + array + "]");
  }
  std::cout << (rows.empty() ? "no scheduled events\n" : FormatTable(rows));
  return kExitOk;
}

}  // namespace korvctl
