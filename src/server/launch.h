// Launching and stopping the game server.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Runs the pre-launch checks, writes the game's files, and starts
// bf1942_lnxded from the server directory in its own session. True when
// the child was started; every refusal is logged.
bool StartServer();

// The ten checks that refuse settings giving an unusable or unsafe server;
// false after logging the refusal (last error 0).
bool PassesPreLaunchChecks();

// Ends the server: "quit" through the console, 3 seconds, then SIGKILL if
// it is still there. `crash_handling` keeps the restart counter. False only
// when the kill failed.
bool StopServer(bool crash_handling);

// The server's argument vector: the binary path, +statusMonitor N, the
// overlay path when there is one, then the server arguments, split at runs
// of blanks.
std::vector<std::string> ServerArgumentVector(const std::string& binary);

// True while `pid` is a child the daemon started that has not ended:
// its own fresh server, also before the process table shows it as the
// server (between fork and exec). Leaves an ended child to be reaped.
bool ServerChildRunning(pid_t pid);

// Reaps the children that have ended, without waiting, and records the
// exit code (or the signal) of the last one for the main loop. Safe in a
// signal handler.
void ReapServerChildren();

// Looks for the server of this directory at start-up: the pid in
// bf1942.pid when the file exists, else the process table. The pid found
// (0 when none) becomes the server's pid; true when that process runs.
bool LookForRunningServer();
// Marks the server found as running and takes the console credentials from
// the settings, as for a server the daemon adopts.
void AdoptRunningServer();
