// The texts the daemon sends, taken apart for display: the status line,
// the player list and the client list; and the JSON and table writers.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvctl {

// Labelled fields, in order.
using Fields = std::vector<std::pair<std::string, std::string>>;

// The one-line status text as labelled fields. A line that does not have
// the expected shape gives as many fields as could be recognised.
Fields ParseStatusLine(std::string_view line);

// playerlist.con: one row of ten fields per player.
std::vector<Fields> ParsePlayerList(std::string_view text);
// clientlist.con: one row of five fields per client.
std::vector<Fields> ParseClientList(std::string_view text);

// A JSON string literal for `text` (bytes above 0x7F outside UTF-8 become
// \u00XX so the output always parses).
std::string JsonString(std::string_view text);
// {"label": "value", ...} with labels turned into snake_case keys.
std::string JsonObject(const Fields& fields);
// Labels such as "Round time left" as keys ("round_time_left").
std::string JsonKey(std::string_view label);

// Text for a terminal: its lines kept, every other control character
// escaped as the daemon's log does (\x1b), so that no text from the game
// can move the cursor, retitle or clear the terminal. Tables, fields and
// notices are always written so; --json keeps every text exact.
std::string TerminalText(std::string_view text);

// A time as "YYYY-MM-DD HH:MM:SS" in this machine's time zone.
std::string LocalTime(std::time_t when);

// Rows as a table with a header line and columns padded to fit.
std::string FormatTable(const std::vector<Fields>& rows);
// Fields as "label: value" lines with the labels aligned.
std::string FormatFields(const Fields& fields);

}  // namespace korvctl
