// Writing the metrics file on every status tick.
#include "server/metrics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "bans/ban_file.h"
#include "bans/bans.h"
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

// A label value holds at most this many bytes of the name (before escaping).
constexpr std::size_t kMaxLabelBytes = 128;

// The length of the UTF-8 character `text` begins with; 0 for a control
// character or a byte that does not begin a well-formed one (the second
// byte's range rules out overlong forms, surrogates and code points past
// U+10FFFF).
std::size_t CharacterLength(std::string_view text) {
  auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7f ? 1 : 0;
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  return length;
}

// `text` as a label value of the text format: well-formed UTF-8 without
// control characters (any other byte becomes '_'), cut to kMaxLabelBytes,
// with a backslash before each backslash and '"'.
std::string LabelValue(std::string_view text) {
  std::string value;
  std::size_t taken = 0;
  while (taken < text.size() && taken < kMaxLabelBytes) {
    std::size_t length = CharacterLength(text.substr(taken));
    if (taken + length > kMaxLabelBytes) break;
    if (length == 0) {
      value += '_';
      ++taken;
      continue;
    }
    if (text[taken] == '\\' || text[taken] == '"') value += '\\';
    value.append(text, taken, length);
    taken += length;
  }
  return value;
}

// The instance's name: [metrics] server, else the base name of the server
// directory as given, its "." and ".." taken out ("/" for the root itself).
// A directory linked from elsewhere keeps the name of the link.
std::string ServerName() {
  const std::string& name = Core().conf.metrics_server;
  if (!name.empty()) return name;
  std::string dir = std::filesystem::path(Core().server_dir).lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string base = dir.substr(dir.find_last_of('/') + 1);
  return base.empty() ? dir : base;
}

class MetricsText {
 public:
  // Every sample carries server="NAME".
  explicit MetricsText(std::string_view server)
      : server_label_("server=\"" + LabelValue(server) + "\"") {}
  // The HELP and TYPE lines of one metric.
  void Head(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // One sample; `labels` is "" or further `key="value"` pairs.
  void Sample(std::string_view name, std::string_view labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.15g", value);
    text_.append(name).append("{").append(server_label_);
    if (!labels.empty()) text_.append(",").append(labels);
    text_.append("} ").append(number).append("\n");
  }
  void One(std::string_view name, std::string_view type, std::string_view help, double value) {
    Head(name, type, help);
    Sample(name, "", value);
  }
  const std::string& text() const { return text_; }

 private:
  std::string server_label_;
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
// not a regular file holds none and is not opened. `*changed` is set when
// the file differs from the last count.
double BanLines(int store, const std::string& path, bool* changed) {
  TickState::BanCount& last = MutableTicks().ban_counts[store];
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *changed |= last.size != -1;
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
    *changed = true;
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

// The bans of each store, and whether the daemon's list and the game's
// stores hold the same bans (as the verify command finds), compared again
// only when a store changed. A store missing or not a regular file holds
// none; the comparison then reads no file: in sync when no store holds any.
void BanFigures(MetricsText& m) {
  const std::string paths[3] = {ServerBanListPath(), GameBanListPath(), PunkBusterBanPath()};
  static constexpr const char* kStores[3] = {"store=\"daemon\"", "store=\"game\"",
                                             "store=\"punkbuster\""};
  TickState& ticks = MutableTicks();
  bool changed = !ticks.bans_compared;
  double bans[3];
  for (int store = 0; store < 3; ++store) bans[store] = BanLines(store, paths[store], &changed);
  m.Head("korvd_bans", "gauge", "Bans in each ban store.");
  for (int store = 0; store < 3; ++store) m.Sample("korvd_bans", kStores[store], bans[store]);
  if (changed) {
    bool all_files = true;
    for (const TickState::BanCount& count : ticks.ban_counts) all_files &= count.size != -1;
    ticks.bans_in_sync = all_files ? VerifyGameBansListed() && VerifyServerBansListed()
                                   : bans[0] + bans[1] + bans[2] == 0;
    ticks.bans_compared = true;
  }
  m.One("korvd_ban_stores_in_sync", "gauge",
        "1 while every ban of the daemon's list is in the game's stores and every ban there "
        "is in the daemon's list.",
        ticks.bans_in_sync);
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
  m.One("korvd_server_hung", "gauge",
        "1 while the server is hung: no answer from its console or status port for "
        "[supervision] hang_seconds.",
        ticks.hang_reported);
  m.One("korvd_server_hangs_total", "counter", "Server hangs seen.",
        static_cast<double>(ticks.hangs_total));
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
  MetricsText m(ServerName());
  ServerFigures(m, now);
  ClientFigures(m);
  BanFigures(m);
  m.One("korvd_main_loop_longest_pass_seconds", "gauge",
        "Longest pass of the main loop over the last minute or two.",
        static_cast<double>(LongestRecentLoopPassMs(now_ms)) / 1000.0);
  m.One("korvd_metrics_timestamp_seconds", "gauge",
        "Unix time the daemon wrote this file (every status tick, 3 seconds).",
        static_cast<double>(now));
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
