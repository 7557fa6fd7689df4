// SupervisionTick and StatusMonitorTick.
#include "server/ticks.h"

#include <strings.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "bans/bans.h"
#include "core/last_error.h"
#include "wire/status_report.h"
#include "core/text.h"
#include "core/log.h"
#include "core/core_state.h"
#include "core/server_state.h"
#include "core/tick_state.h"
#include "history/history.h"
#include "links/links_state.h"
#include "core/protocol.h"
#include "links/console.h"
#include "links/player_table.h"
#include "links/status_query.h"
#include "content/map_text.h"
#include "moderation/announcements.h"
#include "moderation/player_watch.h"
#include "remote/command_queue.h"
#include "remote/remote_state.h"
#include "remote/session.h"
#include "server/launch.h"
#include "server/process_finder.h"
#include "server/metrics.h"
#include "server/supervision.h"
#include "records/player_stats.h"
#include "schedule/schedule.h"
#include "settings/settings_table.h"

namespace {

constexpr std::uint32_t kIdleTicks = 99;  // the 100th empty tick switches
constexpr float kIntendedVersion = 1.6f;
constexpr std::time_t kQuickCrashSeconds = 60;
constexpr int kMaxQuickRestarts = 2;  // the third quick crash is not restarted


// The remote console was enabled for this server run.
bool ConsoleUsable() { return !Server().console_user.empty(); }

// Errors of a server that is starting or restarting stay quiet.
bool QuietStatusError(int error) {
  return error == ECONNRESET || error == ECONNABORTED || error == ETIMEDOUT ||
         error == ECONNREFUSED;
}

// Statistics once per end of a round: a failed snapshot is tried again at
// the next tick that still shows the end.
void LogRoundStats(std::time_t now) {
  if (SettingValue(kSetStatCollection) == 0 || Ticks().round_stats_logged) return;
  if (LogPlayerStats(SettingText(kSetStatFilePath), now)) {
    LogMessage(6, "Player stats logged to CSV file.");
    MutableTicks().round_stats_logged = true;
  } else if (LastError() != 0) {
    LogMessage(6, "Couldn't log player stats to CSV file! %s", ErrorText(LastError()).c_str());
  }
}

void FollowGameMode(const std::string& report, std::time_t now) {
  std::optional<std::string> mode = StatusValue(report, "gamemode");
  if (!mode) return;
  TickState& ticks = MutableTicks();
  if (EqualNoCase(*mode, "end")) {
    // The round is over: the next launch starts on the rotation again.
    SetStartMap("");
    LogRoundStats(now);
    NoteGameEnded();
    return;
  }
  ticks.round_stats_logged = false;
  bool paused = EqualNoCase(*mode, "pause");
  if (paused && !Remote().server_paused) {
    NotifyAllClients(kNotifyPaused, nullptr, 0, 0);
    MarkServerPaused(true);
  } else if (!paused && Remote().server_paused) {
    NotifyAllClients(kNotifyUnpaused, nullptr, 0, 0);
    MarkServerPaused(false);
  }
}

void WatchIdleServer(const std::string& report) {
  std::optional<std::string> players = StatusValue(report, "numplayers");
  if (!players) return;
  TickState& ticks = MutableTicks();
  ticks.idle_count = (!players->empty() && (*players)[0] == '0') ? ticks.idle_count + 1 : 0;
  const std::string& idle_map = Core().idle_map;
  if (ticks.idle_count <= kIdleTicks || idle_map.empty()) return;
  if (!EqualNoCase(ticks.current_map, idle_map)) {
    QueueCommand(kCmdChangeMap, idle_map.c_str(), 0, 0);
    LogMessage(6, "Server is idle, changing to idle map combo %s.", idle_map.c_str());
  }
  ticks.idle_count = 0;
}

// PunkBuster and the version, once per server run (until the version is
// known).
void DetectServer(const std::string& report) {
  if (Links().server_version != 0.0) return;
  const bool debug = Core().debug;
  if (std::optional<std::string> pb = StatusValue(report, "sv_punkbuster")) {
    SetPunkBusterEnabled(ParseInt(*pb) != 0);
    if (debug)
      LogMessage(6, Links().punkbuster_enabled ? "DEBUG: PunkBuster is enabled."
                                               : "DEBUG: PunkBuster is disabled.");
  }
  std::optional<std::string> version = StatusValue(report, "version");
  if (!version) return;
  // The version is a single-precision number, as the server reports it.
  float detected = version->empty() ? 0.0f : std::strtof(version->c_str() + 1, nullptr);
  SetServerVersion(detected);
  if (debug) LogMessage(6, "DEBUG: Detected server version %.2f.", detected);
  if (detected > kIntendedVersion) {
    LogMessage(6,
               "WARNING: This version of Korvane is intended for BF v%.2f and may not work "
               "correctly with this v%.2f server.",
               kIntendedVersion, detected);
  }
}

void AdjustPriority() {
  const CoreState& core = Core();
  pid_t pid = Server().server_pid;
  if (!core.priority || pid <= 0) return;
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  if (current == -1 || current == core.priority_value) return;
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), core.priority_value) == 0) {
    LogMessage(6, "Changed server process priority to %i.", core.priority_value);
  } else {
    SetLastError(errno);
    LogMessage(6, "Couldn't set server priority! %s", ErrorText(LastError()).c_str());
  }
}

