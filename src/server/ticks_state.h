// Fields of the two supervision ticks: crash and restart bookkeeping, the
// maps, and what the status tick remembers between its runs.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::size_t kMaxMapText = 127;

struct TickState {
  /* Crashes and restarts */
  std::int32_t restart_counter = 0;  // quick crash restarts in a row
  std::int64_t last_start_time = 0;  // set by each launch
  std::int64_t last_crash_time = 0;  // 0 = none yet

  /* Maps */
  std::string current_map;  // as the server last reported it
  std::string start_map;    // the combo the next launch begins with

  /* Status tick */
  std::uint32_t idle_count = 0;  // status ticks in a row with nobody on
  bool server_paused = false;
  bool round_stats_logged = false;
};
