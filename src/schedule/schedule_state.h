// Fields of the weekly schedule: the event table and the event that waits
// for the end of the running game.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include "wire/schedule_line.h"

inline constexpr int kScheduleSlots = 64;

// One scheduled event: a line of the file, and what the tick notes of it.
// The time is also its key (unique in the table); a time of 0 marks an
// empty slot and ends the table.
struct ScheduleEvent : ScheduleLine {
  // The occurrence last warned about, and the minutes of that warning (3,
  // 2 or 1), so that each warning goes out once.
  std::time_t warned_for = 0;
  int warned_minutes = 0;
};

struct ScheduleState {
  /* Event table, filled from slot 0 without gaps */
  std::array<ScheduleEvent, kScheduleSlots> events{};

  /* The event waiting for the end of the running game */
  std::uint32_t pending_time = 0;  // 0 = none
  pid_t pending_server_pid = 0;    // the server's pid when it began to wait
  bool round_end_seen = false;     // the game ended while it waited
  // A restart waiting for an empty server fires at the latest then (0 =
  // the pending event waits for the end of the game instead).
  std::time_t empty_deadline = 0;

  /* Progress of the tick */
  // The schedule has looked up to this instant: an event fires when it
  // falls after it (0 = no tick yet).
  std::time_t looked_until = 0;
  // A scheduled restart stopped the server; it starts again at this
  // instant (0 = none).
  std::time_t start_at = 0;

  /* What starts and stops the game server (installed by the daemon) */
  bool (*start_server)() = nullptr;
  bool (*stop_server)(bool crash_handling) = nullptr;
};

// The schedule's section of the daemon's state (the one instance).
const ScheduleState& Schedule();
// Written only inside src/schedule/; other folders use schedule.h.
ScheduleState& MutableSchedule();
