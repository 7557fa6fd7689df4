// Client command codes 0xBABE0000 + n: the table of their access rules and
// handlers, and the dispatcher the main loop calls for a readable session.
#pragma once

#include <cstdint>
#include <span>
#include <string>

inline constexpr std::uint32_t kClientBase = 0xBABE0000;
inline constexpr std::uint32_t kClientLast = 0xBABE0032;
inline constexpr std::size_t kCommandTextSize = 256;
// Announced texts above this close the connection; shorter excess is
// read and dropped.
inline constexpr std::uint32_t kMaxAnnouncedText = 65536;

// What a session sent with the command and who it is.
struct CommandContext {
  int slot = 0;
  int socket = 0;
  std::string user;
  std::string address;
  std::uint32_t access = 0;
};

using CommandHandler = void (*)(const CommandContext&);

enum class CommandKind : std::uint8_t {
  kImmediate,  // served at once by the handler
  kQueued,     // handed to the command queue with its queued code
  kIgnored,    // accepted and ignored
};

// One client command. `need` holds the access bits of which any one admits
// the command; 0 admits everyone unless `admin_only` is set.
struct CommandRow {
  std::uint32_t code;
  const char* name;
  std::uint32_t need;
  bool admin_only;
  CommandKind kind;
  std::uint32_t queued;  // queued code for kQueued
  bool text;             // a length and text follow the code
  CommandHandler handler;
};

// The whole table, one row per code from 0xBABE0000 to 0xBABE0032.
std::span<const CommandRow> CommandTable();

// True when the sender may run the code (see the table).
bool HasCommandAccess(std::uint32_t sender, std::uint32_t code);

// Reads and runs one command from the session; true when it was accepted.
// `first` holds the leading bytes of the command code that the main loop has
// already read from the socket (`first_length` of them, at most 4).
bool DispatchClientCommand(int slot, const unsigned char* first = nullptr,
                           std::size_t first_length = 0);
