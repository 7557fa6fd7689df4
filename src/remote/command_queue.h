// The 32-slot deferred command queue that every action on the game server
// goes through, whoever asks for it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

#include "core/protocol.h"
#include "remote/remote_state.h"


// Queues a command due `delay` seconds from now (with no delay, due on the
// next run of the queue, whatever time that run was given). A full queue
// drops it with a log line. Always true.
bool QueueCommand(std::uint32_t code, const char* text, std::uint32_t sender, int delay);
// As QueueCommand, for a command that acts on one player: when it runs,
// it is carried out only while the game still gives target->id to that
// player (its handler checks). No target: not checked.
bool QueueCommandFor(std::uint32_t code, const char* text, std::uint32_t sender, int delay,
                     const std::optional<CommandTarget>& target);
// As QueueCommand, but only when no slot already holds the same code.
bool QueueCommandOnce(std::uint32_t code, const char* text, std::uint32_t sender, int delay);
// Runs the commands that are due at `now` (the time of the loop's pass), in
// queue order; called on every loop pass. A run starts no further command
// once it has run commands for 100 ms (by the one clock's steady reading):
// those stay queued, in order, and the main loop is woken so that
// its next wait ends at once. Any command due at the end of a run (one
// queued while it ran too) wakes the loop the same way.
void RunQueuedCommands(std::time_t now);
// The procedure that runs each due command: the command table's runner,
// which the daemon installs at start-up (with none, due commands leave the
// queue unrun). Whatever it throws is logged and the queue goes on.
using CommandRunner = void (*)(const QueuedCommand&);
void SetCommandRunner(CommandRunner runner);
// Number of occupied slots.
int QueuedCommandCount();
