// The two periodic jobs of the main loop: the supervision tick (crashes,
// restarts, priority, current map, player refresh) and the 3-second status
// tick (console upkeep, status query, pauses, idle map, version).
#pragma once

#include <ctime>

// Both run at `now`, the time of the main loop's pass.
void SupervisionTick(std::time_t now);
void StatusMonitorTick(std::time_t now);
