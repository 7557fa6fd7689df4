// korvctl --fleet FILE: one command against every daemon of a fleet file at
// once, one connection per daemon, each bounded by the timeout, the
// outcomes gathered into one table or one JSON object per daemon.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace korvctl {

struct FleetMember {
  std::string name;
  std::string host;
  int port = 0;
};

// Lines "name address[:port]"; '#' starts a comment, blank lines are
// skipped, the port defaults to `default_port`. False with "line N: ..."
// for a line that is not so, a repeated name or an empty fleet.
bool ParseFleet(const std::string& text, int default_port, std::vector<FleetMember>* members,
                std::string* error);

// Runs options.subcommand against every member of the fleet file; 0 when
// every daemon succeeded, 1 when any failed, 2 for a usage error.
int RunFleet(Options& options);

}  // namespace korvctl
