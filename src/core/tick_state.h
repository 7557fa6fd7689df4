// Fields of the two supervision ticks: crash and restart bookkeeping, the
// maps, and what the status tick remembers between its runs.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::size_t kMaxMapText = 127;

struct TickState {
  /* Crashes (the restart counter and start time live with the server) */
  std::int64_t last_crash_time = 0;  // 0 = none yet
  std::uint64_t crashes_total = 0;   // since the daemon started
  std::uint64_t restarts_total = 0;  // automatic restarts (after a crash or a hang)
  std::uint64_t hangs_total = 0;     // hangs seen

  /* Restart loop and its cool-down (korvd.conf [supervision]) */
  bool restart_loop = false;        // auto-restart stopped by a restart loop
  std::int64_t loop_retry_at = 0;   // when the cool-down ends, 0 = no retry due
  int loop_cooldowns = 0;           // cool-downs in a row (each doubles the wait)

  /* Hang detection: the last answer of the console or the status port */
  std::int64_t last_answer_time = 0;
  bool hang_reported = false;

  /* Metrics file: a failed write is logged once until the error changes or
     a write succeeds */
  int metrics_write_error = 0;  // the last write's error, 0 after a success
  // The file the last successful write made ("" for none): removed when
  // [metrics] textfile changes, so that no stale figures stay behind.
  std::string metrics_file_written;
  // The bans last counted in each ban store (daemon, game, PunkBuster) and
  // the file they were counted in; counted again only when it changes.
  struct BanCount {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;  // -1 = not counted yet
    std::int64_t mtime_ns = 0;
    double bans = 0;
  };
  BanCount ban_counts[3];
  // Whether the daemon's list and the game's stores held the same bans when
  // they were last compared; compared again only when a count above changes.
  bool bans_in_sync = true;
  bool bans_compared = false;

  /* Maps */
  std::string current_map;  // as the server last reported it

  /* Status tick */
  std::uint32_t idle_count = 0;  // status ticks in a row with nobody on
  bool round_stats_logged = false;
};

// The ticks' section of the daemon's state (the one instance).
const TickState& Ticks();
// The server folder is the section's only writer (server/sections.cc).
TickState& MutableTicks();
