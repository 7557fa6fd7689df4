// The two short texts that name a map: the one being played (from the
// status report) and the one the server will start on (start map or map
// list), each as "map mode mod".
#pragma once

#include <optional>
#include <string>
#include <string_view>

// "map mode mod" of the game being played, from the status report; the mode
// as its code (code_form) or its label; "-" when no server runs or the
// report lacks mapname, gameId or gametype. An unknown mode is "???".
std::string CurrentMapText(bool code_form, std::string_view report);

// "map mode mod" with which the server starts: the start map when it has
// three words, else the game.setCurrentLevel line of maplist.con (server
// running) or servermaplist.con; "-" when there is none. None (logged) when
// the map list cannot be read.
std::optional<std::string> CurrentLevelText(bool code_form, std::string_view start_map);
