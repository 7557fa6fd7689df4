// The table of players on the game server: rebuilt by GetPlayerList from
// the console's "game.listPlayers" and the status report, joined by name,
// and looked up by the game's player id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "links/links_state.h"

// Game player ids that tables kept per id may index (0 to 63). The game
// sends whatever it likes; ids outside this range must never index such a
// table, though the player table itself keeps them.
inline constexpr int kPlayerIdLimit = 64;
inline bool IsTableablePlayerId(std::int32_t id) { return id >= 0 && id < kPlayerIdLimit; }

// Rebuilds the table, the team texts, runs smart balance and fetches
// PunkBuster GUIDs when bans go to PunkBuster too. False when the console
// is down, the status query or a console command fails, or a line does
// not parse (the records parsed so far stay).
bool GetPlayerList();
// Installs who hears of every refresh that read the whole player list
// (whether or not the GUIDs came after it).
void SetPlayerListListener(void (*listener)());
// Empties every slot.
void ClearPlayerTable();

// Parses one "game.listPlayers" line ("Id:3 - Mike is remote ip:
// 10.0.0.5:14567 hash:0123") into name, id, address and keyhash.
bool ParsePlayerLine(std::string_view line, PlayerRecord* record);

// The first record with the id, or null.
const PlayerRecord* FindPlayerById(std::int32_t id);
// Fields of the player with the id, or "[unknown]".
std::string PlayerNameById(std::int32_t id);
std::string PlayerAddressById(std::int32_t id);
std::string PlayerKeyhashById(std::int32_t id);
std::string PlayerGuidById(std::int32_t id);
// Removes the first record with the id, closing the gap; false if none.
bool RemovePlayerById(std::int32_t id);
// The id of the one player whose name contains `text` (case ignored); -1
// for none or several (an empty text matches everyone).
std::int32_t FindPlayerByName(std::string_view text);
// Number of occupied slots.
int PlayerCount();
