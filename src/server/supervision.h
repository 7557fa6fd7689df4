// Supervision that korvd.conf switches on: hang detection, and trying a
// server again after a cool-down once it fell into a restart loop.
#pragma once

#include <ctime>

// The console or the status port answered: the server is not hung.
void NoteServerAnswered(std::time_t now);

// With [supervision] hang_seconds set, a running server that answered
// once since its start and has not answered for that long since is logged once as hung and, with -restart,
// stopped and started again. True when it was restarted.
bool CheckForHang(std::time_t now);

// A restart loop stops the automatic restarts: for good without
// [supervision] loop_cooldown_seconds, else until a cool-down that doubles
// with every loop in a row (up to loop_cooldown_max_seconds). Logs the
// decision.
void EnterRestartLoop(std::time_t now);

// Starts the server again once the cool-down is over (true then). A server
// started meanwhile by someone else ends the wait; one that has run past
// its first minute resets the doubling.
bool RetryAfterCooldown(std::time_t now);
