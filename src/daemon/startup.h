// The start-up sequence after the command line: installation checks, the
// daemon's files, loading what is stored, detaching, the pid file, the
// listening socket and, last, the launch of the server with -start.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Installs the signal handlers (before anything else).
void InstallSignalHandlers();

// Runs the start-up steps in order; the options the command line ignored
// are reported right after the banner. Returns normally when the main loop may
// begin; every fatal step logs its message and exits with status 1 (or the
// status the step names). Returns false only when the process should end
// with status 0 without a message of its own (the linger option failing).
bool RunStartupSequence(const std::vector<std::string>& ignored_options);

// The message that ends a start in a server directory without the server
// binary, or without the base mod's folder; none when it is there.
std::optional<std::string> MissingServerBinary();
std::optional<std::string> MissingModFolder();

// Reads korvd.conf over the defaults; a file that cannot be read is
// logged with a WARNING and the defaults hold.
void LoadOwnSettings();

// Detaches from the terminal: two forks around setsid, SIGHUP ignored,
// descriptors closed, working directory = the server directory.
void Daemonize();

// Opens the listening socket; exits on failure as the start-up does.
// Returns false when the linger option cannot be set (status 0).
bool OpenListenSocket();
