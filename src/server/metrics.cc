// Writing the metrics file on every status tick.
#include "server/metrics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string_view>

#include "bans/ban_file.h"
#include "core/core_state.h"
#include "core/files.h"
#include "core/last_error.h"
#include "core/log.h"
#include "core/protocol.h"
#include "core/server_state.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/tick_state.h"
#include "links/links_state.h"
#include "remote/remote_state.h"

namespace {

class MetricsText {
 public:
  // The HELP and TYPE lines of one metric.
  void Head(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // One sample; `labels` is "" or `key="value"` pairs without braces.
  void Sample(std::string_view name, std::string_view labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.15g", value);
    text_.append(name);
    if (!labels.empty()) text_.append("{").append(labels).append("}");
    text_.append(" ").append(number).append("\n");
  }
  void One(std::string_view name, std::string_view type, std::string_view help, double value) {
    Head(name, type, help);
    Sample(name, "", value);
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Lines of a ban store that hold a ban (blank and ';' comment lines do not).
double CountBanLines(const std::string& path) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) return 0;
  double count = 0;
  for (std::string_view line : SplitBanLines(*text)) {
    std::size_t first = line.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && line[first] != ';') ++count;
  }
  return count;
}

// The bans of store `store`, counted again only when its file's size,
// modification time or inode differ from the last count: a large list
// would otherwise be read on every status tick. A file that is missing or
// not a regular file holds none and is not opened.
double BanLines(int store, const std::string& path) {
  TickState::BanCount& last = MutableTicks().ban_counts[store];
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    last = TickState::BanCount{};
    return 0;
  }
  TickState::BanCount now{static_cast<std::uint64_t>(info.st_dev),
                          static_cast<std::uint64_t>(info.st_ino),
                          static_cast<std::int64_t>(info.st_size),
                          static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                              info.st_mtim.tv_nsec,
                          last.bans};
  if (now.device != last.device || now.inode != last.inode || now.size != last.size ||
      now.mtime_ns != last.mtime_ns) {
    now.bans = CountBanLines(path);
  }
  last = now;
  return now.bans;
}

// A number the last status report holds, or 0.
double ReportNumber(std::string_view key) {
  if (!Links().console_connected) return 0;
  std::optional<std::string> value = StatusValue(Links().status_report, key);
  return value ? static_cast<double>(ParseLong(*value)) : 0;
}

void ServerFigures(MetricsText& m, std::time_t now) {
  const ServerState& server = Server();
  const TickState& ticks = Ticks();
  m.One("korvd_server_up", "gauge", "1 while the game server runs.", server.server_running);
  m.One("korvd_console_connected", "gauge", "1 while the remote console link is up.",
        Links().console_connected);
  m.One("korvd_players", "gauge", "Players on the server.", ReportNumber("numplayers"));
  m.One("korvd_players_max", "gauge", "Player slots of the server.", ReportNumber("maxplayers"));
  m.One("korvd_server_crashes_total", "counter", "Server crashes seen.",
        static_cast<double>(ticks.crashes_total));
  m.One("korvd_server_restarts_total", "counter",
        "Automatic server restarts (after a crash, a hang or a cool-down).",
        static_cast<double>(ticks.restarts_total));
  m.One("korvd_restart_loop", "gauge", "1 while a restart loop holds the automatic restarts.",
        ticks.restart_loop);
  double retry = ticks.loop_retry_at > now ? static_cast<double>(ticks.loop_retry_at - now) : 0;
  m.One("korvd_restart_loop_retry_seconds", "gauge",
        "Seconds until the restart-loop cool-down ends (0 = none pending).", retry);
  double since = server.last_start_time > 0 ? static_cast<double>(now - server.last_start_time) : 0;
  m.One("korvd_server_seconds_since_start", "gauge",
        "Seconds since the server was last started (0 = never).", since);
}

void ClientFigures(MetricsText& m) {
  const RemoteState& remote = Remote();
  double sessions = 0;
  for (int slot = 1; slot < kSessionSlots; ++slot) sessions += remote.sessions[slot].socket != 0;
  m.One("korvd_clients_connected", "gauge", "Remote clients logged in.", sessions);
  m.Head("korvd_commands_total", "counter", "Client commands served, by command.");
  for (const CommandRow& row : CommandTable()) {
    // Label values in snake case: "change map" is command="change_map".
    std::string name = row.name;
    for (char& c : name)
      if (c == ' ' || c == '-') c = '_';
    std::string label = "command=\"" + name + "\"";
    m.Sample("korvd_commands_total", label,
             static_cast<double>(remote.commands_served[row.code - kClientBase]));
  }
  m.One("korvd_failed_logins_total", "counter", "Client logins refused.",
        static_cast<double>(remote.failed_logins));
}

}  // namespace

std::string FormatMetrics(std::time_t now, std::int64_t now_ms) {
  MetricsText m;
  ServerFigures(m, now);
  ClientFigures(m);
  m.Head("korvd_bans", "gauge", "Bans in each ban store.");
  m.Sample("korvd_bans", "store=\"daemon\"", BanLines(0, ServerBanListPath()));
  m.Sample("korvd_bans", "store=\"game\"", BanLines(1, GameBanListPath()));
  m.Sample("korvd_bans", "store=\"punkbuster\"", BanLines(2, PunkBusterBanPath()));
  m.One("korvd_main_loop_longest_pass_seconds", "gauge",
        "Longest pass of the main loop over the last minute or two.",
        static_cast<double>(LongestRecentLoopPassMs(now_ms)) / 1000.0);
  return m.text();
}

void WriteMetricsFile(std::time_t now) {
  const std::string& path = Core().conf.metrics_textfile;
  // A path changed or cleared on SIGHUP: the exporter must not go on
  // serving the figures of the file written before.
  std::string& written_path = MutableTicks().metrics_file_written;
  if (!written_path.empty() && written_path != path) {
    ::unlink(written_path.c_str());
    written_path.clear();
  }
  if (path.empty()) return;
  bool written = ReplaceFileContentsQuietly(path, FormatMetrics(now, std::int64_t{now} * 1000));
  int error = written ? 0 : LastError();
  if (written) written_path = path;
  int& last = MutableTicks().metrics_write_error;
  if (error != 0 && error != last)
    LogMessage(6, "Couldn't write metrics file %s! %s", path.c_str(), ErrorText(error).c_str());
  last = error;
}
