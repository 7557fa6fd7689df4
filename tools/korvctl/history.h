// korvctl history and korvctl note: a player's names, addresses, sessions
// and actions as the daemon remembers them, and notes on a player.
#pragma once

#include <string>

#include "context.h"
#include "wire/history_text.h"

namespace korvctl {

// The report as tables (one block per player), for a terminal.
std::string FormatHistory(const HistoryReport& report);
// The report's players as a JSON array, every text exact.
std::string HistoryJson(const HistoryReport& report);

int RunHistory(Context& context, const Subcommand& row);
int RunNote(Context& context, const Subcommand& row);

}  // namespace korvctl
