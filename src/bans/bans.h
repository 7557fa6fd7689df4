// Banning and unbanning across the three stores, the expiry of timed bans,
// and the whole-list operations: verification, sync both ways, clearing.
#pragma once

#include <cstdint>
#include <ctime>

// Bans the identities of a player: through the console while the game
// server runs (by id when the id's name matches), into banlist.con and
// pb/pbbans.dat while it is stopped; then appends one row to
// serverbanlist.con naming only the identities a store took, and drops the
// player's row from the player table. 1 when every store tried took the
// ban; 0 otherwise (a partial ban is still recorded). Identities that a
// ban list cannot hold (too long, or with a blank, comma, quote or line
// break) refuse the whole ban; names, admins and reasons are cut to fit.
bool BanPlayer(const char* name, std::int32_t player_id, const char* address,
               const char* keyhash, const char* guid, const char* admin, std::time_t ban_time,
               std::time_t expiry, const char* reason);

// Lifts the bans on the given identities from the game stores, then clears
// each identity a store really dropped from every row of serverbanlist.con
// (rows left with none are dropped) and tells the clients the list changed.
// 1 when every store tried dropped its ban and the list was rewritten.
bool UnbanPlayer(const char* name, const char* address, const char* keyhash, const char* guid);

// Lifts the bans whose expiry is not later than `now`, as one unban after
// another would, but rewriting each file once. One call lifts at most 1000
// bans (on the console road, at most what 100 ms allow) and queues
// kCmdExpireBans for the rest, whose handler ContinueTimedBanExpiry lifts
// the next slice on the loop's next pass; a ban a store refused stays due
// and waits for the next tick. 0 when the console is not connected or the
// list cannot be read; 1 otherwise.
bool ExpireTimedBansAt(std::time_t now);
// The next slice of the expiry, at the clock's time.
void ContinueTimedBanExpiry();

// 1 when every ban of serverbanlist.con is in the game's stores.
bool VerifyGameBansListed();
// 1 when every ban of the game's stores is in serverbanlist.con.
bool VerifyServerBansListed();
// Rewrites banlist.con (and pb/pbbans.dat with PunkBuster installed) from
// serverbanlist.con, every ban permanent. 1 on success; 0 with EBUSY and
// no file touched while the game server runs (it keeps its own list).
bool SyncToServerBanList();
// Rebuilds serverbanlist.con from the game's stores ("[unknown]" names,
// "operator" admins, no times, "unknown reason"). 1 on success.
bool SyncFromServerBanList();
// Clears the lists as `sender` ordered, with its audit line; a failing
// console command or file is reported to that sender.
void ClearBanLists(std::uint32_t sender);
