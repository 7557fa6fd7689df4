// The fleet's two files in the settings directory: fleetqueue.con, the
// events made here that the database has not taken yet (one a line, oldest
// first), and fleetapplied.con, the id of the last event applied here.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "fleet/fleet_state.h"

// A queued event's line: kind ("ban" or "unban"), key, time, origin, then
// the ban row's eight fields, separated by tabs, with its line end. Tabs
// and line breaks inside a text become blanks.
std::string FormatFleetLine(const FleetEvent& event);
// None when the line lacks a field, holds more than 4095 bytes or a number
// that is not one.
std::optional<FleetEvent> ParseFleetLine(std::string_view line);

std::string FleetQueuePath();
std::string FleetAppliedPath();

// Reads fleetqueue.con (missing: empty). A line that cannot be read is
// logged and left out. False when the file exists but cannot be read.
bool LoadFleetQueue(std::deque<FleetEvent>* events);
// Rewrites fleetqueue.con atomically with `events`; logs its own failure.
bool SaveFleetQueue(const std::deque<FleetEvent>& events);

// The id in fleetapplied.con; 0 when the file is missing or holds none.
std::int64_t LoadLastApplied();
// Rewrites fleetapplied.con atomically; logs its own failure.
bool SaveLastApplied(std::int64_t id);

// A key no other event of any server has (16 random hexadecimal digits).
std::string NewFleetKey();
