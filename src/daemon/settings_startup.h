// The start-up steps of the settings and content: the table's initial
// state, mods.con and maps.con, the snapshot, korvane.con and the idle map.
#pragma once

#include <optional>
#include <string>

// Runs the steps in order. Returns the message that must end the start, or
// none when the daemon may go on.
std::optional<std::string> PrepareSettings();
