// The two periodic jobs of the main loop: the supervision tick (crashes,
// restarts, priority, current map, player refresh) and the 3-second status
// tick (console upkeep, status query, pauses, idle map, version).
#pragma once

void SupervisionTick();
void StatusMonitorTick();
