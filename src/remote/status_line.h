// The one-line server status for remote clients, the cached PunkBuster
// version text, and the excerpt of the daemon's log sent to clients.
#pragma once

#include <string>

inline constexpr long kLogExcerptSize = 32768;

// Writes the last 32768 bytes of the daemon's log to `path`; logs its own
// failures and leaves the file as far as it was written.
void WriteLogExcerpt(const std::string& path);
