// Fields of the daemon core: command-line options, directories, the last
// error, and what the main loop and signal handlers share.
#pragma once

#include <sys/select.h>
#include <sys/syslog.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/korvd_conf.h"

// Buffer limits of the core's texts (the longest text each may hold).
inline constexpr std::size_t kMaxPathText = 4095;
inline constexpr std::size_t kMaxServerArgsText = 1023;
inline constexpr std::size_t kMaxSystemText = 1023;
inline constexpr std::size_t kMaxIdleMapText = 127;
inline constexpr int kDefaultListenPort = 14667;

// The run of identical log messages being counted (see LogMessage).
struct LogRepeat {
  std::string last;             // the last message text written or counted
  std::int64_t minute = -1;     // its minute (seconds since the epoch / 60)
  std::int64_t run = 0;         // identical messages in that minute so far
  std::int64_t suppressed = 0;  // of those, not written yet
};

// What the command line sets (with its defaults); daemon/options.cc scans
// it into a copy and hands that over through ApplyOptions.
struct CoreOptions {
  /* Option flags from the command line */
  bool restart = false;       // -restart: restart after a crash
  bool daemon = false;        // -daemon: detach, never echo
  bool pid_file = false;      // -pid given
  bool quit = false;          // -quit: end when the server ends
  bool kill = false;          // -kill
  bool syslog = false;        // -syslog
  int syslog_facility = LOG_LOCAL0;
  bool priority = false;      // -priority
  std::int32_t priority_value = 0;
  bool debug = false;         // -debug
  bool admin_log = false;     // -adminlog
  bool status_log = false;    // -statuslog
  bool message_log = false;   // -messagelog
  bool reuse_address = false; // -reuseaddr (SO_REUSEADDR is set always)
  bool exit_stops_server = false;  // -exit
  bool stop = false;          // -stop
  bool start = false;         // -start
  // -t: the configuration check loads what a start loads, prints what is
  // wrong and writes no file (the file writers and the log leave the disk
  // alone).
  bool check_only = false;
  std::int32_t status_monitor = 0;  // +statusMonitor value
  std::uint32_t ip_option = 0;      // -ip, applied after the settings load

  /* Words that live beside the settings table */
  int listen_port = kDefaultListenPort;
  int admin_message_style = 1;  // 1 = yellow server messages, 0 = chat
  int kick_delay = 1;           // 1 = kick and ban after a delay

  /* Directories and texts */
  std::string server_dir;       // no trailing '/'
  std::string overlay_path;     // always ends in '/', empty if none
  std::string settings_dir;
  std::string pid_file_path;
  std::string server_args;      // " name value" pairs for the server
  std::string server_commands;  // "key value\n" lines for serversettings.con
  // "@game.gameSpyPort N" and "@game.gameSpyLANPort N" also set those
  // settings' current values: ApplyCommandLinePorts takes them from here
  // once korvane.con is loaded, so the command line wins.
  std::vector<std::pair<std::string, std::int64_t>> pending_port_commands;
};

struct CoreState : CoreOptions {
  /* Texts set at start-up and by the settings */
  std::string system_description;
  std::string idle_map;

  /* Log */
  LogRepeat log_repeat;
  // The first log this run rotated (it holds the start-up lines); rotated
  // logs named before it are earlier runs'. "" until the first rotation.
  std::string log_first_rotated;
  // Lines at warning level or worse printed while check_only is set.
  int check_problems = 0;

  /* korvd.conf (defaults without the file) */
  KorvdConf conf;

  /* The clock a test set (core/clock.h), nullptr for the system's */
  std::int64_t (*test_clock)() = nullptr;

  /* Installation facts */
  bool punkbuster_installed = false;

  /* Main loop and signals */
  fd_set master_set{};
  int listen_socket = -1;
  volatile std::sig_atomic_t caught_signal = 0;
  volatile std::sig_atomic_t server_exit_code = -1;
  volatile std::sig_atomic_t ended_server_pid = 0;  // the child whose end that is
  volatile std::sig_atomic_t server_end_by_signal = 0;  // the exit code is a signal number
  volatile std::sig_atomic_t caught_sigchld = 0;
  bool loop_running = false;

  /* Main-loop stalls: the longest pass of this minute and the one before */
  std::int64_t stall_minute = -1;
  std::int64_t stall_this_minute_ms = 0;
  std::int64_t stall_last_minute_ms = 0;
};

// The core section of the daemon's state (the one instance): readable by
// every folder, writable (MutableCore) only by core; the others change it
// through the functions below.
const CoreState& Core();
CoreState& MutableCore();

// Takes over what the command line set.
void ApplyOptions(const CoreOptions& options);

// Sets the idle map combination the status tick changes to ("" for none).
void SetIdleMap(const std::string& map);
// The facts start-up finds about the machine and the installation.
void SetSystemDescription(const std::string& text);
void SetPunkBusterInstalled(bool installed);
// Takes over the settings read from korvd.conf.
void SetKorvdConf(const KorvdConf& conf);
// The sockets select() watches: the listening socket and the clients.
void SetListenSocket(int fd);
void WatchSocket(int fd);
void UnwatchSocket(int fd);
void UnwatchAllSockets();
// What the signal handlers and the child reaper record for the main loop.
void RecordCaughtSignal(int signal);
// The child's exit status, or with `by_signal` the signal that ended it;
// also marks SIGCHLD as caught.
void RecordChildEnd(int exit_code, int pid, bool by_signal);
void RecordSigchld();
void SetServerExitCode(int code);    // -1 once reported
void ClearCaughtSigchld();
void ClearCaughtSignal();
void SetLoopRunning(bool running);
// Records one pass of the main loop that took `pass_ms` and ended at
// `end_ms` (milliseconds since the epoch).
void NoteLoopPass(std::int64_t end_ms, std::int64_t pass_ms);
// The longest pass recorded in the minute of `now_ms` and the one before.
std::int64_t LongestRecentLoopPassMs(std::int64_t now_ms);
