// The schedule's lines read as the daemon reads them, with their next
// firing computed by the daemon's own rules (core/event_times.h).
#include "schedule_view.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include "core/event_times.h"
#include "core/helpers.h"

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

// Cuts "time,action,day,settings,maplist,enabled"; false for a line the
// daemon skips.
bool SplitEvent(std::string_view line, std::string fields[6]) {
  for (int i = 0; i < 5; ++i) {
    std::size_t comma = line.find(',');
    if (comma == std::string_view::npos || comma == 0) return false;
    fields[i] = line.substr(0, comma);
    line.remove_prefix(comma + 1);
  }
  fields[5] = line;
  if (fields[5].empty()) return false;
  char* end = nullptr;
  unsigned long long time = std::strtoull(fields[0].c_str(), &end, 10);
  return fields[0][0] != '-' && end != fields[0].c_str() && time != 0 && time <= 0xFFFFFFFFull;
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
    std::size_t end = file.find('\n');
    std::string_view line = file.substr(0, end);
    file = end == std::string_view::npos ? std::string_view() : file.substr(end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string f[6];
    if (!SplitEvent(line, f)) continue;
    auto time = static_cast<std::uint32_t>(std::strtoull(f[0].c_str(), nullptr, 10));
    std::string day = CutText(f[2], 15);
    int code = DayCode(day);
    bool enabled = ParseInt(f[5]) != 0;
    bool start = f[1].size() >= 5 && EqualNoCase(std::string_view(f[1]).substr(0, 5), "start");
    std::string what = start ? "start/restart" : "stop";
    if (CutText(f[1], 19).find("wait") != std::string::npos) what += " at game end";
    rows.push_back({{"event", f[0]},
                    {"at", LocalText(time, code == kDayOnce ? Shown::kDateAndTime : Shown::kTimeOfDay)},
                    {"day", day},
                    {"action", what},
                    {"settings", f[3]},
                    {"maplist", f[4]},
                    {"next", NextText(time, code, enabled, now)}});
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
