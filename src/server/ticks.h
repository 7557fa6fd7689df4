// The two periodic jobs of the main loop: the supervision tick (crashes,
// restarts, priority, current map, player refresh) and the 3-second status
// tick (console upkeep, status query, pauses, idle map, version).
#pragma once

// Queued command that changes the map to the combo in its text.
#include <cstdint>
inline constexpr std::uint32_t kCmdChangeMap = 0xB00B000A;

void SupervisionTick();
void StatusMonitorTick();
