// The scenario file: a line-based script of what the simulated game shows
// (players, chat, map, version, PunkBuster) and which faults it plays.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server_files.h"

namespace gamesim {

struct Player {
  int id = 0;
  std::string name;
  int team = 1;  // 1 axis, 2 allied
  int score = 0;
  int kills = 0;
  int deaths = 0;
  int ping = 50;
  std::string address = "192.0.2.10";
  int port = 14567;
  std::string keyhash;  // empty: the console shows no hash
  std::string guid;     // empty: PunkBuster does not list the player
  bool bot = false;
};

struct Faults {
  double crash_after = -1;  // seconds since start; < 0 = never
  int crash_code = 0;       // exit status, or a signal when crash_signal
  bool crash_signal = false;
  bool ignore_quit = false;
  bool refuse_login = false;
  bool silent_console = false;
  bool silent_status = false;
  bool drop_console = false;
  std::string reset_console;  // a command that gets half an answer, then a reset
  bool status_out_of_order = false;
  bool status_no_final = false;
};

struct Scenario {
  bool has_players = false;
  std::vector<Player> players;
  std::vector<std::string> said;  // "##--" strings to send, in order
  std::optional<std::string> gamemode;
  std::optional<MapCombo> map;
  std::optional<std::string> version;
  std::optional<bool> punkbuster;
  std::optional<std::string> hostname;
  std::optional<int> maxplayers;
  Faults faults;
  bool lively = false;
  std::optional<unsigned> seed;
  int segment_size = 1200;
};

// Parses the scenario text; bad lines are reported in *errors ("line N: ...")
// and skipped.
Scenario ParseScenario(std::string_view text, std::vector<std::string>* errors);

// The default used when no scenario file exists: a lively server.
Scenario DefaultScenario();

}  // namespace gamesim
