// Fields of the two supervision ticks: crash and restart bookkeeping, the
// maps, and what the status tick remembers between its runs.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::size_t kMaxMapText = 127;

struct TickState {
  /* Crashes (the restart counter and start time live with the server) */
  std::int64_t last_crash_time = 0;  // 0 = none yet

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
