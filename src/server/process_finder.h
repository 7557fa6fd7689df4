// Recognising the daemon's own game server in the process table.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One process as the table shows it.
struct ProcessEntry {
  std::string command;            // command name, at most 15 characters
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t session = 0;
  std::vector<std::string> argv;  // command-line vector
};

// Looks for the daemon's server: a session leader whose command name begins
// with "bf1942_lnxded", whose executable lies in the server directory and
// whose overlay path matches. `*pid` of -1 adopts the first match; a match
// whose pid or parent pid equals `*pid` is taken (the pid replaced by the
// server's own). False when none matches (or pid is null).
bool FindServerProcess(pid_t* pid);

// The matching rules over a given table (for tests); `read_link` gives the
// target of a process's /proc link ("exe", "cwd"), or an empty text with
// errno set.
bool MatchServerProcess(const std::vector<ProcessEntry>& table, pid_t* pid,
                        std::string (*read_link)(pid_t pid, const char* link));
