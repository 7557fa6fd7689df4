// The statistics file: one snapshot of a finished game per call, a line for
// the game and a line per player, appended to a comma-separated file.
#pragma once

#include <ctime>
#include <string>

// Queries the server's status and appends the game's snapshot to the file
// at `path`, with the two header lines first when the file is empty. True
// when the whole snapshot was written. False otherwise, with the last
// error 0 when there was nothing to log (nobody on the server), 22 when
// the status lacked a key (the lines written so far stay), errno when the
// file could not be opened or written, or the status query's error. The
// snapshot is dated with `now` (local time).
bool LogPlayerStats(const std::string& path, std::time_t now);
