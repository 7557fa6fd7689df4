// Fields of server supervision: the game server's process as the daemon
// knows it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct ServerState {
  pid_t server_pid = 0;        // 0 = none known, -1 = look it up
  bool server_running = false;
  std::int64_t last_start_time = 0;
  int restart_counter = 0;     // quick restarts in a row (restart loop)
  std::string console_user;     // console credentials of the running server
  std::string console_password;
};

// The game server's section of the daemon's state (the one instance).
const ServerState& Server();
// The server folder is the section's only writer (server/sections.cc);
// the header lives here because lower folders read it.
ServerState& MutableServer();
