// Status line and log excerpt.
#include "remote/status_line.h"
#include "remote/remote_state.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "content/map_text.h"
#include "core/files.h"
#include "core/ids.h"
#include "core/last_error.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/log.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "core/tick_state.h"
#include "links/links_state.h"
#include "links/console.h"
#include "links/status_query.h"
#include "settings/settings_table.h"

namespace {

// Logs "<failure> <error text>".
void LogErrno(const char* failure) {
  int code = errno;
  LogMessage(6, "%s %s", failure, ErrorText(code).c_str());
}

}  // namespace

namespace {

constexpr std::size_t kMaxValueText = 255;  // each report value in the line
constexpr std::size_t kMaxVersionText = 1025;
constexpr const char* kVersionUnknown = "(version unknown)";

bool Connected() { return Links().console_connected; }

// A report value while the console is connected, else "??".
std::string ReportText(std::string_view key, bool need_connection = true) {
  if (need_connection && !Connected()) return "??";
  std::optional<std::string> value = StatusValue(Links().status_report, key);
  return value ? CutText(*value, kMaxValueText) : "??";
}

std::string MappedText(std::string_view key, std::initializer_list<const char*> labels) {
  std::string value = ReportText(key);
  if (value == "??") return value;
  int index = 0;
  for (const char* label : labels) {
    if (value == std::to_string(index++)) return label;
  }
  return "??";
}

std::string OrUnknown(std::string_view text) {
  return text.empty() ? "??" : CutText(text, kMaxValueText);
}

std::string PunkBusterField() {
  if (!Core().punkbuster_installed) return "Not installed,";
  if (!Links().punkbuster_enabled) return "Disabled (version unknown),";
  // The version text brings a comma of its own before the field's comma.
  return "Enabled " + GetPunkBusterVersion() + ",,";
}

std::string CrashField() {
  std::int64_t crash = Ticks().last_crash_time;
  char text[64] = "??";
  if (crash != 0) {
    std::time_t when = static_cast<std::time_t>(crash);
    if (ctime_r(&when, text) == nullptr) std::snprintf(text, sizeof text, "??");
  }
  std::string field = text;
  field.back() = ',';  // the newline, or the second '?'
  return field;
}

}  // namespace

std::string GetPunkBusterVersion() {
  if (!Connected()) return kVersionUnknown;
  if (!Links().punkbuster_version.empty()) return Links().punkbuster_version;
  if (!ConsoleSend("pb_sv_ver")) return kVersionUnknown;
  std::optional<std::string> output = ConsoleRunKey(0);
  if (!output) return kVersionUnknown;
  std::size_t open = output->find('(');
  std::size_t close = open == std::string::npos ? open : output->find(')', open);
  if (close == std::string::npos) return kVersionUnknown;
  RememberPunkBusterVersion(
      CutText(std::string_view(*output).substr(open, close - open + 1), kMaxVersionText));
  return Links().punkbuster_version;
}

bool GetServerStatusString(std::string* line) {
  if (line == nullptr) return false;
  line->clear();
  if (Connected() && !StatusQuery(Links().status_port, "\\status\\")) {
    if (Core().debug) {
      LogMessage(6, "DEBUG: GetServerStatusString: Couldn't get server status! %s",
                 ErrorText(LastError()).c_str());
    }
    return false;
  }
  std::string& out = *line;
  out.append("\"").append(CutText(SettingText(kSetServerName), kMaxValueText)).append("\",");
  out += FormatDottedIp(static_cast<std::uint32_t>(SettingValue(kSetServerIp))) + ":" +
         std::to_string(static_cast<std::uint32_t>(SettingValue(kSetServerPort))) + ",";
  out += (Connected() ? ReportText("numplayers") : "--") + " of " +
         ReportText("maxplayers", false) + ",";
  out += OrUnknown(CurrentMapText(true, Links().status_report)) + ",";
  out += OrUnknown(CurrentLevelText(true, Remote().start_map).value_or("")) + ",";
  out += OrUnknown(Core().idle_map) + ",";
  out += std::string(Server().server_running ? "Running" : "Stopped") + ",";
  out += CrashField();
  out += std::string(Connected() ? "Connected" : "Disconnected") + ",";
  out += ReportText("gamemode") + ",";
  out += ReportText("gamever") + ",";
  out += MappedText("password", {"No", "Yes"}) + ",";
  out += ReportText("tk_mode") + ",";
  out += MappedText("content_check", {"Disabled", "Pure mode", "Unpure mode"}) + ",";
  out += OrUnknown(Links().team_scores) + ",";
  out += OrUnknown(Links().team_counts) + ",";
  std::string round = ReportText("roundTimeRemain");
  out += (round == "-1" ? "Unlimited" : round) + ",";
  out += ReportText("tickets1") + " / " + ReportText("tickets2") + ",";
  out += PunkBusterField();
  return true;
}

void WriteLogExcerpt(const std::string& path) {
  UniqueFile out(std::fopen(path.c_str(), "wb"));
  if (!out) return LogErrno("Couldn't open temp file!");
  UniqueFile log = OpenRegularStream(LogFilePath());
  if (!log) return LogErrno("Couldn't open log file!");
  if (std::fseek(log.get(), 0, SEEK_END) != 0) return LogErrno("Couldn't seek log file!");
  long size = std::ftell(log.get());
  if (size < 0) return LogErrno("Couldn't seek log file!");
  long start = size > kLogExcerptSize ? size - kLogExcerptSize : 0;
  long length = size < kLogExcerptSize ? size : kLogExcerptSize;
  if (std::fseek(log.get(), start, SEEK_SET) != 0) return LogErrno("Couldn't seek log file!");
  std::vector<char> buffer(static_cast<std::size_t>(length));
  std::size_t got = std::fread(buffer.data(), 1, buffer.size(), log.get());
  if (got == 0) {
    if (length > 0) LogErrno("Couldn't read log file!");
    return;
  }
  if (std::fwrite(buffer.data(), 1, got, out.get()) == 0) LogErrno("Couldn't write temp file!");
}
