// Where a lower subsystem reaches a higher one, it offers a hook; the
// daemon installs them all here.
#pragma once

// Installs every hook: the console's chat lines go to the remote clients
// and the moderation, every refresh of the player table to the player
// history, the connections and the command queue run commands
// by the command table, the schedule's events reach the launcher, the
// settings' audit names the client of a session slot.
void InstallSubsystemHooks();
