// Reading and writing the lines of serverschedule.con.
#include "wire/schedule_line.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "core/text.h"

bool ParseScheduleLine(std::string_view text, ScheduleLine* e) {
  // A line ends at a NUL: what follows could never be written back.
  std::string line(text.substr(0, std::min(text.find('\0'), text.size())));
  TrimLineEnd(line);
  std::string_view fields[6];
  std::string_view rest = line;
  for (int i = 0; i < 5; ++i) {
    std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return false;
    fields[i] = rest.substr(0, comma);
    rest.remove_prefix(comma + 1);
  }
  fields[5] = rest;
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

std::string FormatScheduleLine(const ScheduleLine& e) {
  std::string line = std::to_string(e.time);
  line.append(",").append(e.action).append(",").append(e.day).append(",");
  line.append(e.settings_file.empty() ? "*" : e.settings_file).append(",");
  line.append(e.maplist_file.empty() ? "*" : e.maplist_file).append(",");
  return line.append(std::to_string(e.enabled)).append("\n");
}

bool IsStartAction(std::string_view action) {
  return action.size() >= 5 && ::strncasecmp(action.data(), "start", 5) == 0;
}

bool WaitsForGameEnd(std::string_view action) { return action.find("wait") != std::string_view::npos; }

std::string_view NextScheduleLine(std::string_view& text) {
  const std::size_t feed = text.find('\n');
  const std::size_t whole = feed == std::string_view::npos ? text.size() : feed + 1;
  std::string_view line = text.substr(0, std::min(whole, kScheduleLineLimit - 1));
  text.remove_prefix(whole);
  return line;
}
