// The daemon's one loop: wait for clients, run the ticks and the queue,
// react to the signals the handlers recorded.
#include "daemon/main_loop.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <string>

#include "daemon/manager_state.h"
#include "daemon/service_notify.h"
#include "core/clock.h"
#include "core/last_error.h"
#include "core/korvd_conf.h"
#include "core/log.h"
#include "core/wake.h"
#include "fleet/fleet.h"
#include "history/history.h"
#include "links/links_state.h"
#include "links/status_query.h"
#include "remote/command_queue.h"
#include "remote/connection.h"
#include "remote/session.h"
#include "server/ticks.h"
#include "server/launch.h"
#include "settings/settings_table.h"

namespace {

constexpr int kSelectSeconds = 3;
constexpr int kLeaveSeconds = 5;
constexpr int kDefaultSupervisionPeriod = 30;
constexpr long kShortestChatPollMs = 50;

// Seconds between supervision ticks (the monitor timer period setting).
// Before the settings are initialised the row is still 0; the default holds.
int SupervisionPeriod() {
  int period = SettingValue(kSetMonitorTimerPeriod);
  return period > 0 ? period : kDefaultSupervisionPeriod;
}

// Seconds between status ticks: 3 unless korvd.conf asks for fewer.
long StatusPeriod() { return static_cast<long>(Core().conf.status_tick_seconds); }

void LogCaughtDebugLines() {
  if (Core().caught_sigchld) {
    ClearCaughtSigchld();
    if (Core().debug) LogMessage(6, "DEBUG: Caught SIGCHLD!\n");
  }
}

// How the game server ended: its exit code, or the signal that killed it.
void LogServerEnd() {
  int code = Core().server_exit_code;
  if (Core().server_end_by_signal) {
    LogMessage(6, "Server terminated by signal %i (%s).", code, strsignal(code));
  } else {
    LogMessage(6, "Server terminated with exit code %i.", code);
  }
}

// Reacts to a recorded signal; true when the loop must end.
bool HandleCaughtSignal() {
  int signal = Core().caught_signal;
  if (signal == 0) return false;
  if (Core().debug) {
    const char* name = signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
    LogMessage(6, "DEBUG: Caught %s!\n", name);
  }
  if (signal == SIGHUP) {
    ClearCaughtSignal();
    LogMessage(6, "Caught SIGHUP, reloading korvd.conf and the user accounts.");
    ReloadKorvdConf();
    StartFleet();
    QueueCommand(kCmdReloadAccounts, nullptr, 0, 0);
    return false;
  }
  LogMessage(6, "Exiting due to signal (%i).", signal);
  SetServerExitCode(signal);
  return true;
}

// Discards what a readable client still sends; true when it has hung up
// (nothing was waiting, or its connection failed).
bool DiscardFromLeavingClient(int fd) {
  int waiting = 0;
  if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) return true;
  char discard[1024];
  while (waiting > 0) {
    ssize_t got = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (got == 0) return true;
    if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    if (::ioctl(fd, FIONREAD, &waiting) != 0) return true;
  }
  return false;
}

// Waits up to 5 seconds in all for clients to hang up, writing what is
// still pending for them and discarding what they still send: a client that
// keeps sending cannot hold the daemon's end.
void TakeLeaveOfClients() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLeaveSeconds);
  CloseHandshakes();
  PaceOutput(false);  // what is still pending goes out as fast as each client takes it
  for (int slot = 1; slot < kSessionSlots; ++slot) {
    if (Remote().sessions[slot].socket != 0) NotifyClient(kNotifyDisconnect, slot, nullptr, 0);
  }
  fd_set clients = Core().master_set;
  if (Core().listen_socket >= 0) FD_CLR(Core().listen_socket, &clients);
  for (;;) {
    bool any = false;
    for (int fd = 0; fd < FD_SETSIZE && !any; ++fd) any = FD_ISSET(fd, &clients);
    if (!any) break;  // nobody left to wait for
    fd_set ready = clients;
    fd_set writable;
    FD_ZERO(&writable);
    WatchPendingOutput(&writable);
    auto left = std::chrono::ceil<std::chrono::microseconds>(deadline -
                                                            std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    timeval timeout{static_cast<time_t>(left.count() / 1000000),
                    static_cast<suseconds_t>(left.count() % 1000000)};
    if (::select(FD_SETSIZE, &ready, &writable, nullptr, &timeout) <= 0) break;
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
      if (FD_ISSET(fd, &writable) && FD_ISSET(fd, &clients)) FlushConnection(fd);
      if (!FD_ISSET(fd, &ready)) continue;
      if (DiscardFromLeavingClient(fd)) {
        CloseSession(FindSessionBySocket(fd));
        CloseConnection(fd);
        FD_CLR(fd, &clients);
      }
    }
  }
}

