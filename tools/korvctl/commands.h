// korvctl's subcommands: one table of names, codes, help pages and
// handlers, and the runner that connects, logs in and reports outcomes.
#pragma once

#include <string>

#include "options.h"

namespace korvctl {

// Runs the parsed command line; returns the exit status.
int RunKorvctl(Options& options);

// The general help page, or the page of one subcommand (none when the
// subcommand does not exist).
std::string GeneralHelp();
std::optional<std::string> SubcommandHelp(const std::string& name);

struct Subcommand;
// The subcommand that sends command `code` with the notifications that tell
// its outcome (context.h); nullptr when none does.
const Subcommand* SubcommandForCode(std::uint32_t code);

}  // namespace korvctl
