// Hang detection and the restart-loop cool-down.
#include "server/supervision.h"

#include <algorithm>
#include <cstdint>

#include "core/core_state.h"
#include "core/log.h"
#include "core/server_state.h"
#include "core/tick_state.h"
#include "server/launch.h"

namespace {

// A server that has run this long is out of its restart loop.
constexpr std::time_t kSettledSeconds = 60;

// The cool-down after `loops` loops in a row: the base doubled, capped.
std::int64_t CooldownSeconds(int loops) {
  const KorvdConf& conf = Core().conf;
  std::int64_t wait = conf.loop_cooldown_seconds;
  for (int i = 1; i < loops && wait < conf.loop_cooldown_max_seconds; ++i) wait *= 2;
  return std::min(wait, conf.loop_cooldown_max_seconds);
}

}  // namespace

void NoteServerAnswered(std::time_t now) {
  TickState& ticks = MutableTicks();
  ticks.last_answer_time = now;
  if (ticks.hang_reported) LogMessage(6, "Server is answering again.");
  ticks.hang_reported = false;
}

bool CheckForHang(std::time_t now) {
  const std::int64_t limit = Core().conf.hang_seconds;
  const ServerState& server = Server();
  TickState& ticks = MutableTicks();
  if (limit <= 0 || !server.server_running || ticks.hang_reported) return false;
  // Only a server that has answered since its start can hang: one still
  // loading its first map may take its time.
  if (ticks.last_answer_time < server.last_start_time) return false;
  std::int64_t since = ticks.last_answer_time;
  if (now - since < limit) return false;
  ticks.hang_reported = true;
  ++ticks.hangs_total;
  LogMessage(6, "Server is hung: no answer from its console or status port for %lli seconds.",
             static_cast<long long>(now - since));
  if (!Core().restart) {
    LogMessage(6, "Auto-restart is disabled, the hung server is left running.");
    return false;
  }
  LogMessage(6, "Auto-restart is enabled, restarting the hung server.");
  StopServer(true);
  ++ticks.restarts_total;
  ticks.last_answer_time = 0;
  ticks.hang_reported = false;
  StartServer();
  return true;
}

void EnterRestartLoop(std::time_t now) {
  TickState& ticks = MutableTicks();
  ticks.restart_loop = true;
  if (Core().conf.loop_cooldown_seconds <= 0) {
    LogMessage(6, "Server is in a restart loop, disabling auto-restart.");
    return;
  }
  ++ticks.loop_cooldowns;
  std::int64_t wait = CooldownSeconds(ticks.loop_cooldowns);
  ticks.loop_retry_at = now + wait;
  LogMessage(6, "Server is in a restart loop, trying again after a cool-down of %lli seconds.",
             static_cast<long long>(wait));
}

bool RetryAfterCooldown(std::time_t now) {
  TickState& ticks = MutableTicks();
  const ServerState& server = Server();
  if (server.server_running) {
    if (ticks.loop_retry_at != 0) {
      LogMessage(6, "Server was started during the restart-loop cool-down; the retry is off.");
      ticks.loop_retry_at = 0;
    }
    ticks.restart_loop = false;
    if (now - server.last_start_time > kSettledSeconds) ticks.loop_cooldowns = 0;
    return false;
  }
  if (ticks.loop_retry_at == 0 || now < ticks.loop_retry_at) return false;
  ticks.loop_retry_at = 0;
  ticks.restart_loop = false;
  MutableServer().restart_counter = 0;
  LogMessage(6, "Restart-loop cool-down is over, starting the server again.");
  ++ticks.restarts_total;
  if (!StartServer())
    EnterRestartLoop(now);  // a refused launch waits for the next cool-down
  return true;
}
