// The daemon's one clock. The main loop reads it once per pass and hands
// that time down to the work of the pass; what runs outside a pass
// (start-up, a client's command) reads it here. A test sets it once and
// drives every subsystem with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

// Seconds since the epoch.
std::time_t ClockNow();
// The same to the millisecond.
std::chrono::system_clock::time_point WallNow();
// A steady reading for measuring how long work takes.
std::chrono::steady_clock::time_point SteadyNow();

// A test's clock: milliseconds since the epoch; every reading above follows
// it. nullptr gives the system's clocks back (as ResetManagerState does).
using TestClock = std::int64_t (*)();
void SetClockForTests(TestClock clock);
