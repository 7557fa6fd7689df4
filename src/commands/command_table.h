// The daemon's commands, one row each: a client command's row joins its
// wire facts (name, access, kind, queued code, text, upload: the row of
// core/protocol.h) to its handler; the daemon's own queued codes have rows
// of their own. The connections reach the table through the dispatcher and
// the command queue through the runner that InstallCommandTable sets.
#pragma once

#include <cstdint>
#include <span>

#include "core/protocol.h"
#include "remote/dispatch.h"
#include "remote/remote_state.h"

using QueuedHandler = void (*)(const QueuedCommand&);

// One client command. An immediate command has `now`, a queued one
// `queued` (run by the queue under the row's queued code), an ignored one
// neither.
struct CommandEntry {
  const CommandRow* wire;
  CommandHandler now;
  QueuedHandler queued;
};

// A queued code that no client sends: the daemon queues it itself.
struct DaemonCommandEntry {
  std::uint32_t queued;
  QueuedHandler handler;
};

// Every client command, one row per code in code order.
std::span<const CommandEntry> ClientCommands();
// The daemon's own queued commands.
std::span<const DaemonCommandEntry> DaemonCommands();

// The handler of a queued code; nullptr for a code the daemon does not know.
QueuedHandler FindQueuedHandler(std::uint32_t queued);

// Serves a client command the dispatcher accepted: a queued command joins
// the queue (with its text when it carries one), an immediate one runs.
void ServeClientCommand(const CommandContext& c);
// Runs a queued command by its handler; a code without one does nothing.
void RunQueuedCommand(const QueuedCommand& command);

// Makes the connections serve client commands by this table and the queue
// run its commands by it; done once at start-up.
void InstallCommandTable();
