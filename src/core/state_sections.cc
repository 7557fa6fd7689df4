// The instances of the state sections the core holds. The daemon's state
// record (daemon/manager_state.h) refers to them.
#include "core/core_state.h"
#include "core/server_state.h"
#include "core/tick_state.h"

#include <algorithm>

namespace {
CoreState g_core;
}  // namespace

const CoreState& Core() { return g_core; }
CoreState& MutableCore() { return g_core; }

const ServerState& Server() {
  static ServerState section;
  return section;
}

const TickState& Ticks() {
  static TickState section;
  return section;
}

void ApplyOptions(const CoreOptions& options) { static_cast<CoreOptions&>(g_core) = options; }
void SetIdleMap(const std::string& map) { g_core.idle_map = map; }
void SetSystemDescription(const std::string& text) { g_core.system_description = text; }
void SetPunkBusterInstalled(bool installed) { g_core.punkbuster_installed = installed; }
void SetKorvdConf(const KorvdConf& conf) { g_core.conf = conf; }
void SetListenSocket(int fd) { g_core.listen_socket = fd; }
void WatchSocket(int fd) { FD_SET(fd, &g_core.master_set); }
void UnwatchSocket(int fd) { FD_CLR(fd, &g_core.master_set); }
void UnwatchAllSockets() { FD_ZERO(&g_core.master_set); }
void RecordCaughtSignal(int signal) { g_core.caught_signal = signal; }
void RecordChildEnd(int exit_code, int pid, bool by_signal) {
  g_core.server_exit_code = exit_code;
  g_core.ended_server_pid = pid;
  g_core.server_end_by_signal = by_signal ? 1 : 0;
  g_core.caught_sigchld = 1;
}
void RecordSigchld() { g_core.caught_sigchld = 1; }
void SetServerExitCode(int code) { g_core.server_exit_code = code; }
void ClearCaughtSigchld() { g_core.caught_sigchld = 0; }
void ClearCaughtSignal() { g_core.caught_signal = 0; }
void SetLoopRunning(bool running) { g_core.loop_running = running; }

void NoteLoopPass(std::int64_t end_ms, std::int64_t pass_ms) {
  std::int64_t minute = end_ms / 60000;
  if (minute != g_core.stall_minute) {
    // A quiet minute in between leaves nothing to remember of the old one.
    g_core.stall_last_minute_ms = minute == g_core.stall_minute + 1 ? g_core.stall_this_minute_ms : 0;
    g_core.stall_this_minute_ms = 0;
    g_core.stall_minute = minute;
  }
  g_core.stall_this_minute_ms = std::max(g_core.stall_this_minute_ms, pass_ms);
}

std::int64_t LongestRecentLoopPassMs(std::int64_t now_ms) {
  std::int64_t minute = now_ms / 60000;
  if (minute == g_core.stall_minute)
    return std::max(g_core.stall_this_minute_ms, g_core.stall_last_minute_ms);
  if (minute == g_core.stall_minute + 1) return g_core.stall_this_minute_ms;
  return 0;
}
