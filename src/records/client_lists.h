// playerlist.con and clientlist.con: the player table and the session
// table as small comma-separated files for remote clients.
#pragma once

#include <string>

// Writes one line per player (name in quotes, id, team, score, kills,
// deaths, ping, address, key hash, GUID). False (logged) when the file
// cannot be written.
bool WritePlayerListFile(const std::string& path);
// Writes one line per connected client (name in quotes, slot, address,
// "Connected", last command time). False (logged) on failure.
bool WriteClientListFile(const std::string& path);