// The server is gone: tell the clients, clean up and restart it unless
// restarts are off or it keeps dying within a minute of its start.
void HandleCrash(std::time_t now) {
  ServerState& server = MutableServer();
  MutableTicks().last_crash_time = now;
  ++MutableTicks().crashes_total;
  LogMessage(6, "Server has crashed");
  QueueCommand(kCmdNotifyAll, FormatInteger(static_cast<std::int32_t>(kNotifyServerCrashed), 10).c_str(),
               0, 0);
  StopServer(true);
  if (!Core().restart) {
    LogMessage(6, "Auto-restart is disabled, server will not be restarted.");
    return;
  }
  if (now - server.last_start_time <= kQuickCrashSeconds) ++server.restart_counter;
  if (server.restart_counter > kMaxQuickRestarts) {
    EnterRestartLoop(now);
    return;
  }
  SetStartMap(CutText(Ticks().current_map, kMaxMapText));
  LogMessage(6, "Auto-restart is enabled, restarting the server.");
  ++MutableTicks().restarts_total;
  StartServer();
}

void StatusChecks(std::time_t now) {
  const LinksState& links = Links();
  const bool running = Server().server_running;
  if (ConsoleUsable()) {
    if (links.console_connected) {
      // The console login of this run was the server's first answer.
      if (Ticks().last_answer_time < Server().last_start_time)
        NoteServerAnswered(now);
      // keeps the link alive and picks up chat
      if (ConsoleRunKey(0)) NoteServerAnswered(now);
    } else if (running) {
      QueueCommandOnce(kCmdConsoleReconnect, nullptr, 0, 0);
    }
  }
  RunPendingEvent(now);
  // Without the console link, the status port alone shows a server alive.
  if (Core().conf.hang_seconds > 0 && running && !links.console_connected &&
      StatusQuery(links.status_port, "\\info\\"))
    NoteServerAnswered(now);
  if (CheckForHang(now)) return;
  if (!Server().server_running || !links.console_connected) return;
  std::optional<std::string> report = StatusQuery(links.status_port, "\\info\\");
  if (!report) {
    int error = LastError();
    if (error != 0 && (Core().debug || !QuietStatusError(error)))
      LogMessage(6, "Couldn't get server status! %s", ErrorText(error).c_str());
    return;
  }
  NoteServerAnswered(now);
  FollowGameMode(*report, now);
  WatchIdleServer(*report);
  DetectServer(*report);
}

}  // namespace

void StatusMonitorTick(std::time_t now) {
  StatusChecks(now);
  FlushHistory(now);
  WriteMetricsFile(now);
}

void ChatPollTick(std::time_t now) {
  if (ConsoleUsable() && Links().console_connected && ConsoleRunKey(0)) NoteServerAnswered(now);
}

void SupervisionTick(std::time_t now) {
  // The weekly schedule runs first; an event it fires at once ends the tick.
  if (ScheduleTick(now)) return;
  if (RetryAfterCooldown(now)) return;
  ServerState& server = MutableServer();
  if (!server.server_running) return;
  pid_t pid = server.server_pid;
  // The daemon's own child that has not ended is no crash, even before
  // the process table shows it as the server.
  bool found = FindServerProcess(&pid) || ServerChildRunning(pid);
  if (found) {
    server.server_pid = pid;
  } else {
    HandleCrash(now);
  }
  if (found) AdjustPriority();
  std::string map = CurrentMapText(true, Links().status_report);
  if (!map.empty() && map[0] != '-') MutableTicks().current_map = CutText(map, kMaxMapText);
  if (ConsoleUsable() && found && Links().console_connected) {
    if (!GetPlayerList()) LogMessage(6, "Couldn't auto-refresh player list!");
    // Timed-ban expiry, announcements and the player watch, in that order,
    // on the table just refreshed (or the old one).
    ExpireTimedBansAt(now);
    if (SettingValue(kSetAutoAnnounce) != 0) AnnouncementStep();
    PlayerWatch(now);
  }
}
