// Fields of remote administration: the account table and its padding
// generator, the session table and the deferred command queue.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/protocol.h"
#include "wire/account_line.h"

inline constexpr int kSessionSlots = 17;  // slot 0 is the daemon itself
inline constexpr int kMaxClients = 16;
inline constexpr int kQueueSlots = 32;
inline constexpr std::size_t kQueuedTextSize = 256;
inline constexpr int kMaxAccounts = 100;
inline constexpr int kRngWords = 533;

// One slot of the session table. A socket of 0 marks a free slot.
struct ClientSession {
  int socket = 0;
  std::string user_name;          // at most 31 characters
  std::string address;            // "a.b.c.d:port", at most 21 characters
  std::uint32_t access = 0;
  std::time_t last_command_at = 0;  // moment of the last accepted command, 0 until one
};

// The player a delayed kick is meant for. By the time it runs the game may
// have given his id to someone else, so it runs only while the id still
// holds the same name and, where both are known, the same keyhash.
struct CommandTarget {
  std::int32_t id = -1;
  std::string name;
  std::string keyhash;
};

// One slot of the deferred command queue. A code of 0 marks a free slot.
struct QueuedCommand {
  std::uint32_t code = 0;
  char text[kQueuedTextSize] = {};
  std::uint32_t sender = 0;
  std::int64_t due = 0;
  std::optional<CommandTarget> target;  // none: the command is not checked
};

// Failed logins from one client address (see login_penalty.h).
struct LoginSource {
  int failures = 0;
  std::chrono::steady_clock::time_point last_failure{};
  std::chrono::steady_clock::time_point allowed_at{};  // the next login is checked then
  // Counted since the last line about the address, and when the next may be logged.
  int unlogged_failures = 0;
  int dropped = 0;
  std::chrono::steady_clock::time_point counted_since{};
  std::chrono::steady_clock::time_point next_summary{};
};

struct CommandContext;

struct RemoteState {
  /* User accounts, in file order without gaps; an empty user name ends the
     table */
  std::array<UserAccount, kMaxAccounts> accounts{};
  // Rows of useraccess.con after the table's last: they log in (the login
  // check reads the file) and every rewrite of the file keeps them.
  std::vector<UserAccount> accounts_beyond_table;

  /* Generator of the padding of enciphered account fields */
  std::array<std::uint32_t, kRngWords> rng_state{};
  int rng_index = 0;

  /* Sessions */
  std::array<ClientSession, kSessionSlots> sessions{};

  /* Failed logins by client address (IPv4, host order) */
  std::unordered_map<std::uint32_t, LoginSource> login_sources;
  std::chrono::steady_clock::time_point next_penalty_sweep{};

  /* What clients and the ticks change about the game in progress */
  std::string start_map;       // map to begin with on the next launch
  bool server_paused = false;

  /* Deferred command queue, kept packed: occupied slots first */
  std::array<QueuedCommand, kQueueSlots> queue{};

  /* What serves an accepted client command and runs a due queued one: the
     command table's dispatcher and runner, installed at start-up */
  void (*dispatcher)(const CommandContext&) = nullptr;
  void (*command_runner)(const QueuedCommand&) = nullptr;

  /* Connections (kept by remote/connection.cc, closed by
     CloseAllConnections): their output pace, and the next one's serial */
  bool output_paced = true;
  std::uint64_t next_connection_serial = 1;

  /* Counters since the daemon started (for the metrics file) */
  std::array<std::uint64_t, kClientLast - kClientBase + 1> commands_served{};  // by code
  std::uint64_t failed_logins = 0;
};

// The remote clients' section of the daemon's state (the one instance).
const RemoteState& Remote();
// Written only inside src/remote/; other folders use the functions offered here.
RemoteState& MutableRemote();

// The map the next launch begins with ("" for the rotation's first).
void SetStartMap(const std::string& map);
// Whether the game is paused, as the last pause command or status report said.
void MarkServerPaused(bool paused);
// Counts one client command served (codes outside the table are not).
void CountCommandServed(std::uint32_t code);
