// Lines of the player menu, playermenu.con: a label, the command ids in
// brackets, the item's text in double quotes, and after a '|' its options
// (kick, ban, cmd, global, a ban duration in seconds), e.g.
// "TK [k][kick] "Team killing"|kick,ban,3600". The daemon runs the items;
// korvweb offers their texts as reasons. Both read the lines here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct MenuItem {
  bool kick = false;
  bool ban = false;      // a ban is no kick as well
  bool cmd = false;      // a console command: neither kick nor ban
  bool global = false;   // said to every player
  std::int32_t duration = 0;  // seconds of a ban; 0 = permanent
  std::optional<std::string> text;
};

// Reads one line (anything from its line end on is ignored).
MenuItem ParseMenuLine(std::string_view line);
