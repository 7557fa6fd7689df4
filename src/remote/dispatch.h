// The handlers of the client commands (their codes and access rules are in
// core/protocol.h) and the dispatcher the main loop calls for a readable
// session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/protocol.h"

// What a session sent with the command and who it is.
struct CommandContext {
  int slot = 0;
  int socket = 0;
  std::string user;
  std::string address;
  std::uint32_t access = 0;
};

using CommandHandler = void (*)(const CommandContext&);

// Installs the launcher's start and stop (StartServer, StopServer) that
// the clients' start and stop commands call.
void SetServerControl(bool (*start)(), bool (*stop)(bool crash_handling));

// True when the sender may run the code (see the table in core/protocol.h).
bool HasCommandAccess(std::uint32_t sender, std::uint32_t code);

// Reads and runs one command from the session; true when it was accepted.
// `first` holds the leading bytes of the command code that the main loop has
// already read from the socket (`first_length` of them, at most 4).
bool DispatchClientCommand(int slot, const unsigned char* first = nullptr,
                           std::size_t first_length = 0);
