// The daemon's ban list (serverbanlist.con) for display: who banned whom,
// when, why and until when.
#pragma once

#include <ctime>
#include <string_view>
#include <vector>

#include "context.h"
#include "texts.h"

namespace korvctl {

// One row of fields per ban; lines that are no ban rows are skipped. Times
// are local; `now` marks bans that have run out but are not lifted yet.
std::vector<Fields> ParseBanList(std::string_view text, std::time_t now);

// korvctl bans: downloads the list and prints it as a table or JSON.
int RunBans(Context& context, const Subcommand& row);

}  // namespace korvctl
