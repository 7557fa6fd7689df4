// The player watch of the supervision tick: players with a banned name, a
// score below the limit or a high ping are kicked, and repeated minus-score
// offenders banned (AutoBan, with its memory in kicklist.con).
#pragma once

#include <ctime>

// The watch as the supervision tick runs it: nothing unless one of the
// auto-kick settings is on; false when the console is down. Refreshes the
// player table, then WatchPlayers.
bool PlayerWatch(std::time_t now);
// One pass over the player table as it stands, at most one action per
// player; the row of a kicked player leaves the table at once.
void WatchPlayers(std::time_t now);
// Records one counted kick of the player: true when this one is to be a ban
// instead (nothing recorded), false when it was recorded or nothing could
// be (the caller kicks). The identity is the keyhash on an Internet server,
// the address on a LAN server.
bool AutoBan(const char* address, const char* keyhash);
