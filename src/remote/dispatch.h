// The handlers of the client commands (their codes and access rules are in
// core/protocol.h) and the dispatcher the main loop calls for a readable
// session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"
#include "remote/command_parser.h"

// What a session sent with the command and who it is.
struct CommandContext {
  int slot = 0;
  int socket = 0;
  std::string user;
  std::string address;
  std::uint32_t access = 0;
  // An upload's whole frame from the session's input; empty when its header
  // was refused.
  std::string_view frame;
};

using CommandHandler = void (*)(const CommandContext&);

// Installs the launcher's start and stop (StartServer, StopServer) that
// the clients' start and stop commands call.
void SetServerControl(bool (*start)(), bool (*stop)(bool crash_handling));

// Installs what reloads the banned words after an upload of
// bannedwords.con (moderation's LoadBannedWords).
void SetBannedWordsReloader(bool (*reload)());
// Installs what checks a schedule a client uploaded and then puts it in
// place of the schedule file and loads it, or refuses it (the schedule's
// AcceptUploadedSchedule).
void SetScheduleAcceptor(bool (*accept)(const std::string& uploaded, const std::string& path));

// True when the sender may run the code (see the table in core/protocol.h).
bool HasCommandAccess(std::uint32_t sender, std::uint32_t code);

// Runs one whole command unit the session's input held (or logs why it is
// refused); true when it was accepted.
bool RunClientCommand(int slot, const CommandUnit& unit);
