// korvweb's command line and its optional config file of "key = value"
// lines (listen, daemon, idle_minutes, max_sessions, timeout_seconds,
// stream_grace_seconds, trusted_proxy, fleet).
#pragma once

#include <string>
#include <vector>

#include "korvweb/app.h"

namespace korvweb {

// What a command line asks for.
enum class Request { kServe, kHelp, kVersion, kError };

// Fills `config` from the words after the program name; kError with a
// message in `error`.
Request ParseOptions(const std::vector<std::string>& words, Config* config, std::string* error);
// Applies one config file; false with the file's line in `error`.
bool LoadConfigFile(const std::string& path, Config* config, std::string* error);
// HOST:PORT into its parts; false when malformed.
bool ParseHostPort(const std::string& text, std::string* host, int* port);
extern const char kUsage[];

}  // namespace korvweb
