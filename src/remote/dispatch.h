// The checks every client command passes before it is served: the session
// it came from, its code and access (core/protocol.h), its text and frame.
// What serves an accepted command is the daemon's command table, which the
// daemon installs here at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"
#include "remote/command_parser.h"

// What a session sent with the command and who it is.
struct CommandContext {
  std::uint32_t code = 0;
  int slot = 0;
  int socket = 0;
  std::string user;
  std::string address;
  std::uint32_t access = 0;
  // The command's text as the queue keeps it (at most 255 bytes); empty
  // for a command without one.
  std::string_view text;
  // An upload's whole frame from the session's input; empty when its header
  // was refused.
  std::string_view frame;
};

using CommandHandler = void (*)(const CommandContext&);

// Installs what serves every accepted command (the command table's
// dispatcher); until then accepted commands do nothing.
void SetCommandDispatcher(CommandHandler dispatcher);

// True when the sender may run the code (see the table in core/protocol.h).
bool HasCommandAccess(std::uint32_t sender, std::uint32_t code);

// Runs one whole command unit the session's input held (or logs why it is
// refused); true when it was accepted.
bool RunClientCommand(int slot, const CommandUnit& unit);
