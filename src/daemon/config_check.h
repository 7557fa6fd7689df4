// korvd -t: the configuration check. Loads what a start loads (korvd.conf,
// korvane.con, the accounts, the schedule, the banned words and the ban
// files), prints every line that says what is wrong, and writes, starts
// and listens on nothing.
#pragma once

#include <string>
#include <vector>

// Runs the check after the command line was scanned with -t. Returns the
// process's exit status: 0 when nothing was wrong, 1 otherwise. Unknown
// options are reported but, as at a start, do not fail the check.
int RunConfigCheck(const std::vector<std::string>& ignored_options);