void DiscardAndClose(int& fd) {
  if (fd < 0) return;
  int waiting = 0;
  char discard[1024];
  while (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
    if (::recv(fd, discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
  }
  ::close(fd);
  fd = -1;
}

}  // namespace

int RunDueTicks(TickTimers& timers, std::time_t now, int supervision_period) {
  int ran = 0;
  if (now >= timers.last_status + StatusPeriod()) {
    timers.last_status = now;
    StatusMonitorTick(now);
    ran |= 1;
  }
  if (now >= timers.last_supervision + supervision_period) {
    timers.last_supervision = now;
    SupervisionTick(now);
    ran |= 2;
  }
  return ran;
}

long ChatPollPeriod() {
  long period = static_cast<long>(Core().conf.chat_poll_ms);
  return period <= 0 ? 0 : std::max(period, kShortestChatPollMs);
}

bool RunChatPoll(TickTimers& timers, std::chrono::steady_clock::time_point steady, std::time_t now,
                 bool status_ran) {
  if (status_ran) {
    timers.last_chat_poll = steady;
    return false;
  }
  if (MillisecondsToChatPoll(timers, steady) != 0) return false;
  timers.last_chat_poll = steady;
  ChatPollTick(now);
  return true;
}

long MillisecondsToChatPoll(const TickTimers& timers, std::chrono::steady_clock::time_point steady) {
  long period = ChatPollPeriod();
  if (period == 0 || !Links().console_connected) return -1;
  auto left = timers.last_chat_poll + std::chrono::milliseconds(period) - steady;
  return std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

long MillisecondsToNextTick(const TickTimers& timers, std::chrono::system_clock::time_point now,
                            int supervision_period) {
  // A timer at 0 has not run yet: the first pass still waits before it runs
  // both ticks, which gives a server started just now time to appear.
  if (timers.last_status == 0 || timers.last_supervision == 0) return StatusPeriod() * 1000L;
  std::time_t due = std::min<std::time_t>(timers.last_status + StatusPeriod(),
                                          timers.last_supervision + supervision_period);
  auto left = std::chrono::system_clock::from_time_t(due) - now;
  return std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

int RunMainLoop() {
  TickTimers timers;
  PaceOutput(true);
  SetLoopRunning(true);
  OpenWakePipe();
  NotifyServiceReady();
  for (;;) {
    fd_set ready = Core().master_set;
    if (WakePipeFd() >= 0) FD_SET(WakePipeFd(), &ready);
    // Sockets are watched for writing only where output is pending.
    fd_set writable;
    FD_ZERO(&writable);
    WatchPendingOutput(&writable);
    // The wait ends at the nearest handshake or command deadline, and never
    // later than the next tick, so that a burst of traffic cannot push a
    // tick one whole wait behind its time.
    long wait_ms = MillisecondsToNextTick(timers, WallNow(), SupervisionPeriod());
    wait_ms = std::min(wait_ms, kSelectSeconds * 1000L);
    long chat_ms = MillisecondsToChatPoll(timers, SteadyNow());
    if (chat_ms >= 0) wait_ms = std::min(wait_ms, chat_ms);
    long deadline_ms = MillisecondsToNextDeadline(ConnectionClock::now());
    if (deadline_ms >= 0) wait_ms = std::min(wait_ms, deadline_ms);
    WatchFleet(&ready, &writable, &wait_ms);
    timeval timeout{wait_ms / 1000, static_cast<suseconds_t>((wait_ms % 1000) * 1000)};
    // Commands already read wait for their turn: look, but do not wait.
    if (InputWaiting()) timeout = timeval{0, 0};
    int count = ::select(FD_SETSIZE, &ready, &writable, nullptr, &timeout);
    if (count < 0) {
      SetLastError(errno);
      if (errno == EINTR) continue;
      LogMessage(6, "Select() returned an error! %s", ErrorText(LastError()).c_str());
      break;
    }
    // The one reading of the clock for the work of this pass.
    const std::time_t now = ClockNow();
    const auto pass_start = SteadyNow();
    StartStatusPass();
    if (DrainWakePipe(&ready)) --count;
    LogCaughtDebugLines();
    if (Core().server_exit_code != -1) {
      LogServerEnd();
      // The supervision tick runs on this very pass to notice a crash at
      // once; not when the server that ended is one the daemon stopped and
      // has already replaced (a restart), whose successor may not have
      // appeared yet.
      if (!Server().server_running || Core().ended_server_pid == Server().server_pid)
        timers.last_supervision = 0;
      SetServerExitCode(-1);
      if (Core().quit) {
        LogMessage(6, "Exiting due to -quit.");
        break;
      }
    }
    if (HandleCaughtSignal()) break;
    int ran = RunDueTicks(timers, now, SupervisionPeriod());
    // Between status ticks, the chat poll; the queue runs after it, so that
    // console exchanges never nest.
    RunChatPoll(timers, SteadyNow(), now, (ran & 1) != 0);
    RunQueuedCommands(now);
    count -= ServeFleet(now, &ready, &writable);
    if (count > 0) {
      // A client closed earlier in this pass (by a queued disconnect or a
      // failed notification) may see its descriptor number reused by a
      // connection accepted in this pass: only descriptors that were clients
      // when select() returned, and still are, are served.
      fd_set clients = Core().master_set;
      for (int fd = 0, left = count; fd < FD_SETSIZE && left > 0; ++fd) {
        bool readable = FD_ISSET(fd, &ready);
        bool can_write = FD_ISSET(fd, &writable);
        if (!readable && !can_write) continue;
        left -= (readable ? 1 : 0) + (can_write ? 1 : 0);
        if (fd == Core().listen_socket) {
          AcceptConnection(fd);
        } else if (FD_ISSET(fd, &clients) && FD_ISSET(fd, &Core().master_set)) {
          ServeConnection(fd, readable, can_write);
        }
      }
      RunQueuedCommands(now);
    }
    ServeBacklogs();
    CheckConnections(ConnectionClock::now());
    NoteLoopPass(std::chrono::duration_cast<std::chrono::milliseconds>(
                     WallNow().time_since_epoch()).count(),
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     SteadyNow() - pass_start).count());
  }
  SetLoopRunning(false);
  NotifyServiceStopping();
  // The status is settled now: a server that -exit stops below must not
  // replace the signal number with its own end.
  int status = Core().server_exit_code & 0xFF;
  TakeLeaveOfClients();
  if (Core().exit_stops_server) StopServer(false);
  CloseHistory();
  int console = TakeConsoleSocket();
  DiscardAndClose(console);
  int listener = Core().listen_socket;
  DiscardAndClose(listener);
  SetListenSocket(listener);
  LogMessage(6, "Exited");
  return status;
}
