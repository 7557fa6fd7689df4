// The one-line server status for remote clients, the cached PunkBuster
// version text, and the excerpt of the daemon's log sent to clients.
#pragma once

#include <string>

inline constexpr long kLogExcerptSize = 32768;

// Builds the 19 comma-separated fields of the status line. False when
// `line` is null or the console is connected but the status query fails.
// Every value is cut, so the line stays within a few kilobytes.
bool GetServerStatusString(std::string* line);

// The PunkBuster version "(...)" as the console printed it, asked once per
// console connection; "(version unknown)" when it cannot be had.
std::string GetPunkBusterVersion();

// Writes the last 32768 bytes of the daemon's log to `path`; logs its own
// failures and leaves the file as far as it was written.
void WriteLogExcerpt(const std::string& path);
