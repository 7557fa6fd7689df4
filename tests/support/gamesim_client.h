// gamesim as the game server of a process test: its directory and its start.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/process_harness.h"

namespace gamesimtest {

// A server directory with gamesim installed as bf1942_lnxded, its settings
// files filled with free loopback ports, and a scenario file.
struct GameDir {
  korvtest::TempDir dir;
  int console_port = 0;
  int status_port = 0;
  int game_port = 0;
  std::string settings() const { return dir / "mods/bf1942/settings"; }
  std::string exe() const { return dir / "bf1942_lnxded"; }
  std::string out() const { return dir / "out.txt"; }
  void WriteScenario(const std::string& text) const;
};
void LayOut(GameDir* game, const std::string& scenario, const std::string& extra_settings = "");
// LayOut plus what the daemon needs to manage it: the levels directory, a
// one-map rotation and a korvane.con pointing at the game's ports and
// console, with `settings` replacing or adding keys.
void LayOutForDaemon(GameDir* game, const std::string& scenario,
                     const std::map<std::string, std::string>& settings = {});
// Starts it as the daemon does: from the directory, leading a new session.
bool StartGame(const GameDir& game, korvtest::Process* process,
               const std::vector<std::string>& extra_args = {});

}  // namespace gamesimtest
