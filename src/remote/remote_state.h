// Fields of remote administration: the session table and the deferred
// command queue.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

inline constexpr int kSessionSlots = 17;  // slot 0 is the daemon itself
inline constexpr int kMaxClients = 16;
inline constexpr int kQueueSlots = 32;
inline constexpr std::size_t kQueuedTextSize = 256;

// One slot of the session table. A socket of 0 marks a free slot.
struct ClientSession {
  int socket = 0;
  std::string user_name;          // at most 31 characters
  std::string address;            // "a.b.c.d:port", at most 21 characters
  std::uint32_t access = 0;
  std::string last_command_time;  // ctime() text, empty until a command
};

// One slot of the deferred command queue. A code of 0 marks a free slot.
struct QueuedCommand {
  std::uint32_t code = 0;
  char text[kQueuedTextSize] = {};
  std::uint32_t sender = 0;
  std::int64_t due = 0;
};

struct RemoteState {
  /* Sessions */
  std::array<ClientSession, kSessionSlots> sessions{};

  /* Deferred command queue, kept packed: occupied slots first */
  std::array<QueuedCommand, kQueueSlots> queue{};
};
