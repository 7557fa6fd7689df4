// Fields of server supervision: the game server's process as the daemon
// knows it.
#pragma once

#include <sys/types.h>

struct ServerState {
  pid_t server_pid = 0;        // 0 = none known, -1 = look it up
  bool server_running = false;
};
