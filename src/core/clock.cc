// The one clock: the system's, or the one a test set.
#include "core/clock.h"

#include "core/core_state.h"

std::time_t ClockNow() {
  TestClock clock = Core().test_clock;
  return clock != nullptr ? static_cast<std::time_t>(clock() / 1000) : std::time(nullptr);
}

std::chrono::system_clock::time_point WallNow() {
  TestClock clock = Core().test_clock;
  if (clock == nullptr) return std::chrono::system_clock::now();
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(clock()));
}

std::chrono::steady_clock::time_point SteadyNow() {
  TestClock clock = Core().test_clock;
  if (clock == nullptr) return std::chrono::steady_clock::now();
  return std::chrono::steady_clock::time_point(std::chrono::milliseconds(clock()));
}

void SetClockForTests(TestClock clock) { MutableCore().test_clock = clock; }
