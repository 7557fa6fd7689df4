// LogPlayerStats.
#include "records/player_stats.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>

#include "core/core_state.h"
#include "core/last_error.h"
#include "core/log.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "links/links_state.h"
#include "links/status_query.h"

namespace {

constexpr const char* kUnknown = "[unknown]";

// Values come from the game server as it reports them. A double quote or a
// line break would break the row's shape, and so would a comma outside the
// quoted columns: such characters are replaced.
std::string CsvValue(std::string_view value, std::size_t limit, bool quoted) {
  std::string text = CutText(value, limit);
  for (char& c : text) {
    if (c == '"') c = '\'';
    if (c == '\r' || c == '\n') c = ' ';
    if (c == ',' && !quoted) c = ';';
  }
  return text;
}

// The value of a key, or none after the debug line that names it.
std::optional<std::string> Need(const std::string& report, const std::string& key) {
  std::optional<std::string> value = StatusValue(report, key);
  if (!value && Core().debug)
    LogMessage(6, "DEBUG: LogPlayerStats: Couldn't get \"%s\"!", key.c_str());
  return value;
}

const PlayerRecord* FindPlayerNamed(const std::string& name) {
  for (const PlayerRecord& record : Links().players) {
    if (record.name.empty()) break;
    if (record.name == name) return &record;
  }
  return nullptr;
}

// The game line's values in column order, or none at the first missing key.
std::optional<std::string> GameLine(const std::string& report, std::time_t now) {
  static constexpr struct {
    const char* key;
    std::size_t limit;
  } kColumns[] = {{"hostname", 63}, {"mapname", 63},  {"gametype", 31}, {"number_of_rounds", 4},
                  {"roundTime", 9}, {"tickets1", 15}, {"tickets2", 15}};
  std::string values[7];
  for (std::size_t i = 0; i < 7; ++i) {
    std::optional<std::string> value = Need(report, kColumns[i].key);
    if (!value) return std::nullopt;
    values[i] = CsvValue(*value, kColumns[i].limit, i == 0);
  }
  std::tm local{};
  localtime_r(&now, &local);
  char date[16], time[16];
  std::strftime(date, sizeof date, "%F", &local);
  std::strftime(time, sizeof time, "%H:%M:%S", &local);
  char line[512];
  std::snprintf(line, sizeof line, "%s,%s,\"%s\",%s,%s,%s,%s,%s,%s\n", date, time,
                values[0].c_str(), values[1].c_str(), values[2].c_str(), values[3].c_str(),
                values[4].c_str(), values[5].c_str(), values[6].c_str());
  return line;
}

// Player i's line, or none at the first missing key.
std::optional<std::string> PlayerLine(const std::string& report, int i,
                                      const std::string teams[2]) {
  static constexpr struct {
    const char* key;
    std::size_t limit;
  } kColumns[] = {{"playername_", 31}, {"team_", 0}, {"score_", 4},
                  {"kills_", 4},       {"deaths_", 4}, {"ping_", 5}};
  std::string values[6];
  std::string name;
  for (std::size_t c = 0; c < 6; ++c) {
    std::optional<std::string> value = Need(report, kColumns[c].key + std::to_string(i));
    if (!value) return std::nullopt;
    if (c == 0) name = CutText(*value, kColumns[0].limit);
    values[c] = c == 1 ? *value : CsvValue(*value, kColumns[c].limit, c == 0);
  }
  std::int32_t team = ParseInt(values[1]);
  values[1] = team == 1 ? teams[0] : team == 2 ? teams[1] : "unknown";
  // The player table keeps names cut as the status column is.
  const PlayerRecord* row = FindPlayerNamed(name);
  std::string address = row ? CsvValue(row->address, 16, false) : kUnknown;
  std::string keyhash = row ? CsvValue(row->keyhash, 33, false) : kUnknown;
  std::string guid = row ? CsvValue(row->pb_guid, 33, false) : kUnknown;
  char line[512];
  std::snprintf(line, sizeof line, "\"%s\",%s,%s,%s,%s,%s,%s,%s,%s\n", values[0].c_str(),
                values[1].c_str(), values[2].c_str(), values[3].c_str(), values[4].c_str(),
                values[5].c_str(), address.c_str(), keyhash.c_str(), guid.c_str());
  return line;
}

// Writes all of `text`; false with the last error set.
bool Put(std::FILE* file, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), file) == text.size()) return true;
  return FailWithErrno();
}

}  // namespace

bool LogPlayerStats(const std::string& path, std::time_t now) {
  std::optional<std::string> status = StatusQuery(Links().status_port, "\\status\\");
  if (!status) {
    if (Core().debug)
      LogMessage(6, "DEBUG: LogPlayerStats: Couldn't get server status! %s",
                 ErrorText(LastError()).c_str());
    return false;
  }
  const std::string report = *status;
  SetLastError(EINVAL);
  std::optional<std::string> players = Need(report, "numplayers");
  if (!players) return false;
  int count = ParseInt(*players);
  if (count <= 0) {
    SetLastError(0);  // a game without players is not logged
    return false;
  }
  UniqueFile file(std::fopen(path.c_str(), "a"));
  if (!file) {
    SetLastError(errno);
    LogMessage(6, "Couldn't open CSV log file! %s", ErrorText(LastError()).c_str());
    return false;
  }
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) == 0 && info.st_size == 0 &&
      !Put(file.get(), "date,time,server,map,gamemode,rounds,timelimit,axis_tickets,"
                       "allied_tickets\nplayer,team,score,kills,deaths,ping,ip,keyhash,pbguid\n"))
    return false;
  std::optional<std::string> game = GameLine(report, now);
  if (!game) return false;
  if (!Put(file.get(), *game)) return false;
  std::string teams[2];
  for (int t = 0; t < 2; ++t) {
    std::optional<std::string> name = Need(report, "teamname_" + std::to_string(t));
    if (!name) return false;
    teams[t] = CsvValue(*name, 9, false);
  }
  for (int i = 0; i < count; ++i) {
    std::optional<std::string> line = PlayerLine(report, i, teams);
    if (!line) return false;
    if (!Put(file.get(), *line)) return false;
  }
  std::FILE* raw = file.release();
  if (std::fclose(raw) != 0) return FailWithErrno();
  return true;
}
