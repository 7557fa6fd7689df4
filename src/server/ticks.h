// The periodic jobs of the main loop: the supervision tick (crashes,
// restarts, priority, current map, player refresh), the 3-second status
// tick (console upkeep, status query, pauses, idle map, version) and the
// chat poll between status ticks.
#pragma once

#include <ctime>

// Both run at `now`, the time of the main loop's pass.
void SupervisionTick(std::time_t now);
void StatusMonitorTick(std::time_t now);
// The chat poll between status ticks: while the console link is up, fetches
// what the console printed since the last fetch, as the status tick does (the
// chat lines take the same road). One console exchange at most.
void ChatPollTick(std::time_t now);
