// The select() loop: the two periodic ticks, the command queue, clients,
// signals, and taking leave at the end.
#pragma once

#include <chrono>
#include <ctime>

#include "core/wake.h"

// Runs until a signal, a select() failure or -quit ends it, takes leave of
// the clients and returns the exit status (the signal number after a
// signal, otherwise the server exit code, normally 255).
int RunMainLoop();

// The tick timers of the loop (both 0 at entry so both run on the first
// pass). The supervision timer is reset to 0 when the server ends.
struct TickTimers {
  std::time_t last_status = 0;
  std::time_t last_supervision = 0;
  // The last fetch of the console's output by the chat poll or the status tick.
  std::chrono::steady_clock::time_point last_chat_poll{};
};

// Runs the ticks that are due at `now`; returns which ran (bit 0 status,
// bit 1 supervision).
int RunDueTicks(TickTimers& timers, std::time_t now, int supervision_period);

// Milliseconds between chat polls ([console] chat_poll_ms, at least 50); 0
// when they are off.
long ChatPollPeriod();
// Runs the chat poll when it is due at `steady` and the console link is up;
// true when it ran. A status tick that ran on this pass (`status_ran`)
// fetched already: the poll waits a whole period from it.
bool RunChatPoll(TickTimers& timers, std::chrono::steady_clock::time_point steady,
                 std::time_t now, bool status_ran);
// Milliseconds until the next chat poll is due (0 when it is); -1 when no
// poll is coming (off, or no console link).
long MillisecondsToChatPoll(const TickTimers& timers, std::chrono::steady_clock::time_point steady);

// Milliseconds from `now` until the next tick is due (0 when one is due
// already; 3 seconds before the first pass): the longest the loop may wait
// in select().
long MillisecondsToNextTick(const TickTimers& timers, std::chrono::system_clock::time_point now,
                            int supervision_period);
