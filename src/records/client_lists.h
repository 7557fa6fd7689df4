// playerlist.con and clientlist.con: the player table and the session
// table as small comma-separated files for remote clients.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// One connected client as clientlist.con lists it.
struct ClientListRow {
  int slot = 0;
  std::string user_name;
  std::string address;
  std::time_t last_command_at = 0;  // 0 until its first command
};

// Writes one line per player (name in quotes, id, team, score, kills,
// deaths, ping, address, key hash, GUID). False (logged) when the file
// cannot be written.
bool WritePlayerListFile(const std::string& path);
// Writes one line per connected client, in the order given (name in quotes,
// slot, address, "Connected", last command time). False (logged) on failure.
bool WriteClientListFile(const std::string& path, const std::vector<ClientListRow>& clients);
